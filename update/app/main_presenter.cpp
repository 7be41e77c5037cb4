// The update run: manifest -> window -> walk -> downloads -> unpack and install -> restart.
// Every slot runs on the GUI thread; the workers report through NetWork as queued signals.
#include "main_presenter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QUrl>

#include "download_work.h"
#include "elevated_start.h"
#include "fetch_list.h"
#include "file_removal.h"
#include "main_widget.h"
#include "network.h"
#include "path_link.h"
#include "process_kill.h"
#include "qrequest.h"
#include "release_files.h"
#include "run_log.h"
#include "signed_manifest.h"

namespace {

// Besides the assistant application, this process holds installed files open.
const QString kGlyphServiceImage = QStringLiteral("glyphsvc_x64.exe");

// Arguments of helper.exe: a verb and the install root (the helper does not read them).
const QString kHelperVerb = QStringLiteral("dir");


// Where the signature of the manifest at url lies: the same URL with ".sig" added to its path
// (a query, if any, stays as it is).
QString SignatureUrl(const QString& url) {
    QUrl address(url, QUrl::TolerantMode);
    address.setPath(address.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::TolerantMode);
    return address.toString(QUrl::FullyEncoded);
}

}  // namespace

MainPresenter::MainPresenter(const QString& downloadUrl, const UpdateLayout& layout)
    : QObject(nullptr), downloadUrl(downloadUrl), layout(layout), pending(layout.DownloadDir(), layout.InstallRoot()) {
    network = new NetWork(layout);
    network->setParent(this);
    network->SetDir(UpdateLayout::kDownloadDirName);
    connect(network, SIGNAL(workfinished(int, int)), this, SLOT(NetWorkFinished(int, int)));
    connect(network, SIGNAL(uncompressfinished(bool)), this, SLOT(UnCompressFinished(bool)));
    connect(network, SIGNAL(ergodicdirfinished(bool)), this, SLOT(Ergodicdirfinished(bool)));
    connect(network, &NetWork::keepfinished, this, &MainPresenter::KeepFinished);

    // After an interactive run the helper starts the updater again: it installs a pending
    // silent download first, if any, and the new updater asks the service once more.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
        if (!interactive) return;
        QProcess::startDetached(this->layout.HelperPath(), {kHelperVerb, this->layout.InstallRoot()});
    });
}

void MainPresenter::SetInteractive(bool value) { interactive = value; }

void MainPresenter::SetForceUpdate(bool value) { forceUpdate = value; }

void MainPresenter::SetDownloadUrl(const QString& url) { downloadUrl = url; }

void MainPresenter::SetReleaseKey(const QByteArray& publicKeyText) { releaseKey = publicKeyText; }

void MainPresenter::SetRestartOnClose() { restartOnClose = true; }

bool MainPresenter::NeedsDownload() const { return !pending.HasMarker(); }

void MainPresenter::FetchManifest() {
    if (downloadUrl.isEmpty() && view) view->close();
    pending.MakeReal();  // the manifest is its first download
    network->DownLoad({{kManifestKey, downloadUrl}}, DownLoadWork::kManifest);
}

void MainPresenter::NetWorkFinished(int type, int ecode) {
    if (ecode != 0) {
        failed = true;
        if (type == DownLoadWork::kUpdateFile) ++failedDownloads;
    }

    if (type == DownLoadWork::kManifest && ecode == 0 && !releaseKey.isEmpty()) {
        // The manifest is judged once its signature is here too.
        network->DownLoad({{kSignatureKey, SignatureUrl(downloadUrl)}}, DownLoadWork::kSignature);
        return;
    }
    if (type == DownLoadWork::kManifest || type == DownLoadWork::kSignature) {
        if (!view) {
            view = new MainWidget(nullptr);
            if (restartOnClose) connect(view, SIGNAL(requestQuit()), this, SLOT(OnViewDestroyed()));
        }
        view->SetPresenter(this);
        if (interactive) view->show();  // also without a manifest: the user can retry from it
        manifestUsable = false;
        if (ecode == 0) LoadManifest();
        if (!manifestUsable) {
            // Nothing to act on: a failed update, before anything is ended or fetched. "重试"
            // fetches the manifest again; a silent run ends without a marker.
            failed = true;
            if (ecode != 0) {
                RunLog::SetOutcome(QStringLiteral("failed: %1 could not be downloaded (code %2)")
                                       .arg(type == DownLoadWork::kManifest ? "update.json" : "update.json.sig")
                                       .arg(ecode));
            }
            EndWith(false);
            return;
        }
        // Until the update ends one way or another, closing the window is where it ends.
        RunLog::SetOutcome(QStringLiteral("closed by the user"));
        if (installAfterManifest) {
            // The user asked for the update while the manifest was unusable: go on with it.
            installAfterManifest = false;
            BeginInstall();
            return;
        }
        view->StartUpdate(forceUpdate || !interactive);
        return;
    }

    if (type != DownLoadWork::kUpdateFile) return;
    view->StepProgress();
    if (!view->IsProgressComplete()) return;  // more files outstanding
    DownloadsEnded();
}

