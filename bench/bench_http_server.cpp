// The server prints "Serving HTTP on 127.0.0.1 port N ..." on stdout once it listens. Its
// per-request log goes to stderr and is discarded: nobody reads that pipe while a benchmark
// runs, and a full pipe would block the server's threads.
#include "bench_http_server.h"

#include <QRegularExpression>

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
