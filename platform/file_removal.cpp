#include "file_removal.h"

#include <QFile>
#include <QFileInfo>

namespace platform {

bool RemoveFile(const QString& path) {
    if (QFile::remove(path)) return true;
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile()) return false;
    // Qt maps the owner's write permission to the read-only attribute on Windows.
    const QFile::Permissions before = QFile::permissions(path);
    if (before & QFile::WriteOwner) return false;  // not read-only: something else is in the way
    if (!QFile::setPermissions(path, before | QFile::WriteOwner)) return false;
    if (QFile::remove(path)) return true;
    QFile::setPermissions(path, before);
    return false;
}

}  // namespace platform
