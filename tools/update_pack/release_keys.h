// The publisher's key files: update-pack keygen makes a pair, and --sign-key reads the secret
// half back.
#pragma once

#include <QByteArray>
#include <QString>

// File names written by keygen: the secret key (owner-only) and the public key, each one line of
// base64 (release_signature.h).
inline const QString kSecretKeyName = QStringLiteral("release.key");
inline const QString kPublicKeyName = QStringLiteral("release.pub");

// Writes a fresh key pair into folder (created when missing). Refuses, writing nothing, when
// either file is already there: a lost secret key cannot be made again, and releases signed
// with it would no longer install. Returns the process exit code, reporting on stderr.
int RunKeygen(const QString& folder);

// Reads the secret key file at path into secretKeyText. False with error when it cannot be read
// or holds no secret key.
bool ReadSecretKey(const QString& path, QByteArray* secretKeyText, QString* error);
