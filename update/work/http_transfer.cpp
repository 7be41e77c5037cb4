// HTTP/1.1 GET on a buffered socket. The head is parsed line by line from the socket's buffer,
// the body read straight from it by the caller: one read from the kernel brings whatever has
// arrived, however many header lines or body bytes that is.
//
// Response framing, in the order it is decided:
//   1xx (but 101) interim responses are skipped; 204 and 304 have no body;
//   "Transfer-Encoding: chunked": "<hex size>[;ext]\r\n<data>\r\n" ..., "0\r\n", trailer lines,
//   an empty line;
//   "Content-Length: N": exactly N bytes;
//   neither: the body runs until the server closes the connection (never kept then).
// A connection is kept for the next request unless the server said "Connection: close", spoke
// HTTP/1.0 without "Connection: keep-alive", or left bytes beyond the response. A kept
// connection may have been closed by the server meanwhile; the request then goes out once more
// on a new connection, provided nothing of an answer had arrived.
#include "http_transfer.h"

#include <QTcpSocket>

#include <cctype>

#ifndef QT_NO_SSL
#include <QSslSocket>
#endif

#include "http_client.h"

namespace {

// Status line and headers together, and one chunk-size or trailer line, may not exceed these.
constexpr qint64 kMaxHead = 64 * 1024;
constexpr qint64 kMaxLine = 8 * 1024;

bool IsHttpScheme(const QString& scheme) { return scheme == QLatin1String("http") || scheme == QLatin1String("https"); }

bool IsRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// The line without its line end.
QByteArray Chomp(QByteArray line) {
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    return line;
}

// A status that is an error of its own, in the codes QNetworkReply gives it.
QNetworkReply::NetworkError StatusError(int status) {
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: break;
    }
    if (status >= 400 && status <= 499) return QNetworkReply::UnknownContentError;
    if (status >= 500 && status <= 599) return QNetworkReply::UnknownServerError;
    return QNetworkReply::NoError;
}

QNetworkReply::NetworkError SocketError(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError: return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError: return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError: return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError: return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::ProxyConnectionRefusedError: return QNetworkReply::ProxyConnectionRefusedError;
    case QAbstractSocket::ProxyConnectionClosedError: return QNetworkReply::ProxyConnectionClosedError;
    case QAbstractSocket::ProxyNotFoundError: return QNetworkReply::ProxyNotFoundError;
    case QAbstractSocket::ProxyConnectionTimeoutError: return QNetworkReply::ProxyTimeoutError;
    case QAbstractSocket::ProxyAuthenticationRequiredError: return QNetworkReply::ProxyAuthenticationRequiredError;
    default: return QNetworkReply::UnknownNetworkError;
    }
}

}  // namespace

HttpTransfer::HttpTransfer(HttpClient* client, const QUrl& url, QObject* parent)
    : QObject(parent), client_(client), url_(url) {}

HttpTransfer::~HttpTransfer() = default;  // a socket still held goes with its parent, this

void HttpTransfer::Start() {
    if (phase_ != Phase::Idle) return;
    Send();
}

void HttpTransfer::Abort() {
    if (finished_) return;
    Fail(QNetworkReply::OperationCanceledError);
}

void HttpTransfer::Send() {
    const QString scheme = url_.scheme().toLower();
    if (!url_.isValid() || url_.host().isEmpty() || !IsHttpScheme(scheme)) {
        End(QNetworkReply::ProtocolUnknownError);
        return;
    }
    origin_ = HttpClient::Origin(url_);
    socket_ = client_->TakeIdle(origin_);
    reused_ = socket_ != nullptr;
    if (!reused_) {
        Connect();
        return;
    }
    socket_->setParent(this);
    connect(socket_, &QTcpSocket::readyRead, this, &HttpTransfer::OnReadable);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpTransfer::OnClosed);
    connect(socket_, &QTcpSocket::errorOccurred, this, &HttpTransfer::OnSocketError);
    WriteRequest();
}

void HttpTransfer::Connect() {
    const bool tls = url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const quint16 port = static_cast<quint16>(url_.port(tls ? 443 : 80));
    phase_ = Phase::Connecting;
    reused_ = false;
#ifndef QT_NO_SSL
    if (tls) {
        auto* socket = new QSslSocket(this);
        socket_ = socket;
        connect(socket, &QSslSocket::encrypted, this, &HttpTransfer::WriteRequest);
    }
#endif
    if (!socket_) {
        if (tls) {  // a Qt without TLS
            End(QNetworkReply::ProtocolUnknownError);
            return;
        }
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &HttpTransfer::WriteRequest);
    }
    connect(socket_, &QTcpSocket::readyRead, this, &HttpTransfer::OnReadable);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpTransfer::OnClosed);
    connect(socket_, &QTcpSocket::errorOccurred, this, &HttpTransfer::OnSocketError);
