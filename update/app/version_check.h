// The version check of a "checkVersion" run: asks the update service whether this client is
// out of date, and either ends the process or sets the presenter on its way.
#pragma once

#include <QByteArray>
#include <QString>

class MainPresenter;

// Sends the request; the answer arrives later through the event loop and is handled by
// HandleVersionAnswer.
void SendVersionCheck(MainPresenter* presenter);

// What the answer asks for.
struct VersionAnswer {
    bool update = false;       // result.flag, a JSON boolean
    QString downloadUrl;       // result.downloadUrl, a JSON string
    bool forceUpdate = false;  // result.forceUpdate, a JSON boolean
};

// Reads a response body. Anything but a JSON object, and members of another JSON type than
// expected, count as "no update" and empty or false values.
VersionAnswer ParseVersionAnswer(const QByteArray& body);

// The completion: without an update (or without an answer) the assistant application is started
// again and the process ends at once with exit code 0; otherwise the presenter fetches the
// manifest that the answer names.
void HandleVersionAnswer(MainPresenter* presenter, bool ok, const QByteArray& body);
