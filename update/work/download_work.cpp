// Download worker: one GET streamed chunk by chunk into its target file on a pool thread, with a
// no-progress limit, a low-speed limit, bounded sizes, safe redirects and no file left
// behind when the transfer fails.
#include "download_work.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <vector>

#include "http_client.h"
#include "http_transfer.h"

namespace {

// A transfer that receives nothing at all for this long is given up.
constexpr int kStallLimitMs = 60 * 1000;
// Silence is not the only way to hang: a server that sends a byte a second never stalls, and the
// updater would hold its single-instance guard for ever. So every stall-limit-long window, counted
// from the request, must also bring at least this many bytes per second on average, or the
// transfer is given up too. A slow line above this rate is left alone however long the file takes.
constexpr qint64 kMinBytesPerSecond = 1024;
// Read once, at the first download of the process: a positive number of milliseconds that
// replaces kStallLimitMs, and with it the low-speed window (the rate stays the same). Tests set it
// so a stalled or crawling server costs them a second, not a minute; an environment variable
// keeps the knob out of the class interface the rest of the updater uses.
constexpr char kStallLimitVariable[] = "UPDATER_DOWNLOAD_STALL_MS";
int StallLimitMs() {
    static const int limit = [] {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue(kStallLimitVariable, &ok);
        return ok && ms > 0 ? ms : kStallLimitMs;
    }();
    return limit;
}

// True when a segment of the name, split on either separator, would climb out of the download
// directory. Any segment made only of dots and spaces, with at least two dots, counts: Windows
// drops trailing dots and spaces from a path component, so ".. " can act as "..". Dots inside a
// name ("v1..2") are fine.
bool ClimbsOut(const QString& fileName) {
    int dots = 0;
    int others = 0;  // characters of the segment that are neither dots nor spaces
    for (int i = 0; i <= fileName.size(); ++i) {
        const QChar c = i < fileName.size() ? fileName.at(i) : QLatin1Char('/');
        if (c == QLatin1Char('/') || c == QLatin1Char('\\')) {
            if (dots >= 2 && others == 0) return true;
            dots = others = 0;
        } else if (c == QLatin1Char('.')) {
            ++dots;
        } else if (c != QLatin1Char(' ')) {
            ++others;
        }
    }
    return false;
}

// Makes dir and whatever it lacks above it, one level at a time; a level that exists by the time
// it is made, whoever made it, is fine. Not QDir::mkpath: on Windows, when another thread creates
// one of the same folders between its first try and its climb to the parents, it takes the
// existing folder for a failure and gives up, and a batch starts several files into the same new
// folders at once.
bool MakeFolders(const QString& dir) {
    if (QFileInfo(dir).isDir()) return true;
    const int up = dir.lastIndexOf(QLatin1Char('/'));
    if (up > 0 && !MakeFolders(dir.left(up))) return false;
    return QDir().mkdir(dir) || QFileInfo(dir).isDir();
}

// The piece of a body read and written at a time.
constexpr qint64 kReadChunk = 256 * 1024;

bool IsSuccessStatus(int status) { return status >= 200 && status <= 299; }

}  // namespace

DownLoadWork::DownLoadWork(const QString& downloadDir, int type)
    : QObject(nullptr), type_(type), downloadDir_(downloadDir) {}

DownLoadWork::~DownLoadWork() = default;

void DownLoadWork::run() {
    HttpClient client;
    QEventLoop loop;
    connect(this, &DownLoadWork::workfinished, &loop, &QEventLoop::quit);
    Start(&client);
    if (!finished_) loop.exec();
}

