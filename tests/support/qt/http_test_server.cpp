// Misbehaving HTTP server for tests: parses the request line, the headers and a Content-Length
// body, records them, and answers as the path's behaviour says, all inside the server thread.
#include "http_test_server.h"

#include <QFile>
#include <QHostAddress>
#include <QMutexLocker>
#include <QProcess>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QStandardPaths>
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
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray Head(const HttpTestServer::Behaviour& b, qint64 length, bool announceClose) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(b.status) + ' ' + Reason(b.status) + "\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (length >= 0) head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (!b.location.isEmpty()) head += "Location: " + b.location + "\r\n";
    if (!b.cookie.isEmpty()) head += "Set-Cookie: " + b.cookie + "\r\n";
    if (!b.retryAfter.isEmpty()) head += "Retry-After: " + b.retryAfter + "\r\n";
    if (announceClose) head += "Connection: close\r\n";
    return head + "\r\n";
}

// Takes one whole request off the front of buffer: "GET /path HTTP/1.1", header lines, an empty
// line, then Content-Length bytes of body. False, buffer untouched, while any of it is missing.
bool TakeRequest(QByteArray* buffer, HttpTestServer::Received* request) {
    const int end = buffer->indexOf("\r\n\r\n");
    if (end < 0) return false;
    // The target is the second word of the request line, without any query.
    const QList<QByteArray> lines = buffer->left(end).split('\n');
    const QList<QByteArray> words = lines.first().trimmed().split(' ');
    const QByteArray target = words.size() >= 2 ? words.at(1) : QByteArray("/");
    const int query = target.indexOf('?');
    HttpTestServer::Received parsed;
    parsed.method = words.first();
    parsed.path = QString::fromUtf8(query < 0 ? target : target.left(query));
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            parsed.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    const int length = qMax(0, parsed.headers.value("content-length").toInt());
    if (buffer->size() - (end + 4) < length) return false;
    parsed.body = buffer->mid(end + 4, length);
    buffer->remove(0, end + 4 + length);
    *request = parsed;
    return true;
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

HttpTestServer::Behaviour HttpTestServer::Gate(const QByteArray& body, int waiters) {
    Behaviour b = Body(body);
    b.kind = Behaviour::Kind::Gate;
    b.waiters = waiters;
    return b;
}

HttpTestServer::Behaviour HttpTestServer::Raw(const QByteArray& response) {
    Behaviour b;
    b.kind = Behaviour::Kind::Raw;
    b.body = response;
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

QString HttpTestServer::TlsUnavailable() {
    if (!QSslSocket::supportsSsl()) return QStringLiteral("this Qt build has no usable TLS backend");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()) {
        return QStringLiteral("needs the openssl command line tool to make a test certificate");
    }
    return QString();
}

QString HttpTestServer::MakeCertificate(const QStringList& names, QSslCertificate* certificate, QSslKey* key) {
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    QTemporaryDir folder;
    if (!folder.isValid()) return QStringLiteral("no temporary folder for the certificate");
    const QString certPath = folder.path() + "/cert.pem";
    const QString keyPath = folder.path() + "/key.pem";
    // The address and names go in subjectAltName: that, not the common name, is what hostname
    // verification matches.
    QString alternatives = QStringLiteral("subjectAltName=IP:127.0.0.1");
    for (const QString& name : names) alternatives += ",DNS:" + name;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                            "-keyout", keyPath, "-out", certPath, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                            alternatives});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return "openssl failed: " + QString::fromLocal8Bit(process.readAll());
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(certPath);
    if (certificates.size() != 1) return QStringLiteral("cannot read the generated certificate");
    *certificate = certificates.first();
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) return QStringLiteral("cannot open the generated key");
    *key = QSslKey(&keyFile, QSsl::Ec);
    if (key->isNull()) return QStringLiteral("cannot read the generated key");
    return QString();
}

QString HttpTestServer::Url(const QString& path) const {
    return QStringLiteral("%1://%2:%3%4")
        .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"), host_)
        .arg(port_)
        .arg(path);
}

void HttpTestServer::Serve(const QString& path, const Behaviour& behaviour) { Serve(path, QList<Behaviour>{behaviour}); }

void HttpTestServer::Serve(const QString& path, const QList<Behaviour>& answers) {
    QMutexLocker lock(&mutex_);
    routes_.insert(path, answers);
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
    const int hit = hits_[path]++;
    received_[path].append(request);
    const QList<Behaviour> answers = routes_.value(path);
    if (answers.isEmpty()) return Status(404, "no such path: " + path.toUtf8());
    return answers.at(qMin(hit, answers.size() - 1));
}

void HttpTestServer::KeepConnections(int closeEvery) {
    QMutexLocker lock(&mutex_);
    closeEvery_ = qMax(0, closeEvery);
}

int HttpTestServer::ConnectionCount() const {
    QMutexLocker lock(&mutex_);
    return connections_;
}

void HttpTestServer::Accept(QTcpSocket* socket) {
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    int closeEvery;
    int number;
    {
        QMutexLocker lock(&mutex_);
        closeEvery = closeEvery_;
        number = ++connections_;
    }
    const bool keepAlive = closeEvery >= 0;
    const bool dropAfterFirst = closeEvery > 0 && number % closeEvery == 0;
    auto received = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received, keepAlive, dropAfterFirst] {
        *received += socket->readAll();
        Received request;
        // A client that does not pipeline sends the next request only after the answer, but
        // whatever arrived together is served in order.
        while (TakeRequest(received.get(), &request)) {
            const Behaviour behaviour = Lookup(request);
            const bool keepOpen = keepAlive && !dropAfterFirst && behaviour.kind == Behaviour::Kind::Respond;
            if (!keepOpen) QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
            Answer(socket, behaviour, keepOpen, !keepAlive);
            if (!keepOpen) return;
        }
    });
}

void HttpTestServer::Answer(QTcpSocket* socket, const Behaviour& b, bool keepOpen, bool announceClose) {
    using Kind = Behaviour::Kind;
    switch (b.kind) {
    case Kind::Respond:
        socket->write(Head(b, b.body.size(), announceClose) + b.body);
        if (!keepOpen) socket->disconnectFromHost();  // after the buffered bytes are written
        break;
    case Kind::CutShort:
        socket->write(Head(b, b.declaredLength, announceClose) + b.body);
        socket->disconnectFromHost();
        break;
    case Kind::Stall:
        // The connection stays until the client gives up or the server is destroyed.
        socket->write(Head(b, b.declaredLength, announceClose));
        break;
    case Kind::Silent:
        break;
    case Kind::Raw:
        socket->write(b.body);
        socket->disconnectFromHost();
        break;
    case Kind::Gate: {
        held_.append({socket, b});
        int waiting = 0;
        for (const auto& held : held_) waiting += !held.first.isNull();
        if (waiting < b.waiters) break;
        for (const auto& held : qAsConst(held_)) {
            if (held.first.isNull()) continue;
            held.first->write(Head(held.second, held.second.body.size(), announceClose) + held.second.body);
            held.first->disconnectFromHost();
        }
        held_.clear();
        break;
    }
    case Kind::Endless: {
        // More filler whenever the socket's buffer runs low; the socket goes when the client
        // closes, and the refills with it.
        socket->write(Head(b, -1, announceClose) + b.body);
        const QByteArray filler(64 * 1024, 'x');
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, filler] {
            if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < filler.size()) {
                socket->write(filler);
            }
        });
        break;
    }
    case Kind::Trickle: {
        socket->write(Head(b, b.body.size(), announceClose));
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
