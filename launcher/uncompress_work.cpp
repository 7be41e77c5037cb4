// UnCompressWork (helper): the extraction step of the shared installation, with one debug
// message per archive. Unlike the updater's worker it never installs anything itself.
#include "uncompress_work.h"

#include <QDebug>

UnCompressWork::UnCompressWork(const QString& workDir, install::Installation& installation)
    : QObject(nullptr), workDir_(workDir), installation_(installation) {
    setAutoDelete(true);
}

void UnCompressWork::run() {
    // No archive at all is no failure: the download directory may already hold an unpacked
    // tree (an earlier run whose copy failed), and the helper installs it. A failed extraction
    // is remembered by the installation, which then refuses to install.
    UnCompressFiles();
    emit uncompressfinished();
}

bool UnCompressWork::UnCompressFiles() {
    const auto logArchive = [](const QString& archive) { qDebug() << "path:" << archive; };
    return installation_.Unpack(logArchive) == install::StepResult::Done;
}
