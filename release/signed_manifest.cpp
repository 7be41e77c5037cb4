// update.json.sig is one line of base64: the 64-byte Ed25519 signature of update.json exactly as
// served, before any parsing. Signing the bytes, not a re-serialised form, means the updater
// needs no canonical JSON and a single changed byte anywhere is refused.
#include "signed_manifest.h"

#include <QFile>

#include "release_signature.h"

namespace {

// A signature text is 89 bytes; anything much longer is no signature and is not read whole.
constexpr qint64 kSignatureTextLimit = 1024;

}  // namespace

bool ReadSignedManifest(const QString& path, const QString& signaturePath, const QByteArray& publicKeyText,
                        const QString& currentVersion, ManifestTexts* texts, ManifestMap* files, QString* problem,
                        QStringList* unmanaged) {
    files->clear();
    unmanaged->clear();
    QFile manifest(path);
    QFile signature(signaturePath);
    if (!manifest.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("the manifest cannot be read");
        return false;
    }
    if (!signature.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("the manifest's signature cannot be read");
        return false;
    }
    const QByteArray text = manifest.readAll();
    if (!release::VerifySignature(text, signature.read(kSignatureTextLimit), publicKeyText)) {
        *problem = QStringLiteral("the manifest's signature does not verify under the built-in key");
        return false;
    }
    ManifestTexts read;
    ManifestMap entries;
    if (!ParseUsableManifest(text, &read, &entries, problem, unmanaged)) return false;
    for (const ManifestEntry& entry : entries) {
        if (entry.sha256.isEmpty()) {
            *problem = QStringLiteral("the entry %1 has no \"sha256\"").arg(entry.name);
            return false;
        }
    }
    const std::optional<int> order = CompareVersions(read.version, currentVersion);
    if (!order || *order < 0) {
        *problem = QStringLiteral("the version \"%1\" is not at least this program's %2").arg(read.version, currentVersion);
        return false;
    }
    *texts = read;
    *files = entries;
    return true;
}
