// HttpTestServer: an in-process HTTP/1.1 server on 127.0.0.1 for download tests, serving each
// path with a chosen behaviour: a body, an error status, a redirect, a cut-short body, a stall.
// Optionally speaks HTTPS, so tests can check what the client does across schemes.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QThread>

class QTcpServer;
class QTcpSocket;

// The server runs in a thread of its own. Downloads run on pool threads, but a test may also
// block the main thread while they run (NetWork's destructor waits for the whole pool), and a
// server living in the main thread would then never answer: the test would hang instead of
// failing. By default every response closes its connection, so each request is a fresh
// connection; KeepConnections() serves many requests per connection instead.
class HttpTestServer {
public:
    struct Behaviour {
        enum class Kind {
            Respond,   // status line, headers, the whole body, close
            CutShort,  // announces declaredLength bytes (nothing if negative), sends body, closes
            Stall,     // headers announcing a body, then silence with the connection held open
            Silent,    // reads the request, never answers, holds the connection open
            Trickle,   // body in chunkSize pieces, one every intervalMs, then close
            Endless,   // no Content-Length, body, then filler bytes as fast as read, never ending
            Gate,      // held until `waiters` Gate requests are held at once, then each answered whole
            Raw,       // body sent as the whole response, status line and headers included, close
        };
        Kind kind = Kind::Respond;
        int status = 200;
        QByteArray body;
        QByteArray location;  // Location header when not empty
        QByteArray cookie;    // Set-Cookie header when not empty
        QByteArray retryAfter;  // Retry-After header when not empty
        qint64 declaredLength = -1;
        int chunkSize = 0;
        int intervalMs = 0;
        int waiters = 0;
    };

    // One request as the server read it. Header names are lower-cased (HTTP ignores their case).
    struct Received {
        QByteArray method;
        QString path;
        QMap<QByteArray, QByteArray> headers;
        QByteArray body;  // Content-Length bytes after the headers; empty without that header
    };

    static Behaviour Body(const QByteArray& body);
    static Behaviour Status(int status, const QByteArray& body);
    // location may be absolute ("http://host/x", "file:///x") or a path on this server.
    static Behaviour Redirect(int status, const QByteArray& location);
    // A negative declaredLength sends no Content-Length: the body is whatever comes before the
    // close, as a client has to take it without knowing its size in advance.
    static Behaviour CutShort(const QByteArray& sent, qint64 declaredLength);
    static Behaviour Stall();
    static Behaviour Silent();
    static Behaviour Trickle(const QByteArray& body, int chunkSize, int intervalMs);
    // A response that goes on until the client closes the connection.
    static Behaviour Endless(const QByteArray& body);
    // The body, but only once waiters requests of this kind (for any path) wait at the same time:
    // a client that never has that many in flight at once never gets an answer.
    static Behaviour Gate(const QByteArray& body, int waiters);
    // response exactly as given, from its status line on, then the connection is closed: for
    // framings and malformed heads the other behaviours never produce.
    static Behaviour Raw(const QByteArray& response);

    // Why TLS cannot be tested here (no TLS backend, no openssl tool), or empty.
    static QString TlsUnavailable();
    // Makes a fresh self-signed certificate for 127.0.0.1 and names, and its key, with the openssl
    // command line tool. Returns an empty string on success, else what went wrong.
    static QString MakeCertificate(const QStringList& names, QSslCertificate* certificate, QSslKey* key);

    // Starts the thread and listens on a free port of 127.0.0.1; check IsListening().
    HttpTestServer();
    // The same over TLS: every connection is encrypted with this certificate and key, and Url()
    // gives https URLs. Clients must trust the certificate themselves; a null certificate or
    // key gives a server that is not listening.
    HttpTestServer(const QSslCertificate& certificate, const QSslKey& key);
    // Closes every connection (stalled ones included) and stops the thread.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool IsListening() const { return port_ != 0; }
    quint16 Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path ("https://" for a TLS server); path begins with "/".
    QString Url(const QString& path) const;
    // From now on Url() names the server by host (a name only a proxy resolves to 127.0.0.1).
    void NameHost(const QString& host) { host_ = host; }

    // Paths without a behaviour answer 404. May be called while requests are served.
    void Serve(const QString& path, const Behaviour& behaviour);
    // The n-th request to path gets the n-th of answers, and every one after the last the last.
    void Serve(const QString& path, const QList<Behaviour>& answers);
    // Requests whose headers (and announced body) arrived, in total and for one path.
    int RequestCount() const;
    int RequestCount(const QString& path) const;
    // Every request to path so far, oldest first.
    QList<Received> Requests(const QString& path) const;

    // From now on a whole response (Body, Status, Redirect) leaves its connection open for the
    // next request, as HTTP/1.1 allows, except on every closeEvery-th connection accepted, which
    // is closed after its first response without a "Connection: close" to warn the client (as a
    // server whose idle timeout ran out does). closeEvery 0: no connection is closed so.
    void KeepConnections(int closeEvery);
    // Connections accepted so far.
    int ConnectionCount() const;

private:
    Behaviour Lookup(const Received& request);
    void Accept(QTcpSocket* socket);
    // keepOpen: a whole response leaves the connection open (others close it anyway);
    // announceClose: the head says "Connection: close".
    void Answer(QTcpSocket* socket, const Behaviour& behaviour, bool keepOpen, bool announceClose);

    // Moves server_ into the running thread_ and, when asked to, listens there.
    void Start(bool listen = true);

    QThread thread_;
    QTcpServer* server_ = nullptr;  // lives in thread_
    bool tls_ = false;
    quint16 port_ = 0;
    QString host_ = QStringLiteral("127.0.0.1");
    mutable QMutex mutex_;          // guards routes_, hits_, received_ and the two below
    int closeEvery_ = -1;           // -1: every response closes its connection
    int connections_ = 0;
    QMap<QString, QList<Behaviour>> routes_;
    QMap<QString, int> hits_;
    QMap<QString, QList<Received>> received_;
    // Gate requests waiting for their answer; used in thread_ only. A socket the client closed
    // meanwhile is null here.
    QList<QPair<QPointer<QTcpSocket>, Behaviour>> held_;
};
