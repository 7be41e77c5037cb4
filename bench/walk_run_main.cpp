// Benchmark helper: runs the updater's file walk once, on the global thread pool as the updater
// does, over a root against a manifest file. Exit 0 when nothing is to fetch, 3 otherwise.
#include <QCoreApplication>
#include <QThreadPool>

#include <cstdio>

#include "ergodic_dirs_work.h"
#include "fetch_list.h"
#include "manifest.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: walk_run ROOT MANIFEST\n");
        return 2;
    }
    ManifestTexts texts;
    ManifestMap files;
    if (!ReadManifest(QString::fromLocal8Bit(argv[2]), &texts, &files)) {
        std::fprintf(stderr, "walk_run: %s is not a manifest\n", argv[2]);
        return 2;
    }

    bool finish = false;
    auto* work = new ErgodicDirsWork(QString::fromLocal8Bit(argv[1]), files);
    QObject::connect(
        work, &ErgodicDirsWork::ergodicdirfinished, &app,
        [&](bool result) {
            finish = result;
            app.quit();
        },
        Qt::QueuedConnection);
    QThreadPool::globalInstance()->start(work);
    app.exec();

    if (!finish) return 0;
    std::fprintf(stderr, "walk_run: %d of %d entries differ, first %s\n", fetchList.size(),
                 files.size(), qPrintable(fetchList.firstKey()));
    return 3;
}
