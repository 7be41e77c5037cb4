// update.exe: one update run per process. Usage: update.exe <unused> <mode> <manifest URL>
// with mode "startup" (show the update, the user starts it), "checkVersion" (ask the update
// service first; the URL argument is unused) or "silentDownload" (download only, no window).
#include <QApplication>
#include <QString>
#include <QStringList>

#include "main_presenter.h"
#include "release_public_key.h"
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
    if (argc != kExpectedArgc) return kBadArguments;

    // The application's own argument list decodes the command line as the system wrote it
    // (wide on Windows), so a URL with non-ASCII characters arrives intact.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != kExpectedArgc) return kBadArguments;
    const QString mode = args.at(2);
    if (mode != kStartupMode && mode != kCheckVersionMode && mode != kSilentDownloadMode) return kBadArguments;

    // Lives until the process ends. Everything the run touches lies relative to this program.
    auto* presenter = new MainPresenter(args.at(3), UpdateLayout::OfRunningProgram());
    presenter->SetReleaseKey(QByteArray(kReleasePublicKey));

    if (mode == kStartupMode) {
        presenter->SetInteractive(true);
        presenter->FetchManifest();
    } else if (mode == kSilentDownloadMode) {
        // A finished download is waiting for the helper; fetching again would gain nothing.
        if (!presenter->NeedsDownload()) return 0;
        presenter->SetInteractive(false);
        presenter->FetchManifest();
    } else {
        SendVersionCheck(presenter);
    }
    return app.exec();
}
