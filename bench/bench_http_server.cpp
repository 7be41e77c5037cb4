// python3: the server prints "Serving HTTP on 127.0.0.1 port N ..." on stdout once it listens.
// Its per-request log goes to stderr and is discarded: nobody reads that pipe while a benchmark
// runs, and a full pipe would block the server's threads. nginx: a configuration written for the
// run, a probe connection to see it listen.
#include "bench_http_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

namespace bench {

quint16 StartHttpServer(QProcess* server, const QString& folder) {
    server->setWorkingDirectory(folder);
    server->setStandardErrorFile(QProcess::nullDevice());
    // The interpreter by its full path: a python3 earlier in PATH could be anything.
    server->start(QStringLiteral("/usr/bin/python3"), {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1"});
    const QRegularExpression announced(QStringLiteral("port (\\d+)"));
    QByteArray banner;
    while (server->waitForReadyRead(10000)) {
        banner += server->readAll();
        const QRegularExpressionMatch match = announced.match(QString::fromUtf8(banner));
        if (match.hasMatch()) return static_cast<quint16>(match.captured(1).toUInt());
    }
    std::fprintf(stderr, "python3 http.server did not start\n");
    server->kill();
    server->waitForFinished(5000);
    return 0;
}

}  // namespace bench

namespace bench {

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr int kStartMs = 10000;

// A free port of 127.0.0.1 at the time of asking; the server may still lose it to another
// program before it binds, and Start() then tries another.
quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The whole configuration: no file outside stateDir is written, none of Debian's configuration
// is read. When started by root the workers run as nobody, so the served folder must be
// readable by others.
QByteArray Configuration(const QString& stateDir, const QString& www, quint16 port, bool http2, const QString& bodyLog) {
    const QByteArray dir = stateDir.toUtf8();
    return "daemon off;\n"
           "worker_processes auto;\n"
           "pid " + dir + "/nginx.pid;\n"
           "error_log " + dir + "/error.log warn;\n"
           "events { worker_connections 1024; }\n"
           "http {\n"
           + (bodyLog.isEmpty() ? QByteArray("    access_log off;\n")
                                : "    log_format body '$body_bytes_sent';\n    access_log " + bodyLog.toUtf8() + " body;\n") +
           "    sendfile on;\n"
           "    tcp_nopush on;\n"
           "    default_type application/octet-stream;\n"
           "    client_body_temp_path " + dir + "/tmp/body;\n"
           "    proxy_temp_path " + dir + "/tmp/proxy;\n"
           "    fastcgi_temp_path " + dir + "/tmp/fastcgi;\n"
           "    uwsgi_temp_path " + dir + "/tmp/uwsgi;\n"
           "    scgi_temp_path " + dir + "/tmp/scgi;\n"
           "    server {\n"
           "        listen 127.0.0.1:" + QByteArray::number(port) + (http2 ? " ssl http2" : "") + ";\n" +
           (http2 ? "        ssl_certificate " + dir + "/cert.pem;\n        ssl_certificate_key " + dir + "/key.pem;\n"
                  : QByteArray()) +
           "        root " + www.toUtf8() + ";\n"
           "    }\n"
           "}\n";
}

}  // namespace

Nginx::Nginx(const QString& stateDir, const QString& www, bool http2)
    : stateDir_(stateDir), www_(www), http2_(http2) {}

Nginx::~Nginx() { Stop(); }

QString Nginx::Url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

quint16 Nginx::Start() {
    if (!QDir().mkpath(stateDir_ + "/tmp")) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(stateDir_));
        return 0;
    }
    if (http2_ && QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                                "-nodes", "-keyout", stateDir_ + "/key.pem", "-out", Certificate(),
                                                "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                                "subjectAltName=IP:127.0.0.1"}) != 0) {
        std::fprintf(stderr, "cannot make a certificate with openssl\n");
        return 0;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const quint16 port = FreePort();
        if (port != 0 && StartOn(port)) {
            port_ = port;
            return port;
        }
        Stop();
    }
    QFile log(stateDir_ + "/error.log");
    log.open(QIODevice::ReadOnly);
    std::fprintf(stderr, "nginx did not start; its error log:\n%s\n", log.readAll().constData());
    return 0;
}

bool Nginx::StartOn(quint16 port) {
    const QString config = stateDir_ + "/nginx.conf";
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write(Configuration(stateDir_, www_, port, http2_, bodyLog_)) < 0) return false;
    file.close();
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    // -e: the error log from the first line on, before the configuration names it.
    process_.start(QString::fromLatin1(kNginx), {"-p", stateDir_, "-c", config, "-e", stateDir_ + "/error.log"});
    if (!process_.waitForStarted(kStartMs)) return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kStartMs) {
        if (process_.state() != QProcess::Running) return false;  // the port was taken, or worse
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200)) return true;
        process_.waitForFinished(50);
    }
    return false;
}

bool Nginx::Restart() {
    Stop();
    return port_ != 0 && StartOn(port_);
}

qint64 Nginx::BodyLogSize() const { return QFileInfo(bodyLog_).size(); }

qint64 Nginx::BodyBytesSince(qint64 offset) const {
    QFile log(bodyLog_);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(offset)) return -1;
    qint64 bytes = 0;
    for (const QByteArray& line : log.readAll().split('\n')) bytes += line.trimmed().toLongLong();
    return bytes;
}

void Nginx::Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    // SIGTERM: nginx's fast shutdown; the master ends its workers and removes its pid file.
    process_.terminate();
    if (!process_.waitForFinished(kStartMs)) {
        process_.kill();
        process_.waitForFinished(kStartMs);
    }
}

}  // namespace bench
