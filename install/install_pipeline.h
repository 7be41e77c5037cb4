// Installation: the one sequence that installs a downloaded update, for the updater, the helper
// and the benchmarks: unpack the archives, check the unpacked files against the manifest, then
// replace the installed files with ".bak" backups and a full rollback.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

#include "install_steps.h"

namespace install {

class Installation {
public:
    // downloadDir holds the downloaded archives and receives their files; installRoot is the
    // tree they replace. expectedMd5: the manifest's digest of each installed file by path
    // ("/bin/app.dll" -> hex digits); empty when there is no manifest to check against.
    Installation(const QString& downloadDir, const QString& installRoot, const QMap<QString, QString>& expectedMd5 = {});

    QString DownloadDir() const { return downloadDir_; }
    QString InstallRoot() const { return installRoot_; }
    // A file of the download directory, by its path below it, that is the programs' own
    // bookkeeping and never installed (unless the manifest names it).
    void LeaveOut(const QString& key) { leftOut_.insert(key); }

    // Signed updates: before anything is extracted, every archive of the download directory
    // must be named in archiveSha256 (archive name "/bin/app.dll.zip" -> hex SHA-256, from
    // ArchiveSha256s of the signed manifest) and have that SHA-256; otherwise Unpack fails
    // without extracting anything, and Replace refuses.
    void RequireArchiveSha256(const QMap<QString, QString>& archiveSha256) {
        archiveSha256_ = archiveSha256;
        sha256Required_ = true;
    }

    // Extracts every archive of the download directory into it (ExtractArchives), noting which
    // file each archive stands for ("/bin/app.dll.zip" for "/bin/app.dll"). beforeEach, when
    // set, is called with each archive's path first.
    StepResult Unpack(const std::function<void(const QString&)>& beforeEach = {});
    // True when every unpacked file is named by the manifest with a matching MD5 and every
    // archive produced its file (CheckUnpacked).
    bool Verify();
    // Copies the verified files over the install root (ReplaceFiles). Refuses, with Failed and
    // without touching the install root, after a failed Unpack or when Verify fails (it runs
    // Verify itself if nobody did): installing then would mix two versions or install a file
    // nobody vouched for. After a complete install the installed files and the manifest leave
    // the download directory, so nothing of this update is taken for another one later.
    StepResult Replace(const CopyHooks& hooks = {});
    // Unpack, then Replace (which verifies); Succeeded() afterwards.
    bool Run();

    // After Replace: nothing failed, and archives were unpacked or files installed.
    bool Succeeded() const;
    // After Replace: it refused the unpacked tree (as opposed to a copy that failed and was
    // rolled back, which a later attempt may get through).
    bool Refused() const { return refused_; }

private:
    QString downloadDir_;
    QString installRoot_;
    QMap<QString, QString> expectedMd5_;
    QMap<QString, QString> archiveSha256_;
    bool sha256Required_ = false;
    QSet<QString> leftOut_;
    QSet<QString> produced_;
    QStringList sources_;
    StepResult unpacked_ = StepResult::NothingFound;
    enum class Check { NotRun, Matched, Differs } check_ = Check::NotRun;
    bool replaceRan_ = false;
    bool refused_ = false;
    StepResult replaced_ = StepResult::NothingFound;
};

}  // namespace install
