// ErgodicDirsWork: walks the install root, fingerprints each file with MD5 on every core and lists
// in fetchList the manifest entries whose file is missing or differs, and in fetchPatches those of
// them whose installed file is the older version one of the entry's patches starts from.
#include "ergodic_dirs_work.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <numeric>
#include <vector>

#include "fetch_list.h"
#include "pool_each.h"
#include "release_files.h"

ErgodicDirsWork::ErgodicDirsWork(const QString& root, const ManifestMap& manifest)
    : root_(root), manifest_(manifest) {}

void ErgodicDirsWork::LeaveOut(const QString& folder) { leftOut_.append(QDir::cleanPath(folder) + '/'); }

void ErgodicDirsWork::run() {
    const QString base = QDir(root_).absolutePath();
    localChecksums_.clear();

    // First the listing, in walk order, then on every core each file's canonical path and hash.
    // Results are put into the map in walk order afterwards, so which file wins a shared key (the
    // later one, as in a one-thread walk) does not depend on which thread finished first. The
    // canonical path costs a system call per folder on the way; made in the jobs, it no longer
    // holds back the start of the hashing.
    struct Listed {
        QString path;  // as listed
        qint64 size;
        QString name;  // archive name the file is kept under; empty when it vanished
        QString md5;
    };
    std::vector<Listed> files;
    for (const QFileInfo& info : release::WalkFiles(root_)) {
        const QString clean = QDir::cleanPath(info.filePath());
        if (std::any_of(leftOut_.cbegin(), leftOut_.cend(), [&](const QString& out) { return clean.startsWith(out); })) {
            continue;
        }
        files.push_back({info.filePath(), info.size(), {}, {}});
    }

    // Largest first: a file much larger than the rest then starts at once instead of being
    // hashed alone at the end while the other cores idle. Each thread streams one file at a
    // time through a 256 KiB buffer, so memory does not grow with file size or core count.
    std::vector<int> bySize(files.size());
    std::iota(bySize.begin(), bySize.end(), 0);
    std::stable_sort(bySize.begin(), bySize.end(),
                     [&files](int a, int b) { return files[a].size > files[b].size; });
    release::PoolEach(static_cast<int>(files.size()), [&](int i) {
        Listed& file = files[bySize[i]];
        const QString path = QFileInfo(file.path).canonicalFilePath();
        if (path.isEmpty()) return;  // vanished since it was listed
        // A path not spelled below the root (another letter case, reached through a link) keeps
        // its full path as key and so matches no manifest entry.
        const QString key = release::FileKey(path, base);
        file.name = release::ArchiveName(key.isEmpty() ? path : key);
        // An unreadable file gets no MD5, differs from its entry and is fetched again.
        file.md5 = release::FileMd5(path);
    });
    QMap<QString, QString> localPaths;
    for (const Listed& file : files) {
        if (file.name.isEmpty()) continue;
        localChecksums_.insert(file.name, file.md5);
        localPaths.insert(file.name, file.path);
    }

    fetchList.clear();
    fetchPatches.clear();
    if (manifest_.isEmpty()) {
        emit ergodicdirfinished(false);
        return;
    }
    for (auto entry = manifest_.cbegin(); entry != manifest_.cend(); ++entry) {
        const auto local = localChecksums_.constFind(entry.key());
        if (local == localChecksums_.cend() || !release::Md5Matches(local.value(), entry.value().md5)) {
            fetchList.insert(entry.key(), entry.value().url);
            // The installed file is an older version a patch starts from: the patch comes first.
            if (local == localChecksums_.cend()) continue;
            for (const PatchEntry& patch : entry.value().patches) {
                if (!release::Md5Matches(local.value(), patch.from)) continue;
                fetchPatches.insert(entry.key(), {patch, localPaths.value(entry.key()), entry.value().md5});
                break;
            }
        }
    }
    emit ergodicdirfinished(!fetchList.isEmpty());
}
