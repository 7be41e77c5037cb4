// One file's download archive: a zip archive holding exactly that file under its path below the
// install root, deflated, with the file's modification time.
#pragma once

#include <QByteArray>
#include <QString>

// Writes a new archive at archivePath (which must not exist yet) holding sourcePath under the
// stored name storedPath. On failure error says why and no archive is left behind.
bool WriteFileArchive(const QString& sourcePath, const QString& storedPath, const QString& archivePath,
                      QString* error);

// Opens archivePath with the updater's own zip engine and checks that it holds one item named
// storedPath whose content has the MD5 md5, compared as the updater compares. On failure error
// says why.
bool CheckFileArchive(const QString& archivePath, const QString& storedPath, const QString& md5, QString* error);
