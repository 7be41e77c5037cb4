// ErgodicDirsWork: walks the install root, fingerprints each file with MD5 and lists in fetchList
// the manifest entries whose file is missing or differs.
#include "ergodic_dirs_work.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "fetch_list.h"

namespace {

// Bytes read per system call while hashing: large enough that the calls cost little next to
// MD5 itself, small enough to stay in the CPU cache between read and hash.
constexpr int kReadChunk = 64 * 1024;

// Lower-case hex MD5 of the file's bytes. The file is streamed through the hash in chunks, so
// memory use does not depend on its size; it is opened unbuffered because QFile's own buffer
// would only add a copy. A file that cannot be opened or read to the end fingerprints as empty
// content: it then differs from its manifest entry and is fetched again.
QString FileMd5(const QString& path, QByteArray* buffer) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qint64 got;
        while ((got = file.read(buffer->data(), buffer->size())) > 0) {
            hash.addData(buffer->constData(), static_cast<int>(got));
        }
        if (got < 0) hash.reset();
    }
    return QString::fromLatin1(hash.result().toHex());
}

// Manifest key of a file: its path below the install root, starting with "/", plus ".zip".
// Only a leading base is removed, and only at a folder boundary (case-sensitive). A path that
// does not start with the root as spelled (another letter case, reached through a link) keeps
// its full path and so matches no manifest entry.
QString KeyFor(const QString& canonicalPath, const QString& base) {
    QString relative = canonicalPath;
    if (base.endsWith(QLatin1Char('/'))) {
        // A file system or drive root ("/", "C:/"): keep the "/" that starts the relative path.
        if (canonicalPath.startsWith(base)) relative = canonicalPath.mid(base.size() - 1);
    } else if (canonicalPath.size() > base.size() && canonicalPath.startsWith(base) &&
               canonicalPath.at(base.size()) == QLatin1Char('/')) {
        relative = canonicalPath.mid(base.size());
    }
    return relative + QStringLiteral(".zip");
}

}  // namespace

ErgodicDirsWork::ErgodicDirsWork(const QString& root, const ManifestMap& manifest)
    : root_(root), manifest_(manifest) {}

void ErgodicDirsWork::run() {
    const QString base = QDir(root_).absolutePath();
    localChecksums_.clear();
    QByteArray buffer(kReadChunk, Qt::Uninitialized);

    // "*.*" asks for a dot in the file name; QDir name filters ignore letter case unless
    // QDir::CaseSensitive is given. Without QDir::Hidden, hidden files are not listed and hidden
    // folders are not entered; without QDir::System, FIFOs, sockets and devices are not listed,
    // so the walk never blocks on opening one.
    QDirIterator it(root_, {QStringLiteral("*.*")}, QDir::Files | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString path = it.fileInfo().canonicalFilePath();
        if (path.isEmpty()) continue;  // vanished since it was listed
        localChecksums_.insert(KeyFor(path, base), FileMd5(path, &buffer));
    }

    fetchList.clear();
    if (manifest_.isEmpty()) {
        emit ergodicdirfinished(false);
        return;
    }
    for (auto entry = manifest_.cbegin(); entry != manifest_.cend(); ++entry) {
        const auto local = localChecksums_.constFind(entry.key());
        if (local == localChecksums_.cend() || local.value() != entry.value().md5) {
            fetchList.insert(entry.key(), entry.value().url);
        }
    }
    emit ergodicdirfinished(!fetchList.isEmpty());
}
