// The updater installs only the files its walk picks up (release::WalkFiles: managed names,
// plain files, no symbolic links, nothing hidden and nothing inside a hidden folder). Anything in
// the release that this walk would not pick up must not go into the manifest: the updater would
// download it on every run and never install it. Its zip reader also has limits of its own:
// stored names up to 259 characters and sizes that fit 32 bits (no Zip64).
#include "release_scan.h"

#include <QDir>
#include <QFileInfo>

#include "release_files.h"
#include "zip_archive.h"

namespace {

// Why the updater cannot install this regular file, or an empty string when it can.
QString FileProblem(const QFileInfo& info, const QString& relativePath) {
    if (release::IsHidden(info)) return QStringLiteral("hidden file; the updater skips hidden entries");
    if (!release::IsManagedName(info.fileName())) {
        return QStringLiteral("no dot in the name; the updater only copies names matching \"%1\"")
            .arg(release::kManagedNameFilter);
    }
    if (relativePath.size() >= kZipMaxPath) {
        return QStringLiteral("path longer than %1 characters; the updater's zip reader refuses it")
            .arg(kZipMaxPath - 1);
    }
    if (info.size() > qint64(0xFFFFFFFEu)) {
        return QStringLiteral("4 GiB or larger; the updater's zip reader has no Zip64 support");
    }
    return QString();
}

void Walk(const QString& folder, const QString& prefix, bool inHiddenFolder, ReleaseScan* scan) {
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& info : entries) {
        const QString relative = prefix + info.fileName();
        // A link is judged before what it points to: isDir() and isFile() look through it.
        if (info.isSymLink()) {
            scan->unsupported.push_back({relative, QStringLiteral("symbolic link; the updater copies regular files only")});
        } else if (info.isDir()) {
            Walk(info.absoluteFilePath(), relative + QLatin1Char('/'), inHiddenFolder || release::IsHidden(info), scan);
        } else if (!info.isFile()) {
            scan->unsupported.push_back({relative, QStringLiteral("not a regular file")});
        } else if (inHiddenFolder) {
            scan->unsupported.push_back({relative, QStringLiteral("inside a hidden folder; the updater does not enter hidden folders")});
        } else {
            const QString problem = FileProblem(info, relative);
            if (!problem.isEmpty()) {
                scan->unsupported.push_back({relative, problem});
            } else {
                scan->files.push_back({relative, info.absoluteFilePath(), info.size()});
                scan->totalBytes += info.size();
            }
        }
    }
}

}  // namespace

ReleaseScan ScanRelease(const QString& root) {
    ReleaseScan scan;
    Walk(QDir(root).absolutePath(), QString(), false, &scan);
    return scan;
}
