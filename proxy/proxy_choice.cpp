// The decision is Qt's reading of the system settings (QNetworkProxyFactory::systemProxyForQuery),
// kept per scheme, host and port. Only the first proxy of its answer is used: the next ones are
// fallbacks a PAC script lists, which neither libcurl nor Qt's own manager try in turn.
#include "proxy_choice.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>

namespace {

struct Decisions {
    QMutex mutex;
    QHash<QString, QNetworkProxy> byOrigin;
};

Decisions& Decided() {
    static Decisions decisions;
    return decisions;
}

// Qt's system reading may answer with a type a transfer cannot use (an FTP caching proxy) or with
// DefaultProxy and no host: both mean going straight.
QNetworkProxy Usable(const QNetworkProxy& proxy) {
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
    case QNetworkProxy::Socks5Proxy:
        if (!proxy.hostName().isEmpty()) return proxy;
        break;
    default: break;
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

class ChoiceFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        return {ProxyChoice::For(query.url())};
    }
};

}  // namespace

QNetworkProxy ProxyChoice::For(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    const QString origin = scheme + "://" + url.host().toLower() + ":" +
                           QString::number(url.port(scheme == QLatin1String("https") ? 443 : 80));
    Decisions& decided = Decided();
    {
        QMutexLocker lock(&decided.mutex);
        const auto known = decided.byOrigin.constFind(origin);
        if (known != decided.byOrigin.constEnd()) return *known;
    }
    // Asked outside the lock: a slow PAC script must not hold up hosts already decided.
    const QList<QNetworkProxy> answer = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    const QNetworkProxy proxy = Usable(answer.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : answer.first());
    QMutexLocker lock(&decided.mutex);
    decided.byOrigin.insert(origin, proxy);
    return proxy;
}

QString ProxyChoice::Name(const QNetworkProxy& proxy) {
    return proxy.hostName() + ":" + QString::number(proxy.port());
}

QString ProxyChoice::Refusal(const QNetworkProxy& proxy, int status) {
    const QString what = status == 407   ? QStringLiteral("407 Proxy Authentication Required")
                         : status == 403 ? QStringLiteral("403 Forbidden")
                                         : QStringLiteral("HTTP %1").arg(status);
    const QString as = proxy.user().isEmpty() ? QStringLiteral("no credentials")
                                              : QStringLiteral("as user \"%1\"").arg(proxy.user());
    return QStringLiteral("proxy %1 refused: %2, %3").arg(Name(proxy), what, as);
}

QNetworkProxyFactory* ProxyChoice::NewFactory() { return new ChoiceFactory; }
