// DownLoadWork: one HTTP GET streamed into one file below the download directory, on a pool
// thread, reported once by workfinished(type, ecode) with ecode 0 for a complete body.
#pragma once

#include <QFile>
#include <QObject>
#include <QRunnable>
#include <QString>

class QNetworkReply;
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
    void SetUrl(const QString& url) { url_ = url; }
    // Path below the download directory, beginning with "/" (a manifest entry name).
    void SetFileName(const QString& fileName) { fileName_ = fileName; }
    // Bytes an archive may have (its manifest entry's "size"): more, announced or arriving, is
    // refused like an oversized manifest. Negative: no bound. Manifests and signatures keep theirs.
    void SetSizeLimit(qint64 bytes) { sizeLimit_ = bytes; }

    void run() override;

signals:
    void workfinished(int type, int ecode);

private slots:
    void OnReadyRead();

private:
    // The transfer proper, once the target file is open; returns the code to report.
    int Transfer();
    // Restarts the no-progress countdown; called on every sign of life from the server.
    void KeepAlive();
    // Aborts a transfer whose announced or received size is over its type's limit.
    void CheckSize(qint64 size);

    QString url_;
    QString fileName_;
    QNetworkReply* reply_ = nullptr;
    QFile file_;
    int type_;
    qint64 sizeLimit_ = -1;
    QString downloadDir_;
    // Countdown that aborts a transfer which has received nothing for the stall limit; lives in
    // run()'s frame, null outside it.
    QTimer* stallTimer_ = nullptr;
    // First write failure on file_ (a QFileDevice::FileError), 0 while every write succeeded.
    int writeError_ = 0;
    // Body bytes received in all, and since the current low-speed window began.
    qint64 received_ = 0;
    qint64 windowReceived_ = 0;
    // Set when CheckSize() aborted the transfer.
    bool tooLarge_ = false;
};
