// Download lane: the lane's thread runs one libcurl batch for its connections and all its
// transfers. Each transfer is a DownLoadWork made in this thread, so its report arrives here
// directly; it is passed on once, and the next job starts in its place.
#include "download_lane.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <limits>

#include "binary_patch.h"
#include "curl_batch.h"
#include "download_work.h"
#include "free_space.h"
#include "release_files.h"

namespace {

// Room left on the disk beside a rebuilt file: a patch never takes the last of it.
constexpr qint64 kSpareBytes = 64 * 1024 * 1024;

// Applies the patch of job, downloaded to patch, to the installed file it starts from: the file
// the archive would unpack appears at its place in the download folder only once it is whole and
// has the entry's MD5. The patch goes either way. False, with why, when anything fails.
bool RebuildFromPatch(const QString& downloadDir, const DownLoadJob& job, const QString& patch, QString* why) {
    const QString target = downloadDir + *release::KeyOfArchive(job.fileName);
    const QFileInfo place(target);
    const QString building = place.absolutePath() + QStringLiteral("/.") + place.fileName() + QStringLiteral(".rebuilding");
    const qint64 free = platform::FreeBytes(place.absolutePath().toStdString());
    const qint64 room = free < 0 ? std::numeric_limits<qint64>::max() : free - kSpareBytes;
    bool ok = release::ApplyPatch(job.patch->base, patch, building, room, why);
    QFile::remove(patch);
    if (ok) {
        const QString md5 = release::FileMd5(building);
        ok = release::Md5Matches(md5, job.patch->md5);
        if (!ok) *why = QStringLiteral("the file it made has MD5 %1, not %2").arg(md5, job.patch->md5);
    }
    if (ok) {
        QFile::remove(target);
        ok = QFile::rename(building, target);
        if (!ok) *why = QStringLiteral("%1 could not be put in place").arg(target);
    }
    if (!ok) QFile::remove(building);
    return ok;
}

}  // namespace

bool DownLoadQueue::Take(DownLoadJob* job) {
    QMutexLocker lock(&mutex_);
    if (next_ >= jobs_.size()) return false;
    *job = jobs_.at(next_++);
    return true;
}

DownLoadLane::DownLoadLane(const QString& downloadDir, int type, std::shared_ptr<DownLoadQueue> queue)
    : QObject(nullptr), downloadDir_(downloadDir), type_(type), queue_(std::move(queue)) {}

void DownLoadLane::run() {
    CurlBatch batch;
    batch_ = &batch;
    Fill();
    batch.Run([this] { Fill(); });
    done_.clear();
    batch_ = nullptr;
}

void DownLoadLane::Fill() {
    done_.clear();
    DownLoadJob job;
    while (static_cast<int>(live_.size()) < kTransfers && queue_->Take(&job)) Start(job, true);
}

void DownLoadLane::Start(const DownLoadJob& job, bool patch) {
    const bool viaPatch = patch && job.patch;
    if (viaPatch && job.patch->kept) {
        Rebuild(job, 0);
        return;
    }
    auto work = std::make_unique<DownLoadWork>(downloadDir_, type_);
    DownLoadWork* transfer = work.get();
    if (viaPatch) {
        transfer->SetFileName(release::PatchFileName(job.fileName));
        transfer->SetUrl(job.patch->patch.url);
        transfer->SetSizeLimit(job.patch->patch.size);
        transfer->SetExpectedSha256(job.patch->patch.sha256);
    } else {
        transfer->SetFileName(job.fileName);
        transfer->SetUrl(job.url);
        transfer->SetSizeLimit(job.sizeLimit);
        transfer->SetExpectedSha256(job.sha256);
    }
    live_.emplace(transfer, std::move(work));
    // The report comes in this thread, from inside the batch's loop (or from inside Start()
    // when no request went out); the work is kept until the next Fill().
    connect(transfer, &DownLoadWork::workfinished, transfer, [this, transfer, job, viaPatch](int type, int ecode) {
        auto node = live_.extract(transfer);
        done_.push_back(std::move(node.mapped()));
        if (viaPatch) {
            Rebuild(job, ecode);
        } else {
            emit workfinished(type, ecode);
        }
    }, Qt::DirectConnection);
    transfer->Start(batch_);
}

void DownLoadLane::Rebuild(const DownLoadJob& job, int ecode) {
    if (ecode != 0) {
        GiveUpPatch(job, QStringLiteral("its download failed (code %1)").arg(ecode));
        return;
    }
    struct Outcome {
        bool ok = false;
        QString why;
    };
    const auto outcome = std::make_shared<Outcome>();
    const QString downloadDir = downloadDir_;
    batch_->Offload(
        [downloadDir, job, outcome] {
            outcome->ok = RebuildFromPatch(downloadDir, job, downloadDir + release::PatchFileName(job.fileName), &outcome->why);
        },
        [this, job, outcome] {
            if (!outcome->ok) {
                GiveUpPatch(job, outcome->why);
                return;
            }
            qInfo("%s rebuilt from a patch of %s bytes", qUtf8Printable(*release::KeyOfArchive(job.fileName)),
                  qUtf8Printable(QString::number(job.patch->patch.size)));
            emit workfinished(type_, 0);
        });
}

void DownLoadLane::GiveUpPatch(const DownLoadJob& job, const QString& why) {
    QFile::remove(downloadDir_ + release::PatchFileName(job.fileName));
    // A patch only ever saves bytes: the archive, in this run, whatever went wrong.
    qWarning("The patch for %s is not used, %s: fetching the archive", qUtf8Printable(job.fileName), qUtf8Printable(why));
    Start(job, false);
}
