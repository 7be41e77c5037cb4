// Kill by image name: forcibly ends every process started from an executable file of a given
// name, the way the updater clears running copies of the programs it replaces.
#pragma once

#include <QString>

namespace platform {

// Ends every process whose executable file is named imageName (e.g. "ZEBAssistant.exe"), forcibly,
// and returns when that is done.
void KillByImageName(const QString& imageName);

// Starts the same kill without waiting. Returns whether it could be started. The caller itself may be
// one of the processes ended (the updater ends all "update.exe", itself included), so this may not return.
bool StartKillByImageName(const QString& imageName);

}  // namespace platform
