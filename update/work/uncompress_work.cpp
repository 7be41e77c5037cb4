// UnCompressWork (updater): unpacks the downloaded archives into the download directory, then
// installs the unpacked tree over the install root; one report per run.
#include "uncompress_work.h"

#include "install_steps.h"
#include "update_paths.h"

UnCompressWork::UnCompressWork(const QString& workDir) : QObject(nullptr), workDir_(workDir) {
    setAutoDelete(true);
}

void UnCompressWork::run() {
    const install::StepResult extracted = install::ExtractArchives(workDir_);
    // Installing after a failed extraction would mix files of two versions.
    if (extracted == install::StepResult::Failed) {
        emit uncompressfinished(false);
        return;
    }
    const install::StepResult replaced = install::ReplaceFiles(workDir_, UpdatePaths::InstallRoot());
    const bool ok = replaced != install::StepResult::Failed &&
                    (extracted == install::StepResult::Done || replaced == install::StepResult::Done);
    emit uncompressfinished(ok);
}

bool UnCompressWork::UnCompressFiles() { return install::ExtractArchives(workDir_) == install::StepResult::Done; }

bool UnCompressWork::ReplaceAppFiles() {
    return install::ReplaceFiles(workDir_, UpdatePaths::InstallRoot()) == install::StepResult::Done;
}
