// The file rules. The walk lists each folder once through QDir's filters, so that it never opens
// what it does not list, and applies IsHiddenToTheWalk itself; IsManagedName states the same rule
// for code that sorts entries itself.
#include "release_files.h"

#include "md5.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QRegularExpression>

namespace release {

namespace {

const QString kArchiveSuffix = QStringLiteral(".zip");

// Bytes read per system call while hashing: large enough that the calls cost little next to
// MD5 itself (a third fewer system-call seconds than 64 KiB over 1 GiB), small enough to stay
// in the CPU cache between read and hash.
constexpr int kReadChunk = 256 * 1024;

}  // namespace

bool IsManagedName(const QString& fileName) { return QDir::match(kManagedNameFilter, fileName); }

bool IsHiddenToTheWalk(const QFileInfo& info) { return info.fileName().startsWith(QLatin1Char('.')); }

bool IsHidden(const QFileInfo& info) { return IsHiddenToTheWalk(info) || info.isHidden(); }

namespace {

// One folder's entries in one listing: the files that pass the filters, then the same for each
// subfolder. Without QDir::System, FIFOs, sockets and devices are not listed; NoSymLinks leaves
// out links to files and to folders alike, so a link is neither read nor entered. QDir::Hidden
// lists what Windows marks hidden (an archive may give its file that mark); names with a leading
// dot are left out here instead, the same on every platform.
void Walk(const QString& folder, const QString& nameFilter, QFileInfoList* files) {
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden, QDir::NoSort);
    QFileInfoList folders;
    for (const QFileInfo& entry : entries) {
        if (IsHiddenToTheWalk(entry)) continue;
        if (entry.isDir()) {
            folders.append(entry);
        } else if (QDir::match(nameFilter, entry.fileName())) {
            files->append(entry);
        }
    }
    for (const QFileInfo& sub : folders) Walk(sub.filePath(), nameFilter, files);
}

}  // namespace

QFileInfoList WalkFiles(const QString& folder, const QString& nameFilter) {
    QFileInfoList files;
    Walk(folder, nameFilter, &files);
    return files;
}

QString FileKey(const QString& path, const QString& root) {
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root.left(root.size() - 1) : root;
    if (path.size() <= prefix.size() + 1 || !path.startsWith(prefix) || path.at(prefix.size()) != QLatin1Char('/')) {
        return QString();
    }
    return path.mid(prefix.size());
}

QString ArchiveName(const QString& key) { return key + kArchiveSuffix; }

bool IsManagedKey(const QString& key) {
    const QStringList segments = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& segment : segments) {
        if (segment.startsWith(QLatin1Char('.'))) return false;
    }
    return !segments.isEmpty() && IsManagedName(segments.last());
}

bool IsWellFormedArchiveName(const QString& name) {
    if (!name.startsWith(QLatin1Char('/')) || !name.endsWith(kArchiveSuffix)) return false;
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':'))) return false;
    const QStringList segments = name.chopped(kArchiveSuffix.size()).mid(1).split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        const int dots = segment.count(QLatin1Char('.'));
        const bool onlyDots = dots > 0 && dots + segment.count(QLatin1Char(' ')) == segment.size();
        if (segment.isEmpty() || onlyDots) return false;
    }
    return true;
}

QString PatchFileName(const QString& archiveName) {
    return archiveName.chopped(kArchiveSuffix.size()) + QStringLiteral(".patch");
}

std::optional<QString> KeyOfArchive(const QString& archiveName) {
    if (!archiveName.endsWith(kArchiveSuffix)) return std::nullopt;
    return archiveName.chopped(kArchiveSuffix.size());
}

std::optional<std::pair<QString, QString>> BackupClash(const QStringList& keys) {
    QSet<QString> folded;
    for (const QString& key : keys) folded.insert(key.toCaseFolded());
    for (const QString& key : keys) {
        const QString backup = key + kBackupSuffix;
        if (!folded.contains(backup.toCaseFolded())) continue;
        for (const QString& other : keys) {
            if (other.compare(backup, Qt::CaseInsensitive) == 0) return std::make_pair(key, other);
        }
    }
    return std::nullopt;
}

QString FileMd5(const QString& path, QString* error) {
    Md5 hash;
    // Unbuffered: QFile's own buffer would only add a copy between the read and the hash.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error) *error = file.errorString();
        return QString();
    }
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    qint64 got;
    while ((got = file.read(buffer.data(), buffer.size())) > 0) {
        hash.AddData(buffer.constData(), static_cast<std::size_t>(got));
    }
    if (got < 0) {
        if (error) *error = file.errorString();
        return QString();
    }
    return QString::fromLatin1(hash.Result().toHex());
}

bool IsMd5Text(const QString& text) {
    static const QRegularExpression kMd5(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    return kMd5.match(text).hasMatch();
}

bool Md5Matches(const QString& fileMd5, const QString& manifestMd5) {
    return !fileMd5.isEmpty() && fileMd5.compare(manifestMd5, Qt::CaseInsensitive) == 0;
}

}  // namespace release
