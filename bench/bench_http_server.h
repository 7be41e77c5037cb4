// The benchmarks' download servers on 127.0.0.1: Debian's python3 http.server, and nginx as a
// user would serve a release, with a configuration of its own. Ordinary, independent servers,
// the same for our side and the baselines.
#pragma once

#include <QProcess>
#include <QString>

namespace bench {

// Starts the server in server over folder on a free port. Returns that port, or 0 when it did
// not come up within 10 s (said on stderr; the server is then stopped).
quint16 StartHttpServer(QProcess* server, const QString& folder);

// nginx (/usr/sbin/nginx) serving a folder on a free port of 127.0.0.1, kept alive connections
// and sendfile as configured by default, no access log. Its configuration, pid file, error log
// and temporary folders lie in a folder of its own; it runs in the foreground as a child of
// this process and stops with this object.
class Nginx {
public:
    // stateDir: the server's own folder (made if missing); www: what it serves at "/". http2:
    // the port speaks TLS offering HTTP/2 (curl 7.88 cannot run parallel transfers over HTTP/2
    // in clear), with a certificate for 127.0.0.1 made at Start (Certificate()).
    Nginx(const QString& stateDir, const QString& www, bool http2 = false);
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // Starts the server and waits until it accepts connections. Returns its port, or 0 (said on
    // stderr, with the server's error log) when it did not come up within 10 s.
    quint16 Start();
    // From the next start on, each response's body bytes ($body_bytes_sent) go to path, one line
    // each (BodyBytesSince sums them).
    void LogBodyBytes(const QString& path) { bodyLog_ = path; }
    // Body bytes the log holds past its first offset bytes.
    qint64 BodyBytesSince(qint64 offset) const;
    qint64 BodyLogSize() const;
    // Stops the server (its connections close at once) or starts it again on the same port.
    void Stop();
    bool Restart();
    // "http://127.0.0.1:<port>" + path.
    QString Url(const QString& path) const;
    // The certificate file an http2 server presents.
    QString Certificate() const { return stateDir_ + "/cert.pem"; }

private:
    bool StartOn(quint16 port);

    QString stateDir_;
    QString www_;
    bool http2_;
    QString bodyLog_;
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace bench
