// The folder's rules in one place. A partial archive is two files beside where the archive will
// be: its bytes so far, and a small JSON object {"url", "sha256", "size", "etag", "lastModified"}
// that says which archive they belong to and how the server named that version of it.
#include "pending_update.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QVector>

#include "file_removal.h"
#include "path_link.h"
#include "pool_each.h"
#include "release_signature.h"
#include "signed_manifest.h"

namespace install {
namespace {

const QString kPartialSuffix = QStringLiteral(".part");
const QString kInfoSuffix = QStringLiteral(".json");

bool IsLink(const QString& path) { return platform::IsLink(path.toStdString()); }

// Removes the link itself, never what it points at: a file link or a POSIX symbolic link goes
// with remove(); a Windows folder link (junction, directory symbolic link) only with rmdir, which
// takes the link and leaves its target as it is.
bool RemoveLink(const QString& path) { return QFile::remove(path) || QDir().rmdir(path); }

// The largest partial-info file read: a URL and a few validators.
constexpr qint64 kMaxInfoBytes = 64 * 1024;

// What may be kept of one archive to fetch.
struct Candidate {
    QString archive;  // the archive's path in the folder
    ManifestEntry entry;
    QString url;
    bool complete = false;
};

// Whether the file at path is the whole archive the entry describes, as far as the entry says.
bool IsComplete(const QString& path, const ManifestEntry& entry) {
    const QFileInfo info(path);
    if (!info.isFile() || (entry.size >= 0 && info.size() != entry.size)) return false;
    return entry.sha256.isEmpty() || release::FileSha256(path).compare(entry.sha256, Qt::CaseInsensitive) == 0;
}

// Whether the partial archive beside path continues the archive the entry and url describe.
bool IsContinuable(const QString& path, const ManifestEntry& entry, const QString& url) {
    const QFileInfo partial(PendingUpdate::PartialPath(path));
    if (!partial.isFile()) return false;
    const std::optional<PartialInfo> info = PendingUpdate::ReadPartialInfo(path);
    return info && info->url == url && info->sha256.compare(entry.sha256, Qt::CaseInsensitive) == 0 &&
           info->size == entry.size && (entry.size < 0 || partial.size() < entry.size);
}

}  // namespace

PendingUpdate::PendingUpdate(const QString& downloadDir, const QString& installRoot)
    : dir_(downloadDir), installRoot_(installRoot) {}

bool PendingUpdate::MakeReal() const {
    if (IsLink(dir_) && !RemoveLink(dir_)) return false;
    return QDir().mkpath(dir_);
}

PendingManifest PendingUpdate::ReadManifest(const QByteArray& releaseKey, const QString& clientVersion) const {
    PendingManifest manifest;
    manifest.usable = releaseKey.isEmpty()
                          ? ReadUsableManifest(ManifestPath(), &manifest.texts, &manifest.files, &manifest.problem,
                                               &manifest.unmanaged)
                          : ReadSignedManifest(ManifestPath(), SignaturePath(), releaseKey, clientVersion,
                                               &manifest.texts, &manifest.files, &manifest.problem,
                                               &manifest.unmanaged);
    return manifest;
}

bool PendingUpdate::HasMarker() const { return QFileInfo(MarkerPath()).isFile(); }

bool PendingUpdate::Mark() const {
    QFile marker(MarkerPath());
    return marker.open(QIODevice::WriteOnly);
}

void PendingUpdate::Unmark() const { platform::RemoveFile(MarkerPath()); }

bool PendingUpdate::Keep(const ManifestMap& files, const QMap<QString, QString>& fetch, QStringList* complete) const {
    complete->clear();
    // A link below it goes too (the walk does not enter it): the downloads would write through it.
    if (!MakeReal()) return false;
    QVector<Candidate> candidates;
    for (auto it = fetch.constBegin(); it != fetch.constEnd(); ++it) {
        candidates.append(Candidate{dir_ + it.key(), files.value(it.key()), it.value()});
    }
    // Hashing what is already there is the long part: on every core.
    release::PoolEach(candidates.size(), [&](int i) {
        candidates[i].complete = IsComplete(candidates[i].archive, candidates[i].entry);
    });

    // Whatever an earlier run left (archives never installed, files unpacked for an earlier
    // version) could put an older file back: only what is named above stays.
    QSet<QString> kept{ManifestPath(), SignaturePath()};
    for (const Candidate& candidate : candidates) {
        if (candidate.complete) {
            kept.insert(candidate.archive);
            complete->append(FileKeyOf(candidate.archive));
        } else if (IsContinuable(candidate.archive, candidate.entry, candidate.url)) {
            kept.insert(PartialPath(candidate.archive));
            kept.insert(PartialInfoPath(candidate.archive));
        }
    }
    bool removedAll = true;
    QDirIterator it(dir_, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (kept.contains(path)) continue;
        if (IsLink(path)) {
            if (!RemoveLink(path)) removedAll = false;
        } else if (!it.fileInfo().isDir() && !platform::RemoveFile(path)) {
            removedAll = false;
        }
    }
    return removedAll;
}

Installation PendingUpdate::NewInstallation(const ManifestMap& files, bool signedRelease) const {
    Installation installation(dir_, installRoot_, InstalledMd5s(files));
    installation.LeaveOut(kMarkerName);
    if (signedRelease) installation.RequireArchiveSha256(ArchiveSha256s(files));
    return installation;
}

QString PendingUpdate::FileKeyOf(const QString& path) const { return path.mid(dir_.size()); }

QString PendingUpdate::PartialPath(const QString& archivePath) {
    const int slash = archivePath.lastIndexOf(QLatin1Char('/'));
    return archivePath.left(slash + 1) + "." + archivePath.mid(slash + 1) + kPartialSuffix;
}

QString PendingUpdate::PartialInfoPath(const QString& archivePath) { return PartialPath(archivePath) + kInfoSuffix; }

bool PendingUpdate::WritePartialInfo(const QString& archivePath, const PartialInfo& info) {
    QJsonObject object;
    object.insert(QStringLiteral("url"), info.url);
    object.insert(QStringLiteral("sha256"), info.sha256);
    object.insert(QStringLiteral("size"), static_cast<double>(info.size));
    object.insert(QStringLiteral("etag"), QString::fromLatin1(info.etag));
    object.insert(QStringLiteral("lastModified"), QString::fromLatin1(info.lastModified));
    QFile file(PartialInfoPath(archivePath));
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

std::optional<PartialInfo> PendingUpdate::ReadPartialInfo(const QString& archivePath) {
    QFile file(PartialInfoPath(archivePath));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxInfoBytes) return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) return std::nullopt;
    const QJsonObject object = document.object();
    if (!object.value(QStringLiteral("url")).isString() || !object.value(QStringLiteral("size")).isDouble()) {
        return std::nullopt;
    }
    PartialInfo info;
    info.url = object.value(QStringLiteral("url")).toString();
    info.sha256 = object.value(QStringLiteral("sha256")).toString();
    info.size = static_cast<qint64>(object.value(QStringLiteral("size")).toDouble());
    info.etag = object.value(QStringLiteral("etag")).toString().toLatin1();
    info.lastModified = object.value(QStringLiteral("lastModified")).toString().toLatin1();
    return info;
}

void PendingUpdate::RemovePartial(const QString& archivePath) {
    platform::RemoveFile(PartialPath(archivePath));
    platform::RemoveFile(PartialInfoPath(archivePath));
}

}  // namespace install
