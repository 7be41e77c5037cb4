// Runs Info-ZIP zip through QProcess to make test archives.
#include "info_zip.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace infozip {

bool Available() { return !QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty(); }

bool MakeArchive(const QString& archive, const QString& fromDir, const QStringList& entries) {
    const QString absolute = QFileInfo(archive).absoluteFilePath();
    QDir().mkpath(QFileInfo(absolute).absolutePath());
    QProcess zip;
    zip.setWorkingDirectory(fromDir);
    zip.start(QStringLiteral("zip"), QStringList{QStringLiteral("-X"), QStringLiteral("-q"), absolute} + entries);
    if (!zip.waitForFinished(30000)) {
        zip.kill();
        zip.waitForFinished(5000);
        return false;
    }
    return zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0 && QFileInfo(absolute).isFile();
}

}  // namespace infozip
