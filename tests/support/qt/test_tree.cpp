// Tree helpers for Qt tests.
#include "test_tree.h"

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace testtree {

bool WriteFile(const QString& root, const QString& relative, const QByteArray& bytes) {
    const QString path = root + "/" + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QByteArray> Snapshot(const QString& root) {
    QMap<QString, QByteArray> out;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(base.relativeFilePath(path), ReadFile(path));
    }
    return out;
}

void DropFileAccessOverride() {
#ifdef __linux__
    if (geteuid() != 0) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header, data);
#endif
}

bool MakeUnreadable(const QString& path) {
    QFile::setPermissions(path, QFileDevice::Permissions());
    QFile probe(path);
    return !probe.open(QIODevice::ReadOnly);
}

QString Md5(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

}  // namespace testtree
