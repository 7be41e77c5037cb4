// update.exe: one update run per process. Usage: update.exe <unused> <mode> <manifest URL>
// with mode "startup" (show the update, the user starts it), "checkVersion" (ask the update
// service first; the URL argument is unused) or "silentDownload" (download only, no window).
#include <QApplication>
#include <QString>
#include <QStringList>

#include "install_journal.h"
#include "main_presenter.h"
#include "release_public_key.h"
#include "run_log.h"
#include "single_instance.h"
#include "update_layout.h"
#include "version_check.h"

namespace {

const QString kStartupMode = QStringLiteral("startup");
const QString kCheckVersionMode = QStringLiteral("checkVersion");
const QString kSilentDownloadMode = QStringLiteral("silentDownload");

constexpr int kExpectedArgc = 4;
constexpr int kBadArguments = -1;

}  // namespace

int main(int argc, char* argv[]) {
    // Checked before anything else, arguments included: a second updater just steps aside. Held
    // for the life of the process: a second updater would fight over the same files.
    if (!platform::AcquireSingleInstance(kUpdaterInstanceName)) return 0;

    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    // Everything the run touches lies relative to this program.
    const UpdateLayout layout = UpdateLayout::OfRunningProgram();

    // The application's own argument list decodes the command line as the system wrote it
    // (wide on Windows), so a URL with non-ASCII characters arrives intact.
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(2);
    RunLog::Begin(layout, kUpdaterImage, mode, args.mid(1));
    // An install that died among its renames left the assistant's files mixed: put back first.
    if (install::RecoverInterruptedInstall(layout.InstallRoot()) == install::Recovery::LeftAlone) {
        RunLog::End(QStringLiteral("nothing to do: another install is running"));
        return 0;
    }
    if (argc != kExpectedArgc || args.size() != kExpectedArgc ||
        (mode != kStartupMode && mode != kCheckVersionMode && mode != kSilentDownloadMode)) {
        RunLog::End(QStringLiteral("failed: usage: update.exe <unused> startup|checkVersion|silentDownload <manifest URL>"));
        return kBadArguments;
    }

    // Lives until the process ends.
    auto* presenter = new MainPresenter(args.at(3), layout);
    presenter->SetReleaseKey(QByteArray(kReleasePublicKey));

    if (mode == kStartupMode) {
        presenter->SetInteractive(true);
        presenter->FetchManifest();
    } else if (mode == kSilentDownloadMode) {
        // A finished download is waiting for the helper; fetching again would gain nothing.
        if (!presenter->NeedsDownload()) {
            RunLog::End(QStringLiteral("nothing to do: a finished download waits for the helper"));
            return 0;
        }
        presenter->SetInteractive(false);
        presenter->FetchManifest();
    } else {
        SendVersionCheck(presenter);
    }
    const int code = app.exec();
    RunLog::End();
    return code;
}
