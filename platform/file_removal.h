// Removing a file that may be marked read-only. On Windows a read-only file cannot be deleted
// until its read-only attribute is cleared; installers, users and some tools mark program files
// so, and the updater must still be able to clear old downloads and backups. On POSIX a file's
// own mode does not restrict deleting it, so a plain removal already does the same.
#pragma once

#include <QString>

namespace platform {

// Removes the file (or link) at path. When the plain removal fails because the file is marked
// read-only, clears that mark and tries again; if that fails too, the mark is restored. True
// when the file is gone.
bool RemoveFile(const QString& path);

}  // namespace platform
