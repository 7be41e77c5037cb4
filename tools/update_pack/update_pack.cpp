// The order of a run matters: every check that can refuse the request comes before the first
// byte is written, the archives come before update.json (a manifest must never name an archive
// that is not there yet), and the service answer, which announces the release, comes after the
// release is in place.
#include "update_pack.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

#include "binary_patch.h"
#include "download_urls.h"
#include "file_archive.h"
#include "manifest.h"
#include "pack_progress.h"
#include "pool_each.h"
#include "release_files.h"
#include "release_keys.h"
#include "release_signature.h"
#include "release_scan.h"
#include "staged_output.h"

namespace {

void Say(const QString& text) {
    std::fputs((QStringLiteral("update-pack: ") + text + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

int Fail(const QString& text) {
    Say(QStringLiteral("error: ") + text);
    return 1;
}

bool WriteWhole(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// The canonical form of a path that may not exist yet: its nearest existing ancestor resolved
// (links and all), the rest appended as written.
QString ResolvedPath(const QString& path) {
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        if (info.absolutePath() == existing) break;
        rest = QLatin1Char('/') + info.fileName() + rest;
        existing = info.absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool IsSameOrInside(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

// Refusals that need no file system work beyond looking.
bool CheckRequest(const PackRequest& request, QString* error) {
    const QFileInfo tree(request.tree);
    if (!tree.isDir()) {
        *error = QStringLiteral("the release tree %1 is not a folder").arg(request.tree);
        return false;
    }
    const QString treePath = tree.canonicalFilePath();
    const QString outputPath = ResolvedPath(request.output);
    if (IsSameOrInside(outputPath, treePath)) {
        *error = QStringLiteral("the output %1 lies inside the release tree %2").arg(request.output, request.tree);
        return false;
    }
    // With --replace the old output is deleted, and the tree with it.
    if (IsSameOrInside(treePath, outputPath)) {
        *error = QStringLiteral("the release tree %1 lies inside the output %2").arg(request.tree, request.output);
        return false;
    }
    if (!request.serviceAnswer.isEmpty()) {
        if (IsSameOrInside(ResolvedPath(request.serviceAnswer), treePath)) {
            *error = QStringLiteral("the service answer %1 lies inside the release tree").arg(request.serviceAnswer);
            return false;
        }
        if (QFileInfo(request.serviceAnswer).isDir()) {
            *error = QStringLiteral("the service answer %1 is a folder").arg(request.serviceAnswer);
            return false;
        }
    }
    return true;
}

// A patch is published only when it saves at least this share of its archive's bytes: below
// that, one more file to fetch and apply gains too little.
constexpr double kLargestPatchShare = 0.6;

// One patch to try: the release file at index file, made from an older version of it.
struct PatchCandidate {
    int file;
    QString oldPath;
    QString fromMd5;
};

// The patches of the release: for each file and each older tree holding a file at the same path
// with other content (each content once), a patch beside the archive ("/bin/a.dll" against MD5
// m: "/bin/a.dll.<m>.patch"), kept and added to the entry when it is small enough. Made on every
// core. False, with error, when a file cannot be read or written.
bool AddPatches(const QVector<ReleaseFile>& files, const QStringList& oldTrees, const QString& outputPath,
                const QString& base, PackProgress* progress, QVector<ManifestEntry>* manifest, QString* error) {
    QVector<PatchCandidate> found;
    for (int i = 0; i < files.size(); ++i) {
        for (const QString& tree : oldTrees) {
            const QFileInfo old(tree + QLatin1Char('/') + files.at(i).relativePath);
            if (old.isFile() && !old.isSymLink()) found.push_back({i, old.absoluteFilePath(), QString()});
        }
    }
    QMutex mutex;
    release::PoolEach(found.size(), [&](int i) {
        QString readError;
        found[i].fromMd5 = release::FileMd5(found.at(i).oldPath, &readError);
        QMutexLocker lock(&mutex);
        if (found.at(i).fromMd5.isEmpty() && error->isEmpty()) *error = QStringLiteral("cannot read %1: %2").arg(found.at(i).oldPath, readError);
    });
    if (!error->isEmpty()) return false;
    QVector<PatchCandidate> candidates;
    QSet<QString> seen;
    for (const PatchCandidate& candidate : found) {
        const ManifestEntry& entry = manifest->at(candidate.file);
        const QString seenKey = entry.name + QLatin1Char(' ') + candidate.fromMd5;
        if (candidate.fromMd5 == entry.md5 || seen.contains(seenKey)) continue;  // unchanged, or done
        seen.insert(seenKey);
        candidates.push_back(candidate);
    }
    progress->BeginPatches(candidates.size());
    QVector<PatchEntry> made(candidates.size());
    release::PoolEach(candidates.size(), [&](int i) {
        const PatchCandidate& candidate = candidates.at(i);
        const ManifestEntry& entry = manifest->at(candidate.file);
        const QString name = *release::KeyOfArchive(entry.name) + QLatin1Char('.') + candidate.fromMd5 + QStringLiteral(".patch");
        const QString path = outputPath + name;
        QString problem;
        bool written = release::MakePatch(candidate.oldPath, files.at(candidate.file).absolutePath, path, &problem);
        const qint64 bytes = QFileInfo(path).size();
        if (written && bytes <= entry.size * kLargestPatchShare) {
            const QString sha256 = release::FileSha256(path, &problem);
            written = !sha256.isEmpty();
            if (written) made[i] = {candidate.fromMd5, ArchiveUrl(base, name), bytes, sha256};
        } else if (written) {
            QFile::remove(path);
        }
        progress->PatchDone(made.at(i).size, entry.size);
        QMutexLocker lock(&mutex);
        if (!written && error->isEmpty()) *error = problem;
    });
    if (!error->isEmpty()) return false;
    for (int i = 0; i < candidates.size(); ++i) {
        if (made.at(i).size >= 0) (*manifest)[candidates.at(i).file].patches.push_back(made.at(i));
    }
    return true;
}

}  // namespace

int RunPack(const PackRequest& request) {
    QString error;
    const QString base = NormaliseBaseUrl(request.baseUrl, &error);
    if (base.isEmpty()) return Fail(error);
    if (!CheckRequest(request, &error)) return Fail(error);
    QByteArray secretKey;
    if (!request.signKey.isEmpty() && !ReadSecretKey(request.signKey, &secretKey, &error)) return Fail(error);

    const ReleaseScan scan = ScanRelease(request.tree);
    for (const UnsupportedFile& file : scan.unsupported) {
        Say(QStringLiteral("warning: %1: %2").arg(file.relativePath, file.reason));
    }
    if (!scan.unsupported.isEmpty()) {
        if (!request.skipUnsupported) {
            return Fail(QStringLiteral("%1 file(s) above cannot be installed by the updater; rename or remove "
                                       "them, or pass --skip-unsupported to publish without them")
                            .arg(scan.unsupported.size()));
        }
        Say(QStringLiteral("leaving %1 file(s) out of the manifest").arg(scan.unsupported.size()));
    }
    for (const QString& tree : request.patchFrom) {
        if (!QFileInfo(tree).isDir()) return Fail(QStringLiteral("the older release tree %1 is not a folder").arg(tree));
    }
    if (scan.files.isEmpty()) {
        return Fail(QStringLiteral("the release tree %1 holds no file to publish").arg(request.tree));
    }
    // The updaters would refuse the manifest: installing the one would put the other's old
    // version in its place.
    QStringList keys;
    for (const ReleaseFile& file : scan.files) keys.append("/" + file.relativePath);
    if (const auto clash = release::BackupClash(keys)) {
        return Fail(QStringLiteral("the release holds both %1 and %2: the backup the updater keeps of the first "
                                   "would replace the second; rename or remove one")
                        .arg(clash->first.mid(1), clash->second.mid(1)));
    }

    StagedOutput output(request.output, request.replace);
    if (!output.Begin(&error)) return Fail(error);

    PackProgress progress(scan.files.size(), scan.totalBytes, request.quiet);
    QVector<ManifestEntry> manifest;
    for (const ReleaseFile& file : scan.files) {
        const QString name = release::ArchiveName(QLatin1Char('/') + file.relativePath);
        const QString archive = output.Path() + name;
        QString readError;
        const QString md5 = release::FileMd5(file.absolutePath, &readError);
        if (md5.isEmpty()) error = QStringLiteral("cannot read %1: %2").arg(file.absolutePath, readError);
        const bool packed = !md5.isEmpty() && QDir().mkpath(QFileInfo(archive).absolutePath()) &&
                            WriteFileArchive(file.absolutePath, file.relativePath, archive, &error) &&
                            CheckFileArchive(archive, file.relativePath, md5, &error);
        if (!packed) {
            progress.Break();
            return Fail(error.isEmpty() ? QStringLiteral("cannot create a folder for %1").arg(archive) : error);
        }
        const QString sha256 = release::FileSha256(archive, &readError);
        if (sha256.isEmpty()) {
            progress.Break();
            return Fail(QStringLiteral("cannot read %1: %2").arg(archive, readError));
        }
        const qint64 archiveBytes = QFileInfo(archive).size();
        manifest.push_back({name, md5, ArchiveUrl(base, name), sha256, archiveBytes});
        progress.FileDone(file.size, archiveBytes);
    }

    if (!request.patchFrom.isEmpty() &&
        !AddPatches(scan.files, request.patchFrom, output.Path(), base, &progress, &manifest, &error)) {
        progress.Break();
        return Fail(error);
    }

    const ManifestTexts texts{request.version, request.description, request.date};
    const QByteArray manifestText = ManifestJson(texts, manifest);
    if (!WriteWhole(output.Path() + kManifestKey, manifestText, &error) ||
        (!secretKey.isEmpty() &&
         !WriteWhole(output.Path() + kSignatureKey, release::Sign(manifestText, secretKey), &error))) {
        progress.Break();
        return Fail(error);
    }
    QString warning;
    if (!output.Commit(&error, &warning)) {
        progress.Break();
        return Fail(error);
    }
    progress.Finish(QDir(request.output).absolutePath());
    if (!warning.isEmpty()) Say(QStringLiteral("warning: ") + warning);

    if (!request.serviceAnswer.isEmpty()) {
        const QString folder = QFileInfo(request.serviceAnswer).absolutePath();
        if (!QDir().mkpath(folder) ||
            !WriteWhole(request.serviceAnswer, VersionAnswerJson({true, base + kManifestKey, request.force}), &error)) {
            return Fail(QStringLiteral("the release is in place, but %1").arg(error.isEmpty() ? folder : error));
        }
    }
    return 0;
}
