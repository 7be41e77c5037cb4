// Dispatcher: every job becomes one auto-deleted runnable on its pool; each worker's report is
// connected signal-to-signal, so it arrives queued in the thread of this object.
#include "network.h"

#include <QDir>
#include <QThreadPool>

#include "download_work.h"
#include "ergodic_dirs_work.h"
#include "uncompress_work.h"

namespace {

// Threads of the download pool.
constexpr int kDownLoadThreads = 4;

class DownLoadThreads : public QThreadPool {
public:
    DownLoadThreads() { setMaxThreadCount(kDownLoadThreads); }
};

Q_GLOBAL_STATIC(DownLoadThreads, downLoadThreads)

}  // namespace

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

void NetWork::DownLoad(const QMap<QString, QString>& files, int type, const QMap<QString, qint64>& sizeLimits) {
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        auto* work = new DownLoadWork(DownloadDir(), type);
        connect(work, SIGNAL(workfinished(int, int)), this, SIGNAL(workfinished(int, int)));
        work->SetFileName(it.key());
        work->SetUrl(it.value());
        work->SetSizeLimit(sizeLimits.value(it.key(), -1));
        DownLoadPool()->start(work);
    }
}

void NetWork::Ergodic(const ManifestMap& manifest) {
    auto* work = new ErgodicDirsWork(layout_.InstallRoot(), manifest);
    connect(work, SIGNAL(ergodicdirfinished(bool)), this, SIGNAL(ergodicdirfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}

void NetWork::UnCompress(const QMap<QString, QString>& expectedMd5,
                         const std::optional<QMap<QString, QString>>& archiveSha256) {
    auto* work = new UnCompressWork(DownloadDir(), layout_.InstallRoot(), expectedMd5);
    if (archiveSha256) work->RequireArchiveSha256(*archiveSha256);
    connect(work, SIGNAL(uncompressfinished(bool)), this, SIGNAL(uncompressfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}
