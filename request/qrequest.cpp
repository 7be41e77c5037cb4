// The exchange itself: every call hops to the application's main thread, where one network
// manager posts the request and a timer bounds it; the reply's end decides what done gets.
#include "qrequest.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QtGlobal>

#include "proxy_choice.h"

namespace qRequest {
namespace {

// The library's one manager, made on first use in the main thread (the only thread that touches
// it). It is a child of the application so it goes before Qt's networking is torn down; a later
// application object gets a fresh one.
QNetworkAccessManager* Manager() {
    static QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager(QCoreApplication::instance());
        manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
        // Through the proxy the downloads take, chosen by the same rule.
        manager->setProxyFactory(ProxyChoice::NewFactory());
    }
    return manager;
}

QUrl Endpoint() {
    const QByteArray named = qgetenv(kEndpointVariable);
    return QUrl(QString::fromUtf8(named.isEmpty() ? QByteArray(kDefaultEndpoint) : named));
}

int TimeoutMs() {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(kTimeoutVariable, &ok);
    return ok && ms > 0 ? ms : kTimeoutMs;
}

QNetworkRequest MakeRequest(RequestApi api, const QUrl& url) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray(kContentType));
    request.setRawHeader(kApiHeader, QByteArray::number(static_cast<int>(api)));
    request.setRawHeader(kPlatformVendorHeader, kPlatformVendor);
    request.setRawHeader(kAppIdHeader, kAppId);
    request.setRawHeader(kChannelHeader, kChannel);
    request.setRawHeader(kProductHeader, kProduct);
    request.setRawHeader(kPlatformNameHeader, kPlatformName);
    request.setRawHeader(kOsNameHeader, kOsName);
    request.setRawHeader(kVersionNumberHeader, kVersionNumber);
    return request;
}

// Runs in the main thread. finished comes exactly once per reply, the time-out included (abort
// finishes the reply at once), so done is called from there alone.
void Start(const QNetworkRequest& request, const QByteArray& body, int timeoutMs,
           std::function<void(bool, QByteArray)> done) {
    QNetworkReply* reply = Manager()->post(request, body);
    auto* timer = new QTimer(reply);  // goes with the reply, so it cannot outlive the exchange
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start(timeoutMs);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // Qt reports no error for a 3xx it did not follow; only a real 2xx counts.
        if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
            done(true, reply->readAll());
        } else {
            // The one failure a user can mend, so the log names it: the proxy wants other
            // credentials (or any).
            if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError) {
                qWarning("Version check failed: %s",
                         qUtf8Printable(ProxyChoice::Refusal(ProxyChoice::For(reply->url()), 407)));
            }
            done(false, QByteArray());
        }
    });
}

}  // namespace

void commonRequest(RequestApi api, QMap<QString, QJsonValue> params,
                   std::function<void(bool, QByteArray)> done) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        qWarning("qRequest::commonRequest: no QCoreApplication, request %d dropped", int(api));
        return;
    }
    QJsonObject object;
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) object.insert(it.key(), it.value());
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // Endpoint and time-out are read now, in the caller's thread, so a call sees the environment
    // as it was when it was made. Queued even from the main thread: done must not run before
    // this call returns, and the manager must only be used where it lives.
    QMetaObject::invokeMethod(
        app,
        [request = MakeRequest(api, Endpoint()), body, timeoutMs = TimeoutMs(), done = std::move(done)]() mutable {
            Start(request, body, timeoutMs, std::move(done));
        },
        Qt::QueuedConnection);
}

}  // namespace qRequest
