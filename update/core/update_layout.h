// UpdateLayout: where everything of one installation lies, derived from the folder of the
// running program. Each program's main() builds it once and hands it down; nothing below reads
// where the program lives.
#pragma once

#include <QString>

// The programs of the product know each other by these file names on every platform: they are
// started by path and ended by image name.
inline const QString kAssistantImage = QStringLiteral("ZEBAssistant.exe");
inline const QString kUpdaterImage = QStringLiteral("update.exe");
inline const QString kHelperImage = QStringLiteral("helper.exe");
// The single-instance guard update.exe holds for its whole run, and for which the helper waits
// before it starts one. An updater of one version meets a helper of the next on it: the name
// stays as it is.
inline constexpr char kUpdaterInstanceName[] = "ZEBUpdate";

class UpdateLayout {
public:
    // Name of the download directory below the program's folder.
    static inline const QString kDownloadDirName = QStringLiteral("download");
    // Name of the log folder below the program's folder.
    static inline const QString kLogDirName = QStringLiteral("logs");

    // programDir: the folder of update.exe and helper.exe, "/" separators, no trailing "/".
    explicit UpdateLayout(const QString& programDir);
    // The layout of the running program: QCoreApplication::applicationDirPath().
    static UpdateLayout OfRunningProgram();

    QString ProgramDir() const { return programDir_; }
    // ProgramDir + "/" + name: a file or folder beside the program.
    QString ProgramFolder(const QString& name) const;
    // ProgramDir + "/download".
    QString DownloadDir() const;
    // ProgramDir + "/logs": the logs of both programs' runs. Not below the download directory,
    // which is emptied, and left out of the walk.
    QString LogDir() const;
    // What the download directory holds is install::PendingUpdate's to say.
    // ProgramDir + "/../.." (not normalised: the file system resolves the dots).
    QString InstallRoot() const;
    // The programs beside this one.
    QString AssistantPath() const;
    QString HelperPath() const;
    QString UpdaterPath() const;

private:
    QString programDir_;
};
