// Ed25519 (crypto_sign_*) and SHA-256 (crypto_hash_sha256_*) from libsodium. Nothing here is
// hand-written cryptography: the unit only moves bytes between files, base64 texts and the
// library, checking every length on the way.
#include "release_signature.h"

#include <QFile>

#include <sodium.h>

namespace release {

namespace {

// Bytes read per system call while hashing, as for FileMd5.
constexpr int kReadChunk = 64 * 1024;

// sodium_init() may be called any number of times from any thread; it picks the fastest
// implementations and opens the random source. -1 means the library cannot be used at all.
bool SodiumReady() { return sodium_init() >= 0; }

const unsigned char* Bytes(const QByteArray& data) { return reinterpret_cast<const unsigned char*>(data.constData()); }
unsigned char* Bytes(QByteArray& data) { return reinterpret_cast<unsigned char*>(data.data()); }

static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(kSecretKeyBytes == crypto_sign_SECRETKEYBYTES, "Ed25519 secret key size");
static_assert(kSignatureBytes == crypto_sign_BYTES, "Ed25519 signature size");

}  // namespace

QByteArray DecodeKeyText(const QByteArray& text, int bytes) {
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes) return QByteArray();
    return decoded.decoded;
}

QByteArray EncodeKeyText(const QByteArray& raw) { return raw.toBase64() + '\n'; }

bool VerifySignature(const QByteArray& message, const QByteArray& signatureText, const QByteArray& publicKeyText) {
    const QByteArray key = DecodeKeyText(publicKeyText, kPublicKeyBytes);
    const QByteArray signature = DecodeKeyText(signatureText, kSignatureBytes);
    if (key.isEmpty() || signature.isEmpty() || !SodiumReady()) return false;
    return crypto_sign_verify_detached(Bytes(signature), Bytes(message), static_cast<unsigned long long>(message.size()),
                                       Bytes(key)) == 0;
}

KeyPair MakeKeyPair() {
    if (!SodiumReady()) return {};
    QByteArray publicKey(kPublicKeyBytes, Qt::Uninitialized);
    QByteArray secretKey(kSecretKeyBytes, Qt::Uninitialized);
    crypto_sign_keypair(Bytes(publicKey), Bytes(secretKey));
    KeyPair pair{EncodeKeyText(publicKey), EncodeKeyText(secretKey)};
    sodium_memzero(secretKey.data(), static_cast<size_t>(secretKey.size()));
    return pair;
}

QByteArray Sign(const QByteArray& message, const QByteArray& secretKeyText) {
    QByteArray secretKey = DecodeKeyText(secretKeyText, kSecretKeyBytes);
    if (secretKey.isEmpty() || !SodiumReady()) return QByteArray();
    QByteArray signature(kSignatureBytes, Qt::Uninitialized);
    crypto_sign_detached(Bytes(signature), nullptr, Bytes(message), static_cast<unsigned long long>(message.size()),
                         Bytes(secretKey));
    sodium_memzero(secretKey.data(), static_cast<size_t>(secretKey.size()));
    return EncodeKeyText(signature);
}

QString FileSha256(const QString& path, QString* error) {
    if (!SodiumReady()) {
        if (error) *error = QStringLiteral("the crypto library cannot start");
        return QString();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error) *error = file.errorString();
        return QString();
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    qint64 got;
    while ((got = file.read(buffer.data(), buffer.size())) > 0) {
        crypto_hash_sha256_update(&state, Bytes(buffer), static_cast<unsigned long long>(got));
    }
    if (got < 0) {
        if (error) *error = file.errorString();
        return QString();
    }
    QByteArray digest(crypto_hash_sha256_BYTES, Qt::Uninitialized);
    crypto_hash_sha256_final(&state, Bytes(digest));
    return QString::fromLatin1(digest.toHex());
}

}  // namespace release