#ifndef QT_NO_SSL
    if (tls) {
        // The default configuration of the process: its trusted roots, host name checked.
        static_cast<QSslSocket*>(socket_)->connectToHostEncrypted(url_.host(), port);
        return;
    }
#endif
    socket_->connectToHost(url_.host(), port);
}

void HttpTransfer::WriteRequest() {
    phase_ = Phase::StatusLine;
    answered_ = false;
    headBytes_ = 0;
    status_ = 0;
    contentLength_ = -1;
    framing_ = Framing::Length;
    lastChunk_ = false;
    chunkCrlfDue_ = false;
    location_.clear();
    QByteArray target = url_.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty()) target = "/";
    const QByteArray host = url_.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toLatin1();
    // No compression asked for: an archive is compressed already, and the body is written to
    // disk as it comes.
    socket_->write("GET " + target + " HTTP/1.1\r\nHost: " + host +
                   "\r\nUser-Agent: Mozilla/5.0\r\nAccept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n");
}

void HttpTransfer::OnReadable() {
    if (socket_ == nullptr || phase_ == Phase::Done) return;
    if (socket_->bytesAvailable() > 0) answered_ = true;
    if ((phase_ == Phase::StatusLine || phase_ == Phase::Headers) && !ReadHead()) return;
    if (phase_ != Phase::Body) return;
    emit readyRead();
    CheckComplete();
}

bool HttpTransfer::ReadHead() {
    while (phase_ == Phase::StatusLine || phase_ == Phase::Headers) {
        if (!socket_->canReadLine()) {
            if (socket_->bytesAvailable() + headBytes_ > kMaxHead) Fail(QNetworkReply::ProtocolFailure);
            return false;
        }
        const QByteArray raw = socket_->readLine(kMaxHead);
        headBytes_ += raw.size();
        if (headBytes_ > kMaxHead) {
            Fail(QNetworkReply::ProtocolFailure);
            return false;
        }
        const QByteArray line = Chomp(raw);
        if (phase_ == Phase::StatusLine) {
            // "HTTP/1.<0|1> <3 digits>[ <reason>]"
            const bool digits = line.size() >= 12 && std::isdigit(uchar(line[9])) && std::isdigit(uchar(line[10])) &&
                                std::isdigit(uchar(line[11]));
            if (!line.startsWith("HTTP/1.") || (line[7] != '0' && line[7] != '1') || line[8] != ' ' || !digits ||
                (line.size() > 12 && line[12] != ' ')) {
                Fail(QNetworkReply::ProtocolFailure);
                return false;
            }
            status_ = line.mid(9, 3).toInt();
            keepAlive_ = line[7] == '1';
            phase_ = Phase::Headers;
            continue;
        }
        if (line.isEmpty()) {
            if (status_ >= 100 && status_ <= 199 && status_ != 101) {
                phase_ = Phase::StatusLine;  // an interim response; the real one follows
                continue;
            }
            OnHead();
            return phase_ == Phase::Body;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0) {
            Fail(QNetworkReply::ProtocolFailure);
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || (contentLength_ >= 0 && length != contentLength_)) {
                Fail(QNetworkReply::ProtocolFailure);  // two lengths that differ: which is the body?
                return false;
            }
            contentLength_ = length;
        } else if (name == "transfer-encoding") {
            if (value.toLower().contains("chunked")) framing_ = Framing::Chunked;
        } else if (name == "connection") {
            const QByteArray tokens = value.toLower();
            if (tokens.contains("close")) keepAlive_ = false;
            else if (tokens.contains("keep-alive")) keepAlive_ = true;
        } else if (name == "location") {
            location_ = value;
        }
    }
    return phase_ == Phase::Body;
}

void HttpTransfer::OnHead() {
    if (IsRedirect(status_) && !location_.isEmpty()) {
        if (redirects_ >= kMaxRedirects) {
            Fail(QNetworkReply::TooManyRedirectsError);
            return;
        }
        const QUrl target = url_.resolved(QUrl(QString::fromUtf8(location_), QUrl::TolerantMode));
        const QString scheme = target.scheme().toLower();
        if (!target.isValid() || !IsHttpScheme(scheme)) {
            Fail(QNetworkReply::ProtocolUnknownError);
            return;
        }
        if (url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 && scheme == QLatin1String("http")) {
            Fail(QNetworkReply::InsecureRedirectError);
            return;
        }
        ++redirects_;
        // The redirect's own body is not read: its connection is kept only when it has none.
        if (keepAlive_ && framing_ == Framing::Length && contentLength_ == 0 && socket_->bytesAvailable() == 0) {
            socket_->disconnect(this);
            client_->GiveBack(origin_, socket_);
            socket_ = nullptr;
        } else {
            CloseSocket();
        }
        url_ = target;
        emit redirected();
        if (!finished_) Send();
        return;
    }
    if (status_ == 204 || status_ == 304) {
        framing_ = Framing::Length;
        contentLength_ = 0;
    }
    if (framing_ == Framing::Chunked) {
        remaining_ = 0;
    } else if (contentLength_ >= 0) {
        framing_ = Framing::Length;
        remaining_ = contentLength_;
    } else {
        framing_ = Framing::UntilClose;
        keepAlive_ = false;
    }
    phase_ = Phase::Body;
    emit metaDataChanged();
}

