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

namespace {

const QString kVersionKey = QStringLiteral("versionNumber");

// Nothing to do: the assistant application runs again and this updater ends here, without
// the exit hook (no helper is started) and without waiting for anything else.
[[noreturn]] void RestartAndEnd(MainPresenter* presenter) {
    presenter->RestartApp();
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
    if (!ok) RestartAndEnd(presenter);
    const VersionAnswer answer = ParseVersionAnswer(body);
    if (!answer.update) RestartAndEnd(presenter);

    presenter->SetDownloadUrl(answer.downloadUrl);
    presenter->SetInteractive(true);
    presenter->SetForceUpdate(answer.forceUpdate);
    presenter->FetchManifest();
    // Closing the window before the update starts hands control back to the assistant.
    presenter->SetRestartOnClose();
}
