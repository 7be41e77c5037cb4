// Dispatcher: the walk and the unpack become one auto-deleted runnable each on the global pool, a
// download batch one to kDownLoadLanes lanes on the download pool. Each report is connected
// signal-to-signal, so it arrives queued in the thread of this object.
#include "network.h"

#include <QDir>
#include <QThreadPool>
#include <QVector>

#include <memory>

#include "download_lane.h"
#include "download_work.h"
#include "ergodic_dirs_work.h"
#include "uncompress_work.h"

namespace {

// Lanes of one batch: with DownLoadLane::kTransfers each, eight transfers in flight, whatever the
// number of cores. Each lane has a client and so a set of connections of its own.
constexpr int kDownLoadLanes = 2;
// Threads of the download pool: room for the lanes of a second batch, which would otherwise wait
// for the first to end.
constexpr int kDownLoadThreads = 2 * kDownLoadLanes;

class DownLoadThreads : public QThreadPool {
public:
    DownLoadThreads() { setMaxThreadCount(kDownLoadThreads); }
};

}  // namespace

Q_GLOBAL_STATIC(DownLoadThreads, downLoadThreads)

NetWork::NetWork(const UpdateLayout& layout) : QObject(nullptr), layout_(layout) {}

NetWork::~NetWork() {
    DownLoadPool()->waitForDone(-1);
    QThreadPool::globalInstance()->waitForDone(-1);
}

QThreadPool* NetWork::DownLoadPool() { return downLoadThreads(); }

void NetWork::SetDir(const QString& name) {
    dirName_ = name;
    QDir().mkpath(DownloadDir());
}

QString NetWork::DownloadDir() const { return layout_.ProgramFolder(dirName_); }

void NetWork::DownLoad(const QMap<QString, QString>& files, int type, const QMap<QString, qint64>& sizeLimits,
                       const QMap<QString, QString>& sha256s, const QMap<QString, FetchPatch>& patches) {
    QVector<DownLoadJob> jobs;
    jobs.reserve(files.size());
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        DownLoadJob job{it.key(), it.value(), sizeLimits.value(it.key(), -1), sha256s.value(it.key())};
        const auto patch = patches.constFind(it.key());
        if (patch != patches.cend()) job.patch = patch.value();
        jobs.append(job);
    }
    // A small batch does not need a second set of connections.
    const int lanes = qMin(kDownLoadLanes, (jobs.size() + DownLoadLane::kTransfers - 1) / DownLoadLane::kTransfers);
    const auto queue = std::make_shared<DownLoadQueue>(std::move(jobs));
    for (int i = 0; i < lanes; ++i) {
        auto* lane = new DownLoadLane(DownloadDir(), type, queue);
        connect(lane, SIGNAL(workfinished(int, int)), this, SIGNAL(workfinished(int, int)));
        DownLoadPool()->start(lane);
    }
}

void NetWork::Ergodic(const ManifestMap& manifest) {
    auto* work = new ErgodicDirsWork(layout_.InstallRoot(), manifest);
    work->LeaveOut(layout_.LogDir());
    connect(work, SIGNAL(ergodicdirfinished(bool)), this, SIGNAL(ergodicdirfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}

void NetWork::Keep(const install::PendingUpdate& pending, const ManifestMap& files,
                   const QMap<QString, QString>& fetch) {
    QThreadPool::globalInstance()->start(QRunnable::create([this, pending, files, fetch] {
        QStringList complete;
        const bool ok = pending.Keep(files, fetch, &complete);
        emit keepfinished(ok, complete);
    }));
}

void NetWork::UnCompress(const QMap<QString, QString>& expectedMd5,
                         const std::optional<QMap<QString, QString>>& archiveSha256) {
    install::Installation installation(DownloadDir(), layout_.InstallRoot(), expectedMd5);
    if (archiveSha256) installation.RequireArchiveSha256(*archiveSha256);
    UnCompress(installation);
}

void NetWork::UnCompress(const install::Installation& installation) {
    auto* work = new UnCompressWork(installation);
    connect(work, SIGNAL(uncompressfinished(bool)), this, SIGNAL(uncompressfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}