void MainPresenter::DownloadsEnded() {
    if (failed) {
        RunLog::SetOutcome(QStringLiteral("failed: %1 of %2 downloads failed").arg(failedDownloads).arg(fetchList.size()));
        EndWith(false);
    } else if (interactive) {
        view->ShowInstalling();
        network->UnCompress(pending.NewInstallation(files, !releaseKey.isEmpty()));
    } else {
        // Everything arrived: the empty marker tells the next silent run and the helper so.
        RunLog::SetOutcome(pending.Mark()
                               ? QStringLiteral("finished: %1 files downloaded for the helper").arg(fetchList.size())
                               : QStringLiteral("failed: the marker %1 could not be written").arg(pending.MarkerPath()));
        view->close();
    }
}

void MainPresenter::LoadManifest() {
    const install::PendingManifest manifest =
        pending.ReadManifest(releaseKey, QString::fromLatin1(qRequest::kVersionNumber));
    manifestUsable = manifest.usable;
    files = manifest.files;
    if (!manifestUsable) {
        qWarning("update.json not used: %s", qPrintable(manifest.problem));
        RunLog::SetOutcome(QStringLiteral("failed: update.json not used: ") + manifest.problem);
        return;
    }
    // The walk never finds such files installed, and the copy never installs them: fetching
    // them would only repeat on every run.
    for (const QString& name : manifest.unmanaged) {
        qWarning("update.json entry %s left out: not a file the updater manages", qPrintable(name));
    }
    view->SetUpdateInfo(manifest.texts.version, manifest.texts.description, manifest.texts.updateDate);
}

void MainPresenter::BeginInstall() {
    if (!manifestUsable) {
        // Nothing is ended or walked on the strength of a manifest that could not be used.
        installAfterManifest = true;
        FetchManifest();
        return;
    }
    if (interactive) {
        platform::KillByImageName(kAssistantImage);
        platform::KillByImageName(kGlyphServiceImage);
    }
    network->Ergodic(files);
}

void MainPresenter::Ergodicdirfinished(bool finish) {
    failed = !finish;
    if (!finish) {
        // Nothing differs from the manifest: the installation is already current.
        RunLog::SetOutcome(QStringLiteral("nothing to do: the installed files match update.json"));
        EndWith(true);
        return;
    }
    // What an earlier run left goes, but for what it already fetched of this release: archives,
    // and the patches chosen now, which are looked at as if they were archives of their own.
    ManifestMap keepFiles = files;
    QMap<QString, QString> keepFetch = fetchList;
    for (auto it = fetchPatches.cbegin(); it != fetchPatches.cend(); ++it) {
        const PatchEntry& patch = it.value().patch;
        const QString name = release::PatchFileName(it.key());
        keepFetch.insert(name, patch.url);
        keepFiles.insert(name, ManifestEntry{name, QString(), patch.url, patch.sha256, patch.size});
    }
    network->Keep(pending, keepFiles, keepFetch);
}

void MainPresenter::KeepFinished(bool ok, const QStringList& complete) {
    if (!ok) {
        failed = true;
        RunLog::SetOutcome(QStringLiteral("failed: files of an earlier run in %1 could not be removed")
                               .arg(pending.Dir()));
        EndWith(false);
        return;
    }
    failedDownloads = 0;
    // The progress starts from what is already here.
    view->ShowDownloading(fetchList.size());
    QMap<QString, QString> rest = fetchList;
    QHash<QString, QString> patched;  // patch file name -> its entry
    for (auto it = fetchPatches.cbegin(); it != fetchPatches.cend(); ++it) patched.insert(release::PatchFileName(it.key()), it.key());
    for (const QString& name : complete) {
        if (rest.remove(name) > 0) view->StepProgress();
        // A patch kept whole: its job applies it without a transfer.
        if (patched.contains(name)) fetchPatches[patched.value(name)].kept = true;
    }
    if (!complete.isEmpty()) qInfo("%d of %d archives are here from an earlier run", int(complete.size()), int(fetchList.size()));
    if (rest.isEmpty()) {
        DownloadsEnded();
        return;
    }
    if (!fetchPatches.isEmpty()) qInfo("%d files are fetched as patches against the installed version", int(fetchPatches.size()));
    network->DownLoad(rest, DownLoadWork::kUpdateFile, DeclaredSizes(files), ArchiveSha256s(files), fetchPatches);
}

void MainPresenter::EndWith(bool success) {
    view->ShowResult(success);
    if (!interactive) view->close();  // a silent run ends with its window
}

void MainPresenter::UnCompressFinished(bool finish) {
    failed = !finish;
    RunLog::SetOutcome(finish ? QStringLiteral("finished: %1 files installed").arg(fetchList.size())
                              : QStringLiteral("failed: the installation did not complete"));
    view->ShowResult(finish);
}

void MainPresenter::RestartApp() {
    platform::StartElevated(layout.AssistantPath().toStdString());
    if (view) view->close();
}

void MainPresenter::OnViewDestroyed() {
    if (interactive) RestartApp();
}

void MainPresenter::DisconnectView() {
    if (view) disconnect(view, SIGNAL(requestQuit()), this, SLOT(OnViewDestroyed()));
}

void MainPresenter::OnResult() {
    if (failed) {
        FetchManifest();
    } else {
        RestartApp();
    }
}
