// PendingUpdate: the download folder, the mailbox between the updater and the helper (archives,
// partial archives, the manifest and its signature, the marker), and every rule about what it holds.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

#include "install_pipeline.h"
#include "manifest.h"

namespace install {

// What the manifest in the folder is worth.
struct PendingManifest {
    bool usable = false;
    ManifestTexts texts;
    ManifestMap files;
    QString problem;        // why it is not usable
    QStringList unmanaged;  // entries for files the updater does not manage, left out of files
};

// What an archive cut short needs to be continued safely: where it came from, what the manifest
// said of it, and the server's validator of the bytes already there.
struct PartialInfo {
    QString url;
    QString sha256;
    qint64 size = -1;
    QByteArray etag;
    QByteArray lastModified;
};

class PendingUpdate {
public:
    // The empty file whose presence marks a finished silent download, for the helper.
    static inline const QString kMarkerName = QStringLiteral("/local.ini");

    // downloadDir: the folder itself; installRoot: the tree its update replaces.
    PendingUpdate(const QString& downloadDir, const QString& installRoot);

    QString Dir() const { return dir_; }
    QString ManifestPath() const { return dir_ + kManifestKey; }
    QString SignaturePath() const { return dir_ + kSignatureKey; }
    QString MarkerPath() const { return dir_ + kMarkerName; }

    // Makes the folder a real one: a link in its place gives way to a new empty folder (through
    // a link, the cleanup would delete and the downloads write wherever it points).
    bool MakeReal() const;

    // The manifest, read the same way by both programs: a strict reading (ReadUsableManifest),
    // and when releaseKey is not empty a signed one (ReadSignedManifest, its version not below
    // clientVersion).
    PendingManifest ReadManifest(const QByteArray& releaseKey, const QString& clientVersion) const;

    bool HasMarker() const;
    bool Mark() const;
    void Unmark() const;

    // Readies the folder for fetching fetch (archive name -> URL) of the release files: keeps the
    // manifest, its signature and whatever of fetch is already there, complete (the entry's size
    // and SHA-256 when it has them; without them the unpack and the MD5 check judge it) or partial
    // (a partial archive of the same URL, size and hash), and removes everything else: archives of
    // other releases or not to be fetched, partial archives whose release is gone, links, the
    // marker. complete gets the archive names that need no fetching. False when something could
    // not be removed. Reads every kept archive: run it off the GUI thread.
    bool Keep(const ManifestMap& files, const QMap<QString, QString>& fetch, QStringList* complete) const;

    // The installation of the folder's archives over the install root, checked against files and,
    // for a signed release, against their SHA-256. The marker is never installed.
    Installation NewInstallation(const ManifestMap& files, bool signedRelease) const;

    // Where an archive cut short waits for its rest, hidden beside it ("/bin/a.dll.zip" ->
    // "/bin/.a.dll.zip.part"), and what is known of it ("/bin/.a.dll.zip.part.json").
    static QString PartialPath(const QString& archivePath);
    static QString PartialInfoPath(const QString& archivePath);
    static bool WritePartialInfo(const QString& archivePath, const PartialInfo& info);
    static std::optional<PartialInfo> ReadPartialInfo(const QString& archivePath);
    // Removes an archive's partial file and what is known of it.
    static void RemovePartial(const QString& archivePath);

private:
    // "/bin/a.dll.zip" for a path of the folder.
    QString FileKeyOf(const QString& path) const;

    QString dir_;
    QString installRoot_;
};

}  // namespace install