void DownLoadWork::Start(HttpClient* client) {
    // Names begin with "/" and are joined as plain text, so the doubled separator after the
    // directory name is expected.
    const QString& root = downloadDir_;
    if (ClimbsOut(fileName_)) {
        // Reported like a target that cannot be opened: nothing written, no request sent.
        qWarning("Download of %s refused: the name leads out of the download folder", qUtf8Printable(fileName_));
        finished_ = true;
        emit workfinished(type_, QFileDevice::OpenError);
        return;
    }
    file_.setFileName(root + "/" + fileName_);
    const QString folder = QDir::cleanPath(QFileInfo(file_.fileName()).path());
    const bool folderMade = MakeFolders(folder);
    if (!folderMade || !file_.open(QIODevice::WriteOnly)) {
        const int error = file_.error();
        const QString reason = folderMade ? "cannot write the file: " + file_.errorString()
                                          : "cannot create the folder " + QDir::toNativeSeparators(folder);
        qWarning("Download of %s failed: %s", qUtf8Printable(fileName_), qUtf8Printable(reason));
        finished_ = true;
        emit workfinished(type_, error != QFileDevice::NoError ? error : QFileDevice::OpenError);
        return;
    }

    // Made here, so that it belongs to the thread that runs the transfer: this object may belong
    // to the thread that created it.
    context_ = std::make_unique<QObject>();
    stallTimer_ = new QTimer(context_.get());
    stallTimer_->setSingleShot(true);
    stallTimer_->setInterval(StallLimitMs());
    // Unlike the stall countdown, the window is never restarted by progress: it only ends.
    speedTimer_ = new QTimer(context_.get());
    speedTimer_->setInterval(StallLimitMs());
    const qint64 windowMinimum = kMinBytesPerSecond * StallLimitMs() / 1000;

    // Redirects are followed up to HttpTransfer::kMaxRedirects hops, never from https to http.
    // Transfers that share a client share nothing but its idle connections: no cookies, no
    // credentials go from one to another.
    reply_ = new HttpTransfer(client, QUrl(url_, QUrl::TolerantMode), context_.get());
    QObject* context = context_.get();
    connect(reply_, &HttpTransfer::readyRead, context, [this] { OnReadyRead(); });
    connect(reply_, &HttpTransfer::metaDataChanged, context, [this] {
        KeepAlive();
        if (reply_->ContentLength() >= 0) CheckSize(reply_->ContentLength());
    });
    connect(reply_, &HttpTransfer::redirected, context, [this] { KeepAlive(); });
    // Queued: Abort() signals the end at once, from inside the handler that called it.
    connect(reply_, &HttpTransfer::finished, context, [this] { OnFinished(); }, Qt::QueuedConnection);
    connect(stallTimer_, &QTimer::timeout, context, [this] { Stall(); });
    connect(speedTimer_, &QTimer::timeout, context, [this, windowMinimum] {
        if (windowReceived_ < windowMinimum) Stall();
        windowReceived_ = 0;
    });
    stallTimer_->start();
    speedTimer_->start();
    reply_->Start();
}

void DownLoadWork::Stall() {
    if (reply_ == nullptr || reply_->IsFinished()) return;
    stalled_ = true;
    reply_->Abort();
}

void DownLoadWork::OnFinished() {
    if (reply_ == nullptr) return;  // judged already
    stallTimer_->stop();
    speedTimer_->stop();
    OnReadyRead();  // whatever arrived together with the end of the reply

    int ecode = reply_->Error();
    // A body found too large is refused for that, even when a countdown ran out while the
    // abort was on its way.
    if (tooLarge_) {
        ecode = QNetworkReply::ContentAccessDenied;
    } else if (stalled_) {
        ecode = QNetworkReply::TimeoutError;
    } else if (writeError_ != 0) {
        ecode = writeError_;
    } else if (ecode == QNetworkReply::NoError) {
        // Qt reports 4xx/5xx itself; a 1xx or a 3xx it did not follow (300, 304, ...) ends
        // "without error" with no file body at all, which must not pass for a download.
        if (!IsSuccessStatus(reply_->Status())) ecode = QNetworkReply::ProtocolFailure;
    }
    reply_->deleteLater();
    reply_ = nullptr;
    Finish(ecode);
}

void DownLoadWork::Finish(int ecode) {
    // Every byte on disk before anybody is told; a failing final flush is a write error too.
    if (!file_.flush() && ecode == 0) ecode = QFileDevice::WriteError;
    file_.close();
    // A failed transfer must not leave a partial body or a server's error page where the
    // installer would take it for the real file.
    if (ecode != 0) {
        file_.remove();
        // The window only says that the update failed; the log says which file and why.
        qWarning("Download of %s from %s failed: code %d, %lld bytes received", qUtf8Printable(fileName_),
                 qUtf8Printable(url_), ecode, static_cast<long long>(received_));
    }
    finished_ = true;
    emit workfinished(type_, ecode);
}

void DownLoadWork::KeepAlive() {
    if (reply_ != nullptr) stallTimer_->start();
}

void DownLoadWork::CheckSize(qint64 size) {
    const qint64 limit = type_ == kManifest ? kManifestLimit : type_ == kSignature ? kSignatureLimit : sizeLimit_;
    if (limit < 0 || size <= limit || tooLarge_) return;
    tooLarge_ = true;
    reply_->Abort();
}

void DownLoadWork::OnReadyRead() {
    if (reply_ == nullptr || reply_->IsFinished()) return;  // ended by Abort()
    // Read in pieces of one buffer per transfer rather than readAll(): a body arriving faster
    // than it is written would otherwise come as one allocation of megabytes per call, each
    // mapped, faulted in and unmapped again by the allocator, which cost more than the transfer.
    if (buffer_.empty()) buffer_.resize(kReadChunk);
    for (;;) {
        const qint64 got = reply_->Read(buffer_.data(), kReadChunk);
        if (got <= 0 || writeError_ != 0 || tooLarge_) return;
        received_ += got;
        windowReceived_ += got;
        CheckSize(received_);
        if (tooLarge_) return;  // nothing over the limit reaches the disk
        // QFile buffers small writes; a full disk shows up at latest on the next write that
        // needs the buffer flushed, and at the final flush in Finish().
        if (file_.write(buffer_.data(), got) != got) {
            writeError_ = QFileDevice::WriteError;
            reply_->Abort();
            return;
        }
        KeepAlive();
    }
}