qint64 HttpTransfer::Read(char* data, qint64 max) {
    qint64 total = 0;
    while (phase_ == Phase::Body && socket_ != nullptr && total < max) {
        if (framing_ == Framing::Chunked && remaining_ == 0 && (lastChunk_ || !NextChunk())) break;
        const qint64 want = framing_ == Framing::UntilClose ? max - total : qMin(max - total, remaining_);
        const qint64 got = socket_->read(data + total, want);
        if (got <= 0) break;
        total += got;
        if (framing_ != Framing::UntilClose) remaining_ -= got;
    }
    return total;
}

bool HttpTransfer::NextChunk() {
    if (chunkCrlfDue_) {
        if (!socket_->canReadLine()) return false;
        if (!Chomp(socket_->readLine(kMaxLine)).isEmpty()) {
            Fail(QNetworkReply::ProtocolFailure);
            return false;
        }
        chunkCrlfDue_ = false;
    }
    if (!socket_->canReadLine()) {
        if (socket_->bytesAvailable() > kMaxLine) Fail(QNetworkReply::ProtocolFailure);
        return false;
    }
    QByteArray line = Chomp(socket_->readLine(kMaxLine));
    const int extension = line.indexOf(';');
    if (extension >= 0) line.truncate(extension);
    bool ok = false;
    const qint64 size = line.trimmed().toLongLong(&ok, 16);
    if (!ok || size < 0) {
        Fail(QNetworkReply::ProtocolFailure);
        return false;
    }
    if (size == 0) {
        lastChunk_ = true;
        return false;
    }
    remaining_ = size;
    chunkCrlfDue_ = true;
    return true;
}

void HttpTransfer::CheckComplete() {
    if (phase_ != Phase::Body || socket_ == nullptr) return;
    if (framing_ == Framing::UntilClose || remaining_ > 0) return;
    if (framing_ == Framing::Chunked) {
        // The reader moves from chunk to chunk; the message ends with the last chunk's trailer.
        if (!lastChunk_) return;
        // Trailer lines up to the empty line that ends the message.
        for (;;) {
            if (!socket_->canReadLine()) return;
            if (Chomp(socket_->readLine(kMaxLine)).isEmpty()) break;
        }
    }
    if (keepAlive_ && socket_->bytesAvailable() == 0 && socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->disconnect(this);
        client_->GiveBack(origin_, socket_);
        socket_ = nullptr;
    } else {
        CloseSocket();
    }
    End(StatusError(status_));
}

void HttpTransfer::OnClosed() {
    if (socket_ == nullptr || phase_ == Phase::Done || phase_ == Phase::Idle) return;
    if (phase_ == Phase::Body) {
        emit readyRead();  // what arrived before the end
        if (phase_ != Phase::Body || socket_ == nullptr) return;
        if (framing_ == Framing::UntilClose) {
            CloseSocket();
            End(StatusError(status_));
            return;
        }
        CheckComplete();
        if (phase_ == Phase::Body) Fail(QNetworkReply::RemoteHostClosedError);
        return;
    }
    if (reused_ && !answered_) {
        // The server had closed the kept connection before this request reached it.
        CloseSocket();
        Connect();
        return;
    }
    Fail(QNetworkReply::RemoteHostClosedError);
}

void HttpTransfer::OnSocketError() {
    if (socket_ == nullptr || phase_ == Phase::Done) return;
    const QAbstractSocket::SocketError error = socket_->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        OnClosed();
        return;
    }
    if (reused_ && !answered_ && phase_ == Phase::StatusLine) {
        CloseSocket();
        Connect();
        return;
    }
    Fail(SocketError(error));
}

void HttpTransfer::Fail(QNetworkReply::NetworkError error) {
    CloseSocket();
    End(error);
}

void HttpTransfer::End(QNetworkReply::NetworkError error) {
    phase_ = Phase::Done;
    if (finished_) return;
    finished_ = true;
    error_ = error;
    emit finished();
}

void HttpTransfer::CloseSocket() {
    if (socket_ == nullptr) return;
    // Called from the socket's own signals too: it goes once control is back in the loop.
    socket_->disconnect(this);
    socket_->abort();
    socket_->deleteLater();
    socket_ = nullptr;
}
