// DownLoadWork: one HTTP GET streamed into one file below the download directory, reported once
// by workfinished(type, ecode) with ecode 0 for a complete body. Runs alone on a pool thread, or
// as one of the transfers a DownLoadLane drives over its shared connections.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkProxy>
#include <QObject>
#include <QRunnable>
#include <QString>

#include <chrono>

class CurlBatch;

class DownLoadWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    // Job types: the manifest, one archive of the update, and the manifest's signature.
    static constexpr int kManifest = 0;
    static constexpr int kUpdateFile = 1;
    static constexpr int kSignature = 2;
    // The largest manifest and signature accepted, in bytes. Both are read whole into memory, so
    // a larger one (announced or arriving) is refused with QNetworkReply::ContentAccessDenied.
    // Archives are streamed to disk and bounded only by the size their entry declares, if any.
    static constexpr qint64 kManifestLimit = 16 * 1024 * 1024;
    static constexpr qint64 kSignatureLimit = 1024;

    // downloadDir: the folder that receives the file (the layout's download directory).
    DownLoadWork(const QString& downloadDir, int type);
    ~DownLoadWork() override;
    void SetUrl(const QString& url) { url_ = url; }
    // Path below the download directory, beginning with "/" (a manifest entry name).
    void SetFileName(const QString& fileName) { fileName_ = fileName; }
    // Bytes an archive may have (its manifest entry's "size"): more, announced or arriving, is
    // refused like an oversized manifest. Negative: no bound. Manifests and signatures keep theirs.
    void SetSizeLimit(qint64 bytes) { sizeLimit_ = bytes; }
    // An archive's SHA-256 (lower-case hex, its manifest entry's "sha256"): a finished archive
    // that does not have it is fetched whole once more, then refused. Empty: not checked here.
    void SetExpectedSha256(const QString& sha256) { sha256_ = sha256; }

    // The transfer alone, in a batch of its own on the calling pool thread.
    void run() override;
    // Adds the transfer to batch, which the calling thread runs until workfinished; that is
    // emitted in this thread, before Start returns when no request goes out (a name that climbs
    // out, a target that cannot be opened).
    void Start(CurlBatch* batch);

signals:
    void workfinished(int type, int ecode);

private:
    friend struct DownLoadWorkCallbacks;
    // libcurl's callbacks: a piece of the body, one header line, and progress (or its absence).
    // A false return aborts the transfer.
    bool OnBody(const char* data, qint64 size);
    bool OnHeader(const char* data, qint64 size);
    bool OnProgress();
    // Starts an attempt at the file in the batch, after delay.
    void Attempt(std::chrono::milliseconds delay);
    // Judges the ended attempt (result: a CURLcode): another attempt after a transient failure,
    // or the code to report, from the first cause that applies.
    void OnDone(int result);
    // Remembers that the proxy offered Basic alone, so later transfers send it at once.
    void LearnScheme();
    // An archive's partial file, just opened: what it holds is continued when its information
    // names this URL, hash and size, else it starts empty. False when it cannot be emptied.
    bool KeepPartial();
    bool SavePartialInfo();
    // Before an attempt at an archive: asks for the bytes after those kept (Range and If-Range),
    // or for the whole file when nothing can be continued.
    void AskForTheRest();
    // At the end of a successful head (status 2xx): a 206 must continue the kept bytes exactly,
    // a 200 replaces them. False, and the range marked refused, otherwise.
    bool TakeRange(int status);
    // The archive is whole: checked against its SHA-256, then given its own name. 0, a failure
    // code, or -1 when it started over.
    int Complete();
    // Drops what was kept and fetches the file from its first byte.
    void StartOver(const char* why);
    // Closes the target (removing it unless ecode is 0) and reports ecode.
    void Finish(int ecode, const QString& reason = QString());
    // False, and the transfer marked too large, when size is over its type's limit.
    bool CheckSize(qint64 size);

    QString url_;
    QString fileName_;
    // The CURL* of the transfer, from Start() until it has ended, and the batch that runs it.
    void* easy_ = nullptr;
    CurlBatch* batch_ = nullptr;
    // Attempts made so far; the limits of the current one start with its first progress call.
    int attempt_ = 0;
    bool startPending_ = false;
    QFile file_;
    int type_;
    qint64 sizeLimit_ = -1;
    QString downloadDir_;
    // What libcurl says went wrong, when it says anything (CURLOPT_ERRORBUFFER).
    QByteArray curlError_;
    // The current response's status and head size, and its Content-Length header if any.
    int status_ = 0;
    qint64 headBytes_ = 0;
    QByteArray contentLength_;
    QByteArray location_;
    QByteArray retryAfter_;
    // The error status that ended the attempt at the end of its head, 0 if none.
    int errorStatus_ = 0;
    // The final response's head has ended: header lines now are a chunked body's trailer.
    bool inBody_ = false;
    // The proxy answered 407: what follows is its page, never the file's.
    bool proxyRefusing_ = false;
    // The proxy the transfer goes through (NoProxy: straight).
    QNetworkProxy proxy_;
    // Since the last sign of life from the server, and since the low-speed window began.
    QElapsedTimer sinceActivity_;
    QElapsedTimer window_;
    // First write failure on file_ (a QFileDevice::FileError), 0 while every write succeeded.
    int writeError_ = 0;
    // Body bytes received in all, and since the current low-speed window began.
    qint64 received_ = 0;
    qint64 windowReceived_ = 0;
    // Archives only: where the file goes when whole, its SHA-256, the bytes kept when the current
    // attempt began, and the validators the server gave them.
    bool resumable_ = false;
    QString targetPath_;
    QString sha256_;
    qint64 offset_ = 0;
    QByteArray etag_;
    QByteArray lastModified_;
    QByteArray range_;
    void* headers_ = nullptr;  // curl_slist of the request's own headers
    // The current response's Content-Range and validators.
    QByteArray contentRange_;
    QByteArray responseEtag_;
    QByteArray responseLastModified_;
    // The current response's Content-Length (-1: none), and whether the partial file's
    // information was written (archives worth continuing in another run only).
    qint64 announced_ = -1;
    bool infoWritten_ = false;
    int restarts_ = 0;
    bool startOver_ = false;
    bool rangeRefused_ = false;
    bool hashMismatch_ = false;
    bool keepPartial_ = false;
    // Why a callback aborted the transfer.
    bool tooLarge_ = false;
    bool stalled_ = false;
    bool malformed_ = false;
    bool insecureRedirect_ = false;
};
