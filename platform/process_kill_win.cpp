// Kill by image name on Windows: the system's taskkill command, "/f" for a forced end.
#include <QProcess>
#include <QStringList>

#include "process_kill.h"

namespace platform {

namespace {

// taskkill /im NAME /f
QStringList TaskkillArguments(const QString& imageName) {
    return {QStringLiteral("/im"), imageName, QStringLiteral("/f")};
}

}  // namespace

void KillByImageName(const QString& imageName) {
    // The exit code is of no use: "no such process" is as good as success here.
    QProcess::execute(QStringLiteral("taskkill"), TaskkillArguments(imageName));
}

bool StartKillByImageName(const QString& imageName) {
    return QProcess::startDetached(QStringLiteral("taskkill"), TaskkillArguments(imageName));
}

}  // namespace platform
