// The answer of the update service is {"result": {"flag": bool, "downloadUrl": string,
// "forceUpdate": bool}, ...}; only those three members are read, with strict JSON types: the
// service decides, and a malformed answer must not start an update.
#include "version_check.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "main_presenter.h"
#include "qrequest.h"

namespace {

const QString kVersionKey = QStringLiteral("versionNumber");
const QString kFlagKey = QStringLiteral("flag");
const QString kDownloadUrlKey = QStringLiteral("downloadUrl");
const QString kForceUpdateKey = QStringLiteral("forceUpdate");

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

VersionAnswer ParseVersionAnswer(const QByteArray& body) {
    VersionAnswer answer;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) return answer;
    const QJsonObject result = document.object().value(qRequest::kResultKey).toObject();
    answer.update = result.value(kFlagKey).toBool(false);
    answer.downloadUrl = result.value(kDownloadUrlKey).toString();
    answer.forceUpdate = result.value(kForceUpdateKey).toBool(false);
    return answer;
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
