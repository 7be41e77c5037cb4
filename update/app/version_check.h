// The version check of a "checkVersion" run: asks the update service whether this client is
// out of date, and either ends the process or sets the presenter on its way.
#pragma once

#include <QByteArray>
#include <QString>

class MainPresenter;

// Sends the request; the answer arrives later through the event loop and is handled by
// HandleVersionAnswer.
void SendVersionCheck(MainPresenter* presenter);

// The completion, reading the body with ParseVersionAnswer (manifest.h): without an update (or
// without an answer) the assistant application is started again and the process ends at once
// with exit code 0; otherwise the presenter fetches the manifest that the answer names.
void HandleVersionAnswer(MainPresenter* presenter, bool ok, const QByteArray& body);
