// Release signatures: the Ed25519 keys and detached signatures of signed releases, and the
// SHA-256 of a downloaded file. Every use of the crypto library lives in this unit.
#pragma once

#include <QByteArray>
#include <QString>

namespace release {

// Keys and signatures travel as text: one line of standard base64 (with "=" padding) of the
// raw bytes. Surrounding white space, a final line break included, is ignored when read.
constexpr int kPublicKeyBytes = 32;
constexpr int kSecretKeyBytes = 64;
constexpr int kSignatureBytes = 64;

// The raw bytes of a key or signature text holding exactly `bytes` bytes; empty when the text
// is not strict base64 or decodes to another length.
QByteArray DecodeKeyText(const QByteArray& text, int bytes);
// One line of base64 of raw, ending in "\n": how keys and signatures are written.
QByteArray EncodeKeyText(const QByteArray& raw);

// Whether signatureText (a signature text) is the publisher's detached signature of message
// under publicKeyText (a public key text). False for a malformed key or signature as well.
bool VerifySignature(const QByteArray& message, const QByteArray& signatureText, const QByteArray& publicKeyText);

struct KeyPair {
    QByteArray publicKeyText;
    QByteArray secretKeyText;
};
// A fresh key pair from the system's random source, both halves as key texts; empty texts when
// the crypto library cannot start.
KeyPair MakeKeyPair();
// The signature text of message under secretKeyText; empty when the key text is malformed.
QByteArray Sign(const QByteArray& message, const QByteArray& secretKeyText);

// Lower-case hex SHA-256 of the file's bytes, or an empty string when the file cannot be opened
// or read to the end (error, when given, then says why). Streamed in chunks like FileMd5.
QString FileSha256(const QString& path, QString* error = nullptr);

}  // namespace release
