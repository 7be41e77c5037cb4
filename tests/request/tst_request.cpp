// Tests of the request library: outcomes of real exchanges with a local server, the completion
// contract (once, in the main thread, after the call returned) and what goes over the wire.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

#include <memory>

#include "http_test_server.h"
#include "qrequest.h"

Q_DECLARE_METATYPE(HttpTestServer::Behaviour)

namespace {

struct Outcome {
    int calls = 0;
    bool ok = false;
    QByteArray body;
    bool inMainThread = false;
    bool afterReturn = false;
};

// Issues a version check to the endpoint (the default one when empty) and records how it ends.
std::shared_ptr<Outcome> Issue(const QString& endpoint, const QMap<QString, QJsonValue>& params = {}) {
    if (endpoint.isEmpty())
        qunsetenv(qRequest::kEndpointVariable);
    else
        qputenv(qRequest::kEndpointVariable, endpoint.toUtf8());
    auto outcome = std::make_shared<Outcome>();
    auto returned = std::make_shared<bool>(false);
    qRequest::commonRequest(qRequest::CheckVersion, params, [outcome, returned](bool ok, QByteArray body) {
        ++outcome->calls;
        outcome->ok = ok;
        outcome->body = body;
        outcome->inMainThread = QThread::currentThread() == qApp->thread();
        outcome->afterReturn = *returned;
    });
    *returned = true;
    return outcome;
}

}  // namespace

class TestRequest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(server_.IsListening());
        qputenv(qRequest::kTimeoutVariable, "500");
        server_.Serve("/ok", HttpTestServer::Body("{\"code\":0}"));
        server_.Serve("/silent", HttpTestServer::Silent());
    }

    void outcome_data() {
        QTest::addColumn<HttpTestServer::Behaviour>("behaviour");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("body");
        const QByteArray json = "{\"code\":0,\"msg\":\"\",\"result\":{\"version\":\"1.4.6.0\"}}";
        QTest::newRow("200") << HttpTestServer::Body(json) << true << json;
        QTest::newRow("404") << HttpTestServer::Status(404, "missing") << false << QByteArray();
        QTest::newRow("500") << HttpTestServer::Status(500, "broken") << false << QByteArray();
        QTest::newRow("300 not followed") << HttpTestServer::Status(300, "choose") << false << QByteArray();
        QTest::newRow("307 followed") << HttpTestServer::Redirect(307, "/ok") << true << QByteArray("{\"code\":0}");
        QTest::newRow("to file refused") << HttpTestServer::Redirect(302, "file:///etc/hostname") << false << QByteArray();
        QTest::newRow("stalled body") << HttpTestServer::Stall() << false << QByteArray();
        QTest::newRow("no answer") << HttpTestServer::Silent() << false << QByteArray();
    }

    void outcome() {
        QFETCH(HttpTestServer::Behaviour, behaviour);
        QFETCH(bool, ok);
        QFETCH(QByteArray, body);
        const QString path = "/outcome/" + QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-');
        server_.Serve(path, behaviour);
        auto outcome = Issue(server_.Url(path));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->calls > 0, 5000);  // the 500 ms time-out ends stalls
        QCOMPARE(server_.RequestCount(path), 1);
        QCOMPARE(outcome->ok, ok);
        QCOMPARE(outcome->body, body);
        QVERIFY(outcome->inMainThread);
        QVERIFY(outcome->afterReturn);
        // A second completion (say, from the time-out of a finished exchange) would come within
        // one time-out; a later exchange that itself times out outlasts that.
        auto fence = Issue(server_.Url("/silent"));
        QTRY_VERIFY_WITH_TIMEOUT(fence->calls > 0, 5000);
        QCOMPARE(outcome->calls, 1);
    }

    void postCarriesParamsAndIdentity() {
        const QMap<QString, QJsonValue> params{
            {"text", QStringLiteral("版本 ✓")}, {"number", 42}, {"flag", true}, {"nothing", QJsonValue()},
            {"object", QJsonObject{{"a", 1}}}, {"list", QJsonArray{1, "two"}},
        };
        const QString path = "/wire";
        server_.Serve(path, HttpTestServer::Body("{}"));
        auto outcome = Issue(server_.Url(path), params);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->calls > 0, 5000);
        QVERIFY(outcome->ok);
        const QList<HttpTestServer::Received> received = server_.Requests(path);
        QCOMPARE(received.size(), 1);
        const HttpTestServer::Received& request = received.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QJsonObject expected;
        for (auto it = params.constBegin(); it != params.constEnd(); ++it) expected.insert(it.key(), it.value());
        QCOMPARE(QJsonDocument::fromJson(request.body).object(), expected);
        const QList<QPair<const char*, QByteArray>> headers{
            {"content-type", qRequest::kContentType},
            {qRequest::kApiHeader, "108"},
            {qRequest::kPlatformVendorHeader, "Microsoft"},
            {qRequest::kAppIdHeader, "pc.korvan.lumadrift"},
            {qRequest::kChannelHeader, "official"},
            {qRequest::kProductHeader, "harbor_pc"},
            {qRequest::kPlatformNameHeader, "Windows"},
            {qRequest::kOsNameHeader, "Windows"},
            {qRequest::kVersionNumberHeader, "1.4.5.1"},
        };
        for (const auto& header : headers)
            QCOMPARE(request.headers.value(QByteArray(header.first).toLower()), header.second);
    }

    void failsWhenNothingListens() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        auto outcome = Issue(QStringLiteral("http://127.0.0.1:%1/closed").arg(port));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->calls > 0, 5000);
        QVERIFY(!outcome->ok);
        QVERIFY(outcome->body.isEmpty());
    }

    void completesInMainThreadWhenCalledElsewhere() {
        std::shared_ptr<Outcome> outcome;
        std::unique_ptr<QThread> caller(QThread::create([&] { outcome = Issue(server_.Url("/ok")); }));
        caller->start();
        QVERIFY(caller->wait(5000));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->calls > 0, 5000);
        QVERIFY(outcome->ok);
        QVERIFY(outcome->inMainThread);
    }

    void defaultEndpointFails() {
        // The default host is under .invalid, which resolvers refuse at once; the longer time-out
        // keeps a slow resolver from passing this through the time-out instead.
        qputenv(qRequest::kTimeoutVariable, "5000");
        auto outcome = Issue(QString());
        QTRY_VERIFY_WITH_TIMEOUT(outcome->calls > 0, 10000);
        qputenv(qRequest::kTimeoutVariable, "500");
        QVERIFY(!outcome->ok);
        QVERIFY(outcome->inMainThread);
    }

private:
    HttpTestServer server_;
};

QTEST_GUILESS_MAIN(TestRequest)
#include "tst_request.moc"
