// The order of the steps and the gate between them live here once; the steps themselves are in
// install_steps.cpp.
#include "install_pipeline.h"

#include <QFile>

#include "file_removal.h"
#include "manifest.h"
#include "release_files.h"
#include "release_signature.h"

namespace install {

Installation::Installation(const QString& downloadDir, const QString& installRoot,
                           const QMap<QString, QString>& expectedMd5)
    : downloadDir_(downloadDir), installRoot_(installRoot), expectedMd5_(expectedMd5) {}

namespace {

// Whether every archive below downloadDir (the walk ExtractArchives takes) is named in
// archiveSha256 with its SHA-256. The MD5 checks after extraction could be met by a file an
// attacker chose; the SHA-256 comes from the signed manifest, and is checked before the
// archive's bytes reach the zip reader at all.
bool ArchivesMatchSha256(const QString& downloadDir, const QMap<QString, QString>& archiveSha256) {
    for (const QFileInfo& info : release::WalkFiles(downloadDir, release::kArchiveNameFilter)) {
        const QString archive = info.canonicalFilePath();
        const QString expected = archiveSha256.value(release::FileKey(archive, downloadDir));
        if (expected.isEmpty() || release::FileSha256(archive).compare(expected, Qt::CaseInsensitive) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

StepResult Installation::Unpack(const std::function<void(const QString&)>& beforeEach) {
    if (sha256Required_ && !ArchivesMatchSha256(downloadDir_, archiveSha256_)) {
        unpacked_ = StepResult::Failed;
        return unpacked_;
    }
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
        QFile::remove(downloadDir_ + kSignatureKey);
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
