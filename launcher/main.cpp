// helper.exe: installs a pending silent download, then starts the updater in "checkVersion"
// mode. One pass per process; the arguments are not read and the exit code is always 0.
#include <QApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include "install_journal.h"
#include "install_pipeline.h"
#include "pending_update.h"
#include "qrequest.h"
#include "release_public_key.h"
#include "run_log.h"
#include "single_instance.h"
#include "uncompress_work.h"
#include "update_layout.h"

namespace {

// update.exe <unused> <mode> <manifest URL>: the version check needs no URL.
const QStringList kUpdaterArguments{QString(), QStringLiteral("checkVersion"), QString()};

}  // namespace

// Installs the unpacked tree below dir over the install root through installation, each replaced
// file kept as ".bak". True when files were found and all of them installed. The marker is
// removed unless a copy failed: the install root is then rolled back and the next run of the
// helper tries the whole installation again. A tree the installation refused (an archive that
// would not extract, a file the manifest does not vouch for) is given up: without the marker
// the next silent download compares again and fetches what still differs.
bool UpdateAppFiles(const install::PendingUpdate& pending, install::Installation& installation) {
    install::CopyHooks hooks;
    hooks.beforeCopy = [](const QString& source) { qDebug() << "path:" << source; };
    hooks.afterCopy = [](bool copied, const QString& source, const QString& target) {
        qDebug() << QString("%1 copy file:").arg(copied ? 1 : 0) << source << " to" << target;
    };
    const install::StepResult result = installation.Replace(hooks);
    if (result == install::StepResult::Failed && !installation.Refused()) {
        RunLog::SetOutcome(QStringLiteral("failed: the installation was undone; the next run tries again"));
        return false;
    }
    pending.Unmark();
    RunLog::SetOutcome(result == install::StepResult::Done ? QStringLiteral("finished: the pending download is installed")
                       : result == install::StepResult::NothingFound
                           ? QStringLiteral("nothing to do: the pending download holds no files")
                           : QStringLiteral("failed: the pending download was refused and is given up"));
    return result == install::StepResult::Done;
}

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The updater, the download directory and the install root lie where the updater's layout
    // puts them, relative to this program's folder.
    const UpdateLayout layout = UpdateLayout::OfRunningProgram();
    RunLog::Begin(layout, kHelperImage, QString(), QCoreApplication::arguments().mid(1));
    RunLog::SetOutcome(QStringLiteral("nothing to do: no download is pending"));
    // An install that died among its renames left the assistant's files mixed: put back first.
    // One still running (the updater's) is not joined by a second.
    const bool installing = install::RecoverInterruptedInstall(layout.InstallRoot()) == install::Recovery::LeftAlone;
    if (installing) RunLog::SetOutcome(QStringLiteral("nothing to do: another install is running"));

    // The manifest is read as the updater reads it: strictly, and signed when a key is built in.
    // The download folder may have changed since the updater judged it, so it is judged again.
    const install::PendingUpdate pending(layout.DownloadDir(), layout.InstallRoot());
    const QByteArray key(kReleasePublicKey);
    if (!installing && pending.HasMarker()) {
        const install::PendingManifest manifest = pending.ReadManifest(key, QString::fromLatin1(qRequest::kVersionNumber));
        if (!manifest.usable) {
            qWarning("update.json not installed: %s", qPrintable(manifest.problem));
            RunLog::SetOutcome(QStringLiteral("failed: update.json not installed: ") + manifest.problem);
            // Without the marker the next silent download compares and fetches afresh.
            pending.Unmark();
        } else {
            // The manifest stays in the download folder until the tree is installed, so a retry
            // after a failed copy checks against it again.
            install::Installation installation = pending.NewInstallation(manifest.files, !key.isEmpty());
            auto* work = new UnCompressWork(pending.Dir(), installation);
            QEventLoop loop;
            // The worker reports from a pool thread: the quit is queued into this thread, after
            // which the worker no longer touches the installation.
            QObject::connect(work, SIGNAL(uncompressfinished()), &loop, SLOT(quit()));
            QThreadPool::globalInstance()->start(work);
            loop.exec();
            UpdateAppFiles(pending, installation);
        }
    }

    // The updater that started this helper at its exit may hold its guard a moment longer; an
    // updater started before it lets go takes itself for a second copy and steps aside, and the
    // version check never happens. Waited for, bounded: past that it is started all the same.
    if (!platform::WaitForSingleInstanceFree(kUpdaterInstanceName, std::chrono::seconds(15))) {
        qWarning("The updater that started this helper still runs; starting the next one all the same");
    }
    if (!QProcess::startDetached(layout.UpdaterPath(), kUpdaterArguments)) {
        qWarning("%s could not be started", qUtf8Printable(layout.UpdaterPath()));
    }
    RunLog::End();
    return 0;
}
