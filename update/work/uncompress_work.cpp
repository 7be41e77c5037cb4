// UnCompressWork (updater): unpacks the downloaded archives into the download directory, then
// installs the unpacked tree over the install root; one report per run.
#include "uncompress_work.h"

#include "install_steps.h"

UnCompressWork::UnCompressWork(const QString& workDir, const QString& installRoot,
                               const QMap<QString, QString>& expectedMd5)
    : QObject(nullptr), workDir_(workDir), installRoot_(installRoot), expectedMd5_(expectedMd5) {
    setAutoDelete(true);
}

void UnCompressWork::run() {
    const install::StepResult extracted = install::ExtractArchives(workDir_);
    // Installing after a failed extraction would mix files of two versions.
    // So would installing a file whose content the manifest does not vouch for; nothing of the
    // install root has changed yet, and a retry walks and downloads afresh.
    if (extracted == install::StepResult::Failed || !install::FilesMatch(workDir_, expectedMd5_)) {
        emit uncompressfinished(false);
        return;
    }
    const install::StepResult replaced = install::ReplaceFiles(workDir_, installRoot_);
    const bool ok = replaced != install::StepResult::Failed &&
                    (extracted == install::StepResult::Done || replaced == install::StepResult::Done);
    emit uncompressfinished(ok);
}

bool UnCompressWork::UnCompressFiles() { return install::ExtractArchives(workDir_) == install::StepResult::Done; }

bool UnCompressWork::ReplaceAppFiles() {
    return install::ReplaceFiles(workDir_, installRoot_) == install::StepResult::Done;
}
