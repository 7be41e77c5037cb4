// MainPresenter: drives one update run. Fetches the manifest, shows the update window, kills
// and relaunches the assistant application, and reacts to the reports of the background work.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "manifest.h"
#include "update_actions.h"
#include "pending_update.h"
#include "update_layout.h"

class MainWidget;
class NetWork;

class MainPresenter : public QObject, public UpdateActions {
    Q_OBJECT
public:
    // Creates the download directory of layout and wires the dispatcher's reports to the slots
    // below.
    MainPresenter(const QString& downloadUrl, const UpdateLayout& layout);

    void SetInteractive(bool interactive);
    void SetForceUpdate(bool forceUpdate);
    void SetDownloadUrl(const QString& url);
    // The publisher's public key (a key text). Non-empty: the manifest counts only with a
    // verifying signature fetched from its URL + ".sig", and the archives only with their SHA-256
    // from it. Empty: unsigned releases, fetched and checked as before.
    void SetReleaseKey(const QByteArray& publicKeyText);
    // The window, once created, relaunches the assistant application when it is closed before
    // the update started (the version check asks for this).
    void SetRestartOnClose();
    // True unless a finished silent download left its marker file.
    bool NeedsDownload() const;

    // Requests update.json into the download directory, then its signature when a release key is
    // set; the answers arrive in NetWorkFinished.
    void FetchManifest();
    // Ends the assistant application (interactive runs) and starts the walk over the install root.
    void BeginInstall() override;
    // Starts the assistant application elevated and closes the window.
    void RestartApp() override;
    // Cuts the window's requestQuit link: once the user acted, closing must not relaunch.
    void DisconnectView() override;
    // After a failure: fetch the manifest again; otherwise RestartApp.
    void OnResult() override;

public slots:
    void NetWorkFinished(int type, int ecode);
    void UnCompressFinished(bool finish);
    void Ergodicdirfinished(bool finish);
    void OnViewDestroyed();
    void KeepFinished(bool ok, const QStringList& complete);

private:
    void LoadManifest();
    // Shows the result; a silent run, whose window was never shown, ends there.
    void EndWith(bool success);
    // Every archive of the round is in (or failed): the marker of a silent run, the install of
    // an interactive one, or the failure.
    void DownloadsEnded();

    bool interactive = true;
    bool forceUpdate = false;
    bool failed = false;
    bool restartOnClose = false;
    // The last manifest arrived and is fit to act on (ReadUsableManifest).
    bool manifestUsable = false;
    // BeginInstall came while the manifest was unusable: install once a usable one arrives.
    bool installAfterManifest = false;
    // Archives of this round that failed to download.
    int failedDownloads = 0;
    MainWidget* view = nullptr;
    NetWork* network = nullptr;
    ManifestMap files;
    QString downloadUrl;
    QByteArray releaseKey;
    UpdateLayout layout;
    // The download folder: what it keeps, its manifest, its marker.
    install::PendingUpdate pending;
};
