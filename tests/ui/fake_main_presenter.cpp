// Recording definitions of every MainPresenter member function, so that the window can call a
// presenter whose effects the tests can read.
#include "fake_main_presenter.h"

#include "main_presenter.h"

QStringList& PresenterCalls() {
    static QStringList calls;
    return calls;
}

namespace {

void Record(const char* name) { PresenterCalls().append(QString::fromLatin1(name)); }

}  // namespace

MainPresenter::MainPresenter(const QString& url) : downloadUrl(url) { Record("MainPresenter"); }
void MainPresenter::SetInteractive(bool) { Record("SetInteractive"); }
void MainPresenter::SetForceUpdate(bool) { Record("SetForceUpdate"); }
void MainPresenter::SetDownloadUrl(const QString&) { Record("SetDownloadUrl"); }
void MainPresenter::SetRestartOnClose() { Record("SetRestartOnClose"); }
bool MainPresenter::NeedsDownload() const {
    Record("NeedsDownload");
    return true;
}
void MainPresenter::FetchManifest() { Record("FetchManifest"); }
void MainPresenter::BeginInstall() { Record("BeginInstall"); }
void MainPresenter::RestartApp() { Record("RestartApp"); }
void MainPresenter::DisconnectView() { Record("DisconnectView"); }
void MainPresenter::OnResult() { Record("OnResult"); }
void MainPresenter::NetWorkFinished(int, int) { Record("NetWorkFinished"); }
void MainPresenter::UnCompressFinished(bool) { Record("UnCompressFinished"); }
void MainPresenter::Ergodicdirfinished(bool) { Record("Ergodicdirfinished"); }
void MainPresenter::OnViewDestroyed() { Record("OnViewDestroyed"); }
void MainPresenter::LoadManifest() { Record("LoadManifest"); }
bool MainPresenter::RemoveStaleDownloads() {
    Record("RemoveStaleDownloads");
    return true;
}
