// Dispatcher: every job becomes one auto-deleted runnable on the global pool; each worker's
// report is connected signal-to-signal, so it arrives queued in the thread of this object.
#include "network.h"

#include <QCoreApplication>
#include <QDir>
#include <QThreadPool>

#include "download_work.h"
#include "ergodic_dirs_work.h"
#include "uncompress_work.h"
#include "update_paths.h"

NetWork::NetWork() : QObject(nullptr) {}

NetWork::~NetWork() { QThreadPool::globalInstance()->waitForDone(-1); }

void NetWork::SetDir(const QString& name) {
    dirName_ = name;
    QDir().mkpath(QCoreApplication::applicationDirPath() + "/" + name);
}

void NetWork::DownLoad(const QMap<QString, QString>& files, int type) {
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        auto* work = new DownLoadWork(dirName_, type);
        connect(work, SIGNAL(workfinished(int, int)), this, SIGNAL(workfinished(int, int)));
        work->SetFileName(it.key());
        work->SetUrl(it.value());
        QThreadPool::globalInstance()->start(work, 0);
    }
}

void NetWork::Ergodic(const ManifestMap& manifest) {
    auto* work = new ErgodicDirsWork(UpdatePaths::InstallRoot(), manifest);
    connect(work, SIGNAL(ergodicdirfinished(bool)), this, SIGNAL(ergodicdirfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}

void NetWork::UnCompress(const QMap<QString, QString>& expectedMd5) {
    auto* work = new UnCompressWork(QCoreApplication::applicationDirPath() + "/" + dirName_, expectedMd5);
    connect(work, SIGNAL(uncompressfinished(bool)), this, SIGNAL(uncompressfinished(bool)));
    QThreadPool::globalInstance()->start(work);
}
