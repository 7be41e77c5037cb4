// NetWork: the work dispatcher. Starts the workers (downloads on a pool of their own, the rest on
// the global thread pool) and re-emits each worker's single report in the main thread.
#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

#include "fetch_list.h"
#include "manifest.h"
#include "pending_update.h"
#include "update_layout.h"

class QThreadPool;

class NetWork : public QObject {
    Q_OBJECT
public:
    // Every job works on the folders of layout.
    explicit NetWork(const UpdateLayout& layout);
    // Waits, without time limit, for every queued and running job of both pools.
    ~NetWork() override;

    // The process-wide pool downloads run on. Transfers wait on the network, not the CPU: kept
    // apart from the global pool, any number of them never holds a thread the file walk or the
    // unpack could use.
    static QThreadPool* DownLoadPool();

    // Stores the download directory's name and creates it below the program's folder.
    void SetDir(const QString& name);
    // Fetches every entry (key: path below the download directory, value: URL) as a DownLoadWork,
    // started in ascending key order, eight at once whatever the number of cores, over kept-alive
    // connections; each reports once. An empty map starts nothing and reports nothing.
    // sizeLimits: the bytes a file of that key may have (DeclaredSizes of the manifest); others
    // are unbounded. sha256s: the SHA-256 a file of that key must have (ArchiveSha256s).
    // patches: for some keys, a patch to fetch and apply first (fetchPatches of the walk); the
    // file itself is fetched only when that fails, and the key reports once either way.
    void DownLoad(const QMap<QString, QString>& files, int type, const QMap<QString, qint64>& sizeLimits = {},
                  const QMap<QString, QString>& sha256s = {}, const QMap<QString, FetchPatch>& patches = {});
    // Starts the file walk over the install root with a copy of the manifest.
    void Ergodic(const ManifestMap& manifest);
    // Readies the download folder for fetching fetch of files (install::PendingUpdate::Keep) on
    // the global pool; keepfinished reports whether it could, and the archives already complete.
    void Keep(const install::PendingUpdate& pending, const ManifestMap& files, const QMap<QString, QString>& fetch);
    // Starts the unpack and install of the download directory; the unpacked files must have the
    // MD5 given for their path in expectedMd5 (InstalledMd5s of the manifest). With
    // archiveSha256 (ArchiveSha256s of a signed manifest), every archive must have its SHA-256.
    void UnCompress(const QMap<QString, QString>& expectedMd5 = {},
                    const std::optional<QMap<QString, QString>>& archiveSha256 = std::nullopt);
    // The same with the installation the download folder's owner configured
    // (install::PendingUpdate::NewInstallation).
    void UnCompress(const install::Installation& installation);

signals:
    void workfinished(int type, int ecode);
    void uncompressfinished(bool finish);
    void ergodicdirfinished(bool finish);
    void keepfinished(bool ok, const QStringList& complete);

private:
    // The program's folder + "/" + the name given to SetDir.
    QString DownloadDir() const;

    UpdateLayout layout_;
    QString dirName_;
};
