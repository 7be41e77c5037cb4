// The secret key file is created empty and made owner-only before a byte of the key goes into
// it, so it is never readable by others, whatever the umask.
#include "release_keys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "release_signature.h"

namespace {

// A key file is one short line; anything longer is not one of ours.
constexpr qint64 kKeyFileLimit = 1024;

int Fail(const QString& text) {
    std::fputs(QStringLiteral("update-pack: error: %1\n").arg(text).toLocal8Bit().constData(), stderr);
    return 1;
}

// Creates path, which must not exist yet, with permissions, then writes text into it.
bool WriteNew(const QString& path, const QByteArray& text, QFile::Permissions permissions, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !file.setPermissions(permissions) ||
        file.write(text) != text.size() || !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

int RunKeygen(const QString& folder) {
    const QString secretPath = folder + QLatin1Char('/') + kSecretKeyName;
    const QString publicPath = folder + QLatin1Char('/') + kPublicKeyName;
    for (const QString& path : {secretPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            return Fail(QStringLiteral("%1 exists already; a key pair is never overwritten").arg(path));
        }
    }
    if (!QDir().mkpath(folder)) return Fail(QStringLiteral("cannot create the folder %1").arg(folder));
    const release::KeyPair pair = release::MakeKeyPair();
    if (pair.secretKeyText.isEmpty()) return Fail(QStringLiteral("the crypto library cannot start"));
    QString error;
    if (!WriteNew(secretPath, pair.secretKeyText, QFile::ReadOwner | QFile::WriteOwner, &error)) return Fail(error);
    if (!WriteNew(publicPath, pair.publicKeyText,
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther, &error)) {
        QFile::remove(secretPath);  // half a pair is of no use
        return Fail(error);
    }
    return 0;
}

bool ReadSecretKey(const QString& path, QByteArray* secretKeyText, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the sign key %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.read(kKeyFileLimit);
    if (release::DecodeKeyText(text, release::kSecretKeyBytes).isEmpty()) {
        *error = QStringLiteral("%1 holds no secret key of update-pack keygen").arg(path);
        return false;
    }
    *secretKeyText = text;
    return true;
}
