// HttpTransfer: one HTTP/1.1 GET over a connection of an HttpClient, following redirects, with
// the response body read by the caller as it arrives. Reports like a QNetworkReply, with the
// same error codes, so that its user judges it the same way.
#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

class HttpClient;
class QTcpSocket;

class HttpTransfer : public QObject {
    Q_OBJECT
public:
    // Redirects followed at most; one more fails with TooManyRedirectsError.
    static constexpr int kMaxRedirects = 5;

    // Lives in the thread of client, which must outlive the request (not the object).
    HttpTransfer(HttpClient* client, const QUrl& url, QObject* parent = nullptr);
    ~HttpTransfer() override;

    // Sends the request. Every signal comes from the event loop of this thread; finished may
    // come from inside abort().
    void Start();
    // Ends the transfer with OperationCanceledError (emitting finished at once) unless it has
    // ended; its connection is closed.
    void Abort();

    // Reads up to max bytes of the body that have arrived; 0 when none is waiting.
    qint64 Read(char* data, qint64 max);

    bool IsFinished() const { return finished_; }
    QNetworkReply::NetworkError Error() const { return error_; }
    // The final response's status code, 0 before one arrived.
    int Status() const { return status_; }
    // The final response's Content-Length, -1 when it has none.
    qint64 ContentLength() const { return contentLength_; }

signals:
    // The final response's status and headers have arrived.
    void metaDataChanged();
    // Body bytes are waiting for Read().
    void readyRead();
    // A redirect is being followed.
    void redirected();
    // The transfer has ended; Error() tells how. Emitted once.
    void finished();

private:
    enum class Phase { Idle, Connecting, StatusLine, Headers, Body, Done };
    enum class Framing { Length, Chunked, UntilClose };

    // Sends the request for url_ on a kept connection, or on a new one.
    void Send();
    void Connect();
    void WriteRequest();
    void OnReadable();
    void OnClosed();
    void OnSocketError();
    // Reads status line and headers while whole lines are buffered; false when the transfer
    // ended there.
    bool ReadHead();
    // Acts on a complete head: follows a redirect, or starts the body.
    void OnHead();
    // Reads the size line of the next chunk if it is buffered; false when it is not (yet).
    bool NextChunk();
    // Marks the body complete when it is, giving the connection back when it may be reused.
    void CheckComplete();
    void Fail(QNetworkReply::NetworkError error);
    void End(QNetworkReply::NetworkError error);
    // Drops the connection without keeping it.
    void CloseSocket();

    HttpClient* client_;
    QUrl url_;
    QString origin_;
    QTcpSocket* socket_ = nullptr;
    Phase phase_ = Phase::Idle;
    Framing framing_ = Framing::Length;
    // The connection came from the client and so may have been closed by the server meanwhile.
    bool reused_ = false;
    // Some of the response has arrived on this connection.
    bool answered_ = false;
    bool keepAlive_ = false;
    int redirects_ = 0;
    int status_ = 0;
    qint64 contentLength_ = -1;
    // Body bytes still due: of the whole body (Length) or of the current chunk (Chunked).
    qint64 remaining_ = 0;
    // The zero-size chunk has been read; the line ending the last chunk's data is still due.
    bool lastChunk_ = false;
    bool chunkCrlfDue_ = false;
    QByteArray location_;
    qint64 headBytes_ = 0;
    bool finished_ = false;
    QNetworkReply::NetworkError error_ = QNetworkReply::NoError;
};
