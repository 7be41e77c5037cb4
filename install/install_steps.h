// The two steps that install a downloaded update, shared by the updater and the helper:
// extracting the archives of the download directory, and copying the extracted tree over the
// install root with ".bak" backups and a rollback when a copy fails.
#pragma once

#include <QMap>
#include <QString>

#include <functional>

namespace install {

enum class StepResult {
    NothingFound,  // the walk found nothing to work on
    Done,          // everything found was handled
    Failed,        // an archive failed to extract or a file failed to copy
};

// Extraction step. Removes workDir + "/update.json", then walks workDir ("*.zip", files only,
// no symbolic links, recursive, hidden entries skipped) and extracts each archive into workDir
// itself, removing it afterwards. An archive that fails to extract is removed too (it is
// corrupt; a retry downloads it anew) and the step stops with Failed.
// beforeEach, when set, is called with each archive's canonical path before it is extracted.
StepResult ExtractArchives(const QString& workDir, const std::function<void(const QString&)>& beforeEach = {});

// Verification step, between extraction and replacement. Walks workDir as ReplaceFiles does and
// compares the MD5 of each file with expectedMd5[its path below workDir] ("/bin/app.dll" ->
// hex digits, either case). Files without an entry, or whose entry is no 32-digit hex text, are
// not checked. False at the first file that
// differs: an archive whose content is not what the manifest promised would otherwise install
// a file that never matches its entry, and every later run would fetch it again.
bool FilesMatch(const QString& workDir, const QMap<QString, QString>& expectedMd5);

struct CopyHooks {
    // Called with each file's canonical path before it is installed.
    std::function<void(const QString& source)> beforeCopy;
    // Called after each copy with its outcome.
    std::function<void(bool copied, const QString& source, const QString& target)> afterCopy;
};

// Replacement step. Walks workDir ("*.*": names with a dot only; files only, no symbolic links,
// recursive, hidden entries skipped) and copies each file to installRoot + its path below workDir
// as spelled (a file not spelled below it fails the step), after renaming a file already there
// to name + ".bak" (an older ".bak" is replaced).
// When a copy fails, every file this run replaced is restored from its ".bak" and every file it
// created is removed, so the install root is wholly the old version again; the step is Failed.
StepResult ReplaceFiles(const QString& workDir, const QString& installRoot, const CopyHooks& hooks = {});

}  // namespace install
