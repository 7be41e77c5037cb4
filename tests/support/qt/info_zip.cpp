// Runs Info-ZIP zip through QProcess to make test archives. Under Wine the Linux zip cannot be
// waited for, so the Windows build writes the same archives with the test zip builder: deflated
// entries under their relative paths, as zip -X writes them.
#include "info_zip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "zip_builder.h"

namespace infozip {

#ifdef _WIN32

bool Available() { return true; }

bool MakeArchive(const QString& archive, const QString& fromDir, const QStringList& entries) {
    const QString absolute = QFileInfo(archive).absoluteFilePath();
    QDir().mkpath(QFileInfo(absolute).absolutePath());
    ztest::Archive zip;
    for (const QString& entry : entries) {
        QFile file(fromDir + "/" + entry);
        if (!file.open(QIODevice::ReadOnly)) return false;
        ztest::Entry item;
        item.name = entry.toStdString();
        item.data = file.readAll().toStdString();
        zip.entries.push_back(item);
    }
    QFile out(absolute);
    const std::string bytes = ztest::Build(zip);
    return out.open(QIODevice::WriteOnly) && out.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

#else

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

#endif

}  // namespace infozip
