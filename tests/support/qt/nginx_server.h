// NginxServer: Debian's nginx in the foreground for tests, its worker processes running as
// www-data as on a real download server, serving one folder with real ranges and ETags.
#pragma once

#include <QByteArray>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

class NginxServer {
public:
    // Stopped (workers too) when it goes out of scope.
    ~NginxServer();

    // The nginx program, or an empty string when it is not installed.
    static QString Executable();
    // Serves root on a free port of 127.0.0.1; config, pid file and logs go into prefix.
    // bytesPerSecond: each response's rate (nginx's limit_rate), 0 for none. Ready once it answers.
    bool Start(const QString& prefix, const QString& root, int bytesPerSecond = 0);
    quint16 Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path.
    QString Url(const QString& path) const;
    // The requests answered so far, one "<method> <path> <status> <Range header or -> <body bytes>" each.
    QStringList Requests() const;

    // The status code and body of a plain HTTP/1.0 GET to a server on 127.0.0.1; {-1, ""} when it
    // cannot be reached.
    static QPair<int, QByteArray> Get(quint16 port, const QString& path);

private:
    QProcess process_;
    QString prefix_;
    quint16 port_ = 0;
};
