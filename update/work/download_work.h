// DownLoadWork: one HTTP GET streamed into one file below the download directory, reported once
// by workfinished(type, ecode) with ecode 0 for a complete body. Runs alone on a pool thread, or
// as one of the transfers a DownLoadLane drives over its shared connections.
#pragma once

#include <QFile>
#include <QObject>
#include <QRunnable>
#include <QString>

#include <memory>
#include <vector>

class HttpClient;
class HttpTransfer;
class QTimer;

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

    // The transfer alone: its own connection and event loop on the calling pool thread.
    void run() override;
    // Begins the transfer over client's connections, in client's thread, which must run an event
    // loop until workfinished; that is emitted in this thread, before Start returns when no
    // request goes out (a name that climbs out, a target that cannot be opened).
    void Start(HttpClient* client);

signals:
    void workfinished(int type, int ecode);

private:
    // Writes what has arrived to the target.
    void OnReadyRead();
    // Judges the ended reply: the code to report, from the first cause that applies.
    void OnFinished();
    // Closes the target (removing it unless ecode is 0) and reports ecode.
    void Finish(int ecode);
    // Gives the transfer up as stalled.
    void Stall();
    // Restarts the no-progress countdown; called on every sign of life from the server.
    void KeepAlive();
    // Aborts a transfer whose announced or received size is over its type's limit.
    void CheckSize(qint64 size);

    QString url_;
    QString fileName_;
    HttpTransfer* reply_ = nullptr;
    QFile file_;
    int type_;
    qint64 sizeLimit_ = -1;
    QString downloadDir_;
    // Receives the reply's and the countdowns' signals in the thread that runs the transfer, and
    // owns the countdowns: the one that aborts a transfer which has received nothing for the
    // stall limit, and the low-speed window. Made by Start().
    std::unique_ptr<QObject> context_;
    QTimer* stallTimer_ = nullptr;
    QTimer* speedTimer_ = nullptr;
    // What OnReadyRead() reads into, made at the first body bytes.
    std::vector<char> buffer_;
    // First write failure on file_ (a QFileDevice::FileError), 0 while every write succeeded.
    int writeError_ = 0;
    // Body bytes received in all, and since the current low-speed window began.
    qint64 received_ = 0;
    qint64 windowReceived_ = 0;
    // Set when CheckSize() aborted the transfer, when a countdown did, and once reported.
    bool tooLarge_ = false;
    bool stalled_ = false;
    bool finished_ = false;
};
