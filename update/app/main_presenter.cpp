// The update run: manifest -> window -> walk -> downloads -> unpack and install -> restart.
// Every slot runs on the GUI thread; the workers report through NetWork as queued signals.
#include "main_presenter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
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
#include "run_log.h"
#include "signed_manifest.h"

namespace {

// Besides the assistant application, this process holds installed files open.
const QString kGlyphServiceImage = QStringLiteral("glyphsvc_x64.exe");

// Arguments of helper.exe: a verb and the install root (the helper does not read them).
const QString kHelperVerb = QStringLiteral("dir");

bool IsLink(const QString& path) { return platform::IsLink(path.toStdString()); }

// Where the signature of the manifest at url lies: the same URL with ".sig" added to its path
// (a query, if any, stays as it is).
QString SignatureUrl(const QString& url) {
    QUrl address(url, QUrl::TolerantMode);
    address.setPath(address.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::TolerantMode);
    return address.toString(QUrl::FullyEncoded);
}

// Removes the link itself, never what it points at: a file link or a POSIX symbolic link goes
// with remove(); a Windows folder link (junction, directory symbolic link) only with rmdir, which
// takes the link and leaves its target as it is.
bool RemoveLink(const QString& path) { return QFile::remove(path) || QDir().rmdir(path); }

// Through a link, the cleanup would delete and the downloads write wherever it points: a link in
// place of the download folder gives way to a new empty folder.
bool MakeRealFolder(const QString& dir) {
    if (IsLink(dir) && !RemoveLink(dir)) return false;
    return QDir().mkpath(dir);
}

}  // namespace

MainPresenter::MainPresenter(const QString& downloadUrl, const UpdateLayout& layout)
    : QObject(nullptr), downloadUrl(downloadUrl), layout(layout) {
    network = new NetWork(layout);
    network->setParent(this);
    network->SetDir(UpdateLayout::kDownloadDirName);
    connect(network, SIGNAL(workfinished(int, int)), this, SLOT(NetWorkFinished(int, int)));
    connect(network, SIGNAL(uncompressfinished(bool)), this, SLOT(UnCompressFinished(bool)));
    connect(network, SIGNAL(ergodicdirfinished(bool)), this, SLOT(Ergodicdirfinished(bool)));

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

bool MainPresenter::NeedsDownload() const { return !QFileInfo(layout.MarkerPath()).isFile(); }

void MainPresenter::FetchManifest() {
    if (downloadUrl.isEmpty() && view) view->close();
    MakeRealFolder(layout.DownloadDir());  // the manifest is its first download
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

    if (failed) {
        RunLog::SetOutcome(QStringLiteral("failed: %1 of %2 downloads failed").arg(failedDownloads).arg(fetchList.size()));
        EndWith(false);
    } else if (interactive) {
        view->ShowInstalling();
        network->UnCompress(InstalledMd5s(files), releaseKey.isEmpty() ? std::nullopt
                                                                        : std::make_optional(ArchiveSha256s(files)));
    } else {
        // Everything arrived: the empty marker tells the next silent run and the helper so.
        QFile marker(layout.MarkerPath());
        const bool marked = marker.open(QIODevice::WriteOnly);
        marker.close();
        RunLog::SetOutcome(marked ? QStringLiteral("finished: %1 archives downloaded for the helper").arg(fetchList.size())
                                  : QStringLiteral("failed: the marker %1 could not be written").arg(layout.MarkerPath()));
        view->close();
    }
}

void MainPresenter::LoadManifest() {
    ManifestTexts texts;
    QString problem;
    QStringList unmanaged;
    manifestUsable = releaseKey.isEmpty()
                         ? ReadUsableManifest(layout.ManifestPath(), &texts, &files, &problem, &unmanaged)
                         : ReadSignedManifest(layout.ManifestPath(), layout.SignaturePath(), releaseKey,
                                              QString::fromLatin1(qRequest::kVersionNumber), &texts, &files,
                                              &problem, &unmanaged);
    if (!manifestUsable) {
        qWarning("update.json not used: %s", qPrintable(problem));
        RunLog::SetOutcome(QStringLiteral("failed: update.json not used: ") + problem);
        return;
    }
    // The walk never finds such files installed, and the copy never installs them: fetching
    // them would only repeat on every run.
    for (const QString& name : unmanaged) {
        qWarning("update.json entry %s left out: not a file the updater manages", qPrintable(name));
    }
    view->SetUpdateInfo(texts.version, texts.description, texts.updateDate);
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
    if (!RemoveStaleDownloads()) {
        failed = true;
        RunLog::SetOutcome(QStringLiteral("failed: files of an earlier run in %1 could not be removed")
                               .arg(layout.DownloadDir()));
        EndWith(false);
        return;
    }
    failedDownloads = 0;
    view->ShowDownloading(fetchList.size());
    network->DownLoad(fetchList, DownLoadWork::kUpdateFile, DeclaredSizes(files));
}

bool MainPresenter::RemoveStaleDownloads() {
    // The unpack step installs every archive in the download directory, and the copy step every
    // file below it. Whatever an earlier run left there (archives never installed, files unpacked
    // for an earlier version) could put an older file back, so only this run's manifest (and its
    // signature, which the helper verifies again) stays. The marker of such a run goes with it:
    // it promised those files to the helper.
    const QStringList kept{layout.ManifestPath(), layout.SignaturePath()};
    // A link below it goes too (the walk does not enter it): the downloads would write through it.
    if (!MakeRealFolder(layout.DownloadDir())) return false;
    bool removedAll = true;
    QDirIterator it(layout.DownloadDir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
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
