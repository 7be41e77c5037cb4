// The order of the steps and the gate between them live here once; the steps themselves are in
// install_steps.cpp.
#include "install_pipeline.h"

#include <QFile>

#include "file_removal.h"
#include "manifest.h"
#include "release_files.h"

namespace install {

Installation::Installation(const QString& downloadDir, const QString& installRoot,
                           const QMap<QString, QString>& expectedMd5)
    : downloadDir_(downloadDir), installRoot_(installRoot), expectedMd5_(expectedMd5) {}

StepResult Installation::Unpack(const std::function<void(const QString&)>& beforeEach) {
    unpacked_ = ExtractArchives(downloadDir_, [this, &beforeEach](const QString& archive) {
        // An archive below the directory as spelled stands for its key without ".zip"; any
        // other is named by no entry and stands for a key no file can have.
        produced_.insert(release::KeyOfArchive(release::FileKey(archive, downloadDir_)).value_or(archive));
        if (beforeEach) beforeEach(archive);
    });
    return unpacked_;
}

bool Installation::Verify() {
    const bool ok = CheckUnpacked(downloadDir_, expectedMd5_, produced_, leftOut_, &sources_);
    check_ = ok ? Check::Matched : Check::Differs;
    return ok;
}

StepResult Installation::Replace(const CopyHooks& hooks) {
    replaceRan_ = true;
    // A failed extraction leaves the files of that archive missing (the broken archive is gone);
    // installing the rest would mix two versions. Nothing of the install root has changed yet,
    // and a retry walks and downloads afresh.
    if (check_ == Check::NotRun && unpacked_ != StepResult::Failed) Verify();
    refused_ = unpacked_ == StepResult::Failed || check_ != Check::Matched;
    replaced_ = refused_ ? StepResult::Failed : ReplaceFiles(downloadDir_, installRoot_, sources_, hooks);
    if (replaced_ != StepResult::Failed) {
        for (const QString& source : sources_) platform::RemoveFile(source);
        QFile::remove(downloadDir_ + kManifestKey);
    }
    return replaced_;
}

bool Installation::Run() {
    Unpack();
    Replace();
    return Succeeded();
}

bool Installation::Succeeded() const {
    return replaceRan_ && replaced_ != StepResult::Failed &&
           (unpacked_ == StepResult::Done || replaced_ == StepResult::Done);
}

}  // namespace install
