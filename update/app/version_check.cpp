// The request names the client's version; the answer's format is the release unit's, shared
// with the publisher tool that writes it.
#include "version_check.h"

#include <QJsonValue>
#include <QMap>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "main_presenter.h"
#include "manifest.h"
#include "qrequest.h"
#include "run_log.h"

namespace {

const QString kVersionKey = QStringLiteral("versionNumber");

// Nothing to do: the assistant application runs again and this updater ends here, without
// the exit hook (no helper is started) and without waiting for anything else.
[[noreturn]] void RestartAndEnd(MainPresenter* presenter, const QString& outcome) {
    presenter->RestartApp();
    RunLog::End(outcome);
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace

void SendVersionCheck(MainPresenter* presenter) {
    QMap<QString, QJsonValue> params;
    params.insert(kVersionKey, QString::fromLatin1(qRequest::kVersionNumber));
    qRequest::commonRequest(qRequest::CheckVersion, params,
                            [presenter](bool ok, QByteArray body) { HandleVersionAnswer(presenter, ok, body); });
}

void HandleVersionAnswer(MainPresenter* presenter, bool ok, const QByteArray& body) {
    if (!ok) RestartAndEnd(presenter, QStringLiteral("failed: the update service gave no answer"));
    const VersionAnswer answer = ParseVersionAnswer(body);
    if (!answer.update) RestartAndEnd(presenter, QStringLiteral("nothing to do: the update service offers no update"));
    qInfo("The update service offers %s%s", qUtf8Printable(answer.downloadUrl), answer.forceUpdate ? " (forced)" : "");

    presenter->SetDownloadUrl(answer.downloadUrl);
    presenter->SetInteractive(true);
    presenter->SetForceUpdate(answer.forceUpdate);
    presenter->FetchManifest();
    // Closing the window before the update starts hands control back to the assistant.
    presenter->SetRestartOnClose();
}
