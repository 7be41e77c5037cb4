// ErgodicDirsWork: walks the install root, fingerprints each file with MD5 and lists in fetchList
// the manifest entries whose file is missing or differs.
#include "ergodic_dirs_work.h"

#include <QDir>
#include <QFileInfo>

#include "fetch_list.h"
#include "release_files.h"

ErgodicDirsWork::ErgodicDirsWork(const QString& root, const ManifestMap& manifest)
    : root_(root), manifest_(manifest) {}

void ErgodicDirsWork::run() {
    const QString base = QDir(root_).absolutePath();
    localChecksums_.clear();

    QDirIterator it = release::WalkFiles(root_);
    while (it.hasNext()) {
        it.next();
        const QString path = it.fileInfo().canonicalFilePath();
        if (path.isEmpty()) continue;  // vanished since it was listed
        // A path not spelled below the root (another letter case, reached through a link) keeps
        // its full path as key and so matches no manifest entry.
        const QString key = release::FileKey(path, base);
        // An unreadable file gets no MD5, differs from its entry and is fetched again.
        localChecksums_.insert(release::ArchiveName(key.isEmpty() ? path : key), release::FileMd5(path));
    }

    fetchList.clear();
    if (manifest_.isEmpty()) {
        emit ergodicdirfinished(false);
        return;
    }
    for (auto entry = manifest_.cbegin(); entry != manifest_.cend(); ++entry) {
        const auto local = localChecksums_.constFind(entry.key());
        if (local == localChecksums_.cend() || !release::Md5Matches(local.value(), entry.value().md5)) {
            fetchList.insert(entry.key(), entry.value().url);
        }
    }
    emit ergodicdirfinished(!fetchList.isEmpty());
}
