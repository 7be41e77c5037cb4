#include "nginx_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "test_tree.h"

NginxServer::~NginxServer() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();  // SIGTERM: the master stops its workers before it exits
    if (!process_.waitForFinished(10000)) process_.kill();
}

QString NginxServer::Executable() {
    const QString found = QStandardPaths::findExecutable("nginx");
    return found.isEmpty() ? QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/local/sbin"}) : found;
}

bool NginxServer::Start(const QString& prefix, const QString& root, int bytesPerSecond) {
    QTcpServer probe;  // a free port, released again for nginx
    if (!probe.listen(QHostAddress::LocalHost)) return false;
    port_ = probe.serverPort();
    probe.close();
    prefix_ = prefix;
    const QString rate = bytesPerSecond > 0 ? QStringLiteral("  limit_rate %1;\n").arg(bytesPerSecond) : QString();
    const QString config = QStringLiteral(
                               "user www-data;\ndaemon off;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
                               "events {}\nhttp {\n"
                               "  log_format requests '$request_method $uri $status $http_range $body_bytes_sent';\n"
                               "  access_log %1/access.log requests;\n%4"
                               "  client_body_temp_path %1/body;\n"
                               "  server {\n    listen 127.0.0.1:%2;\n    root \"%3\";\n  }\n}\n")
                               .arg(prefix)
                               .arg(port_)
                               .arg(root, rate);
    if (!testtree::WriteFile(prefix, "nginx.conf", config.toUtf8())) return false;
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    process_.start(Executable(), {"-e", prefix + "/error.log", "-p", prefix, "-c", prefix + "/nginx.conf"});
    if (!process_.waitForStarted()) return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        if (process_.state() != QProcess::Running) return false;
        if (Get(port_, "/").first > 0) return true;
        QTest::qWait(50);
    }
    return false;
}

QString NginxServer::Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path); }

QStringList NginxServer::Requests() const {
    return QString::fromUtf8(testtree::ReadFile(prefix_ + "/access.log")).split('\n', Qt::SkipEmptyParts);
}

QPair<int, QByteArray> NginxServer::Get(quint16 port, const QString& path) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) return {-1, {}};
    socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000)) {
    }
    const QByteArray reply = socket.readAll();
    const int split = reply.indexOf("\r\n\r\n");
    if (!reply.startsWith("HTTP/1.") || split < 0) return {-1, {}};
    return {reply.mid(9, 3).toInt(), reply.mid(split + 4)};
}
