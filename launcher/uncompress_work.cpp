// UnCompressWork (helper): the extraction step shared with the updater, with one debug message
// per archive. Unlike the updater's worker it never installs anything itself.
#include "uncompress_work.h"

#include <QDebug>

UnCompressWork::UnCompressWork(const QString& workDir) : QObject(nullptr), workDir_(workDir) {
    setAutoDelete(true);
}

void UnCompressWork::run() {
    // No archive at all is no failure: the download directory may already hold an unpacked
    // tree (an earlier run whose copy failed), and the helper installs it.
    if (Extract() == install::StepResult::Failed) emit extractfailed();
    emit uncompressfinished();
}

bool UnCompressWork::UnCompressFiles() { return Extract() == install::StepResult::Done; }

install::StepResult UnCompressWork::Extract() {
    return install::ExtractArchives(workDir_, [](const QString& archive) { qDebug() << "path:" << archive; });
}
