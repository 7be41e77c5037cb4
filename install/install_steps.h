// The two steps that install a downloaded update, shared by the updater and the helper:
// extracting the archives of the download directory, and installing the extracted tree over the
// install root with ".bak" backups and a rollback when anything fails.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

namespace install {

enum class StepResult {
    NothingFound,  // the walk found nothing to work on
    Done,          // everything found was handled
    Failed,        // an archive failed to extract or a file failed to copy
};

// Extraction step. Walks workDir ("*.zip", files only, no symbolic links, recursive, hidden
// entries skipped) and extracts each archive into workDir itself, on every core, removing it
// afterwards. An archive that fails to extract is removed too (it is corrupt; a retry downloads
// it anew) and the step ends with Failed. So does an archive whose items declare more than the
// free space of workDir's file system less a margin (total + 10 % + 64 KiB must be free, beyond
// what archives being extracted at the same time declare): it is refused before anything of it
// is written. A failure does not stop the other archives: every archive found is attempted and
// removed, so what the step leaves behind does not depend on which thread came first. The
// downloaded manifest stays beside the archives: it is never installed (see UnpackedFiles), and
// a later attempt at the same tree checks against it again.
// beforeEach, when set, is called on the calling thread with each archive's canonical path, in
// walk order, before any extraction starts. failures, when given, receives each archive that
// failed (canonical path) with the reason, in the zip engine's words for that archive's own call.
StepResult ExtractArchives(const QString& workDir, const std::function<void(const QString&)>& beforeEach = {},
                           QMap<QString, QString>* failures = nullptr);

// The files of workDir that the replacement step takes: canonical paths of the managed-file walk
// ("*.*", files only, no symbolic links, recursive, hidden entries skipped as release::WalkFiles
// skips them), in walk order, the downloaded manifest and its signature left out.
QStringList UnpackedFiles(const QString& workDir);

// Verification step, between extraction and replacement: which unpacked files may be installed.
// Every file of UnpackedFiles(workDir) must be named by its path below workDir ("/bin/app.dll")
// in expectedMd5 and have that MD5 (hex digits compared ignoring letter case; the digests are
// computed on every core), except files
// listed in leftOut that no entry names (bookkeeping of the programs, never installed); and
// every key of produced (the files the extracted archives stood for) must be among them. On
// success sources gets the files to install; false at the first file that is unnamed or
// differs, or when a produced file is missing: installing then would put files nobody vouched
// for into the install root, or leave part of the update behind.
bool CheckUnpacked(const QString& workDir, const QMap<QString, QString>& expectedMd5, const QSet<QString>& produced,
                   const QSet<QString>& leftOut, QStringList* sources);

struct CopyHooks {
    // Called with each file's canonical path before it is written.
    std::function<void(const QString& source)> beforeCopy;
    // Called after each file is written beside its target (copied) or failed to be; the files
    // go in place together afterwards, and the step's result says whether they did.
    std::function<void(bool copied, const QString& source, const QString& target)> afterCopy;
    // Called once every file is written and on stable storage, before the first is put in place.
    std::function<void()> beforePlacing;
};

// Replacement step. Installs each of sources (files below workDir) at installRoot + its path
// below workDir as spelled (a file not spelled below it fails the step), after renaming a file
// already there to name + ".bak" (an older ".bak" is replaced). NothingFound when sources is empty.
// Every file is first written beside its target under a hidden staging name ("." + name +
// ".installing", which a later run writing the same file takes over), then all of them are
// flushed to stable storage at once, then each is renamed into place, and the folders changed are
// flushed: no file is ever seen half-written under its real name, and on Done every installed
// file and the folders holding them are on stable storage. A target is never written through a
// link on the way to it, and an executable replaced by a file without execute bits keeps its old
// mode. When anything fails, every file this run replaced is restored from its ".bak" and every
// file and folder it created (staging files included) is removed, so the install root is wholly
// the old version again; the step is Failed.
StepResult ReplaceFiles(const QString& workDir, const QString& installRoot, const QStringList& sources,
                        const CopyHooks& hooks = {});
// The same over every file of UnpackedFiles(workDir).
StepResult ReplaceFiles(const QString& workDir, const QString& installRoot, const CopyHooks& hooks = {});

}  // namespace install
