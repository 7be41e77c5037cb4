// Misbehaving HTTP server for tests: parses the request line, the headers and a Content-Length
// body, records them, and answers as the path's behaviour says, all inside the server thread.
#include "http_test_server.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

QByteArray Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QByteArray Head(int status, qint64 length, const QByteArray& location) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + Reason(status) + "\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (length >= 0) head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (!location.isEmpty()) head += "Location: " + location + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

// Hands out sockets that start the server side of a TLS handshake at once. Once the handshake
// is done a QSslSocket reads and writes plain HTTP like any QTcpSocket, so the request parsing
// and behaviours below serve both schemes unchanged.
class TlsServer : public QTcpServer {
public:
    TlsServer(const QSslCertificate& certificate, const QSslKey& key)
        : certificate_(certificate), key_(key) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(certificate_);
        socket->setPrivateKey(key_);
        // A failed handshake leaves the socket open but idle; the client drops it and the
        // disconnect cleans it up like any other connection.
        addPendingConnection(socket);
        socket->startServerEncryption();
    }

private:
    const QSslCertificate certificate_;
    const QSslKey key_;
};

}  // namespace

HttpTestServer::Behaviour HttpTestServer::Body(const QByteArray& body) { return Status(200, body); }

HttpTestServer::Behaviour HttpTestServer::Status(int status, const QByteArray& body) {
    Behaviour b;
    b.status = status;
    b.body = body;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Redirect(int status, const QByteArray& location) {
    Behaviour b = Status(status, "moved");
    b.location = location;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::CutShort(const QByteArray& sent, qint64 declaredLength) {
    Behaviour b = Body(sent);
    b.kind = Behaviour::Kind::CutShort;
    b.declaredLength = declaredLength;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Stall() {
    Behaviour b = Body(QByteArray());
    b.kind = Behaviour::Kind::Stall;
    b.declaredLength = 1000;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Silent() {
    Behaviour b;
    b.kind = Behaviour::Kind::Silent;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Endless(const QByteArray& body) {
    Behaviour b;
    b.kind = Behaviour::Kind::Endless;
    b.body = body;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Trickle(const QByteArray& body, int chunkSize, int intervalMs) {
    Behaviour b = Body(body);
    b.kind = Behaviour::Kind::Trickle;
    b.chunkSize = chunkSize;
    b.intervalMs = intervalMs;
    return b;
}

HttpTestServer::HttpTestServer() {
    server_ = new QTcpServer;
    Start();
}

HttpTestServer::HttpTestServer(const QSslCertificate& certificate, const QSslKey& key) {
    tls_ = true;
    server_ = new TlsServer(certificate, key);
    // Without both halves every handshake would fail; better not to listen at all, which the
    // caller sees in IsListening(), than to hand out a port that only ever drops connections.
    const bool usable = !certificate.isNull() && !key.isNull();
    Start(usable);
}

void HttpTestServer::Start(bool listen) {
    thread_.setObjectName(tls_ ? QStringLiteral("HttpsTestServer") : QStringLiteral("HttpTestServer"));
    thread_.start();
    server_->moveToThread(&thread_);
    // Deferred deletes posted on finished still run in the ending thread: the server, and with
    // it every socket and timer, is gone before thread_.wait() returns.
    QObject::connect(&thread_, &QThread::finished, server_, &QObject::deleteLater);
    QMetaObject::invokeMethod(
        server_,
        [this, listen] {
            QObject::connect(server_, &QTcpServer::newConnection, server_, [this] {
                while (QTcpSocket* socket = server_->nextPendingConnection()) Accept(socket);
            });
            if (listen && server_->listen(QHostAddress::LocalHost, 0)) port_ = server_->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

HttpTestServer::~HttpTestServer() {
    thread_.quit();
    thread_.wait();
}

QString HttpTestServer::Url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port_)
        .arg(path);
}

void HttpTestServer::Serve(const QString& path, const Behaviour& behaviour) {
    QMutexLocker lock(&mutex_);
    routes_.insert(path, behaviour);
}

int HttpTestServer::RequestCount() const {
    QMutexLocker lock(&mutex_);
    int total = 0;
    for (int hits : hits_) total += hits;
    return total;
}

int HttpTestServer::RequestCount(const QString& path) const {
    QMutexLocker lock(&mutex_);
    return hits_.value(path);
}

QList<HttpTestServer::Received> HttpTestServer::Requests(const QString& path) const {
    QMutexLocker lock(&mutex_);
    return received_.value(path);
}

HttpTestServer::Behaviour HttpTestServer::Lookup(const Received& request) {
    const QString& path = request.path;
    QMutexLocker lock(&mutex_);
    ++hits_[path];
    received_[path].append(request);
    return routes_.value(path, Status(404, "no such path: " + path.toUtf8()));
}

void HttpTestServer::Accept(QTcpSocket* socket) {
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto received = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
        *received += socket->readAll();
        const int end = received->indexOf("\r\n\r\n");
        if (end < 0) return;
        // "GET /path HTTP/1.1": the target is the second word, without any query.
        const QList<QByteArray> lines = received->left(end).split('\n');
        const QList<QByteArray> words = lines.first().trimmed().split(' ');
        const QByteArray target = words.size() >= 2 ? words.at(1) : QByteArray("/");
        const int query = target.indexOf('?');
        Received request;
        request.method = words.first();
        request.path = QString::fromUtf8(query < 0 ? target : target.left(query));
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
        }
        // A request with a body is answered once the whole body is here.
        const int length = request.headers.value("content-length").toInt();
        if (received->size() - (end + 4) < length) return;
        request.body = received->mid(end + 4, length);
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        Answer(socket, Lookup(request));
    });
}

void HttpTestServer::Answer(QTcpSocket* socket, const Behaviour& b) {
    using Kind = Behaviour::Kind;
    switch (b.kind) {
    case Kind::Respond:
        socket->write(Head(b.status, b.body.size(), b.location) + b.body);
        socket->disconnectFromHost();  // after the buffered bytes are written
        break;
    case Kind::CutShort:
        socket->write(Head(b.status, b.declaredLength, b.location) + b.body);
        socket->disconnectFromHost();
        break;
    case Kind::Stall:
        // The connection stays until the client gives up or the server is destroyed.
        socket->write(Head(b.status, b.declaredLength, b.location));
        break;
    case Kind::Silent:
        break;
    case Kind::Endless: {
        // More filler whenever the socket's buffer runs low; the socket goes when the client
        // closes, and the refills with it.
        socket->write(Head(b.status, -1, b.location) + b.body);
        const QByteArray filler(64 * 1024, 'x');
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, filler] {
            if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < filler.size()) {
                socket->write(filler);
            }
        });
        break;
    }
    case Kind::Trickle: {
        socket->write(Head(b.status, b.body.size(), b.location));
        auto* timer = new QTimer(socket);
        auto sent = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, b] {
            const QByteArray chunk = b.body.mid(*sent, b.chunkSize);
            socket->write(chunk);
            *sent += chunk.size();
            if (*sent >= b.body.size()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(b.intervalMs);
        break;
    }
    }
}
