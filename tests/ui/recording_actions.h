// A stand-in for whoever runs the update, for the window tests: every call the window makes
// through UpdateActions is only recorded, by name, in call order.
#pragma once

#include <QStringList>

#include "update_actions.h"

class RecordingActions : public UpdateActions {
public:
    void BeginInstall() override { calls << QStringLiteral("BeginInstall"); }
    void DisconnectView() override { calls << QStringLiteral("DisconnectView"); }
    void RestartApp() override { calls << QStringLiteral("RestartApp"); }
    void OnResult() override { calls << QStringLiteral("OnResult"); }

    QStringList calls;
};
