// UnCompressWork (updater): both steps of the shared installation, in order, on a pool thread;
// one report per run.
#include "uncompress_work.h"

UnCompressWork::UnCompressWork(const QString& workDir, const QString& installRoot,
                               const QMap<QString, QString>& expectedMd5)
    : QObject(nullptr), installation_(workDir, installRoot, expectedMd5) {
    setAutoDelete(true);
}

UnCompressWork::UnCompressWork(const install::Installation& installation)
    : QObject(nullptr), installation_(installation) {
    setAutoDelete(true);
}

void UnCompressWork::run() {
    UnCompressFiles();
    ReplaceAppFiles();
    emit uncompressfinished(installation_.Succeeded());
}

bool UnCompressWork::UnCompressFiles() { return installation_.Unpack() == install::StepResult::Done; }

bool UnCompressWork::ReplaceAppFiles() { return installation_.Replace() == install::StepResult::Done; }
