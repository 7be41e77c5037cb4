// Helpers for tests that lay out files: write, read and list a tree below a temporary folder.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace testtree {

// Writes bytes to root + "/" + relative, creating the folders on the way.
bool WriteFile(const QString& root, const QString& relative, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);
// Every file below root (hidden ones too): relative path with '/' -> bytes.
QMap<QString, QByteArray> Snapshot(const QString& root);
// Makes files without read permission unreadable for this process even when it runs as root,
// as they are for any other user: drops root's permission-override capabilities from the
// calling thread (Linux; elsewhere nothing to do). Call it before the thread pool starts threads, which inherit the result.
void DropFileAccessOverride();
// Takes every permission from the file at path. False when this process can still read it
// (the test should skip then).
bool MakeUnreadable(const QString& path);

// Lower-case hex MD5 of bytes.
QString Md5(const QByteArray& bytes);

}  // namespace testtree
