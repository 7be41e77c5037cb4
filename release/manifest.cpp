// update.json is a UTF-8 JSON object with "version", "description", "updatedate" and "filelist"
// (an array of {"name", "md5", "url"}, with "sha256" and "size" where update-pack wrote them, and
// "patches" [{"from", "url", "size", "sha256"}] where it made patches against older versions).
// The service answers {"code", "msg", "result": {"flag", "downloadUrl", "forceUpdate"}}; a reader
// takes only the result, with strict JSON types: the service decides, and a malformed answer must
// not start an update. Values of the wrong type read as empty. QJsonDocument writes keys in sorted
// order; readers look members up by name, so the order carries no meaning.
#include "manifest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

#include "release_files.h"

namespace {

const QString kVersionKey = QStringLiteral("version");
const QString kDescriptionKey = QStringLiteral("description");
const QString kUpdateDateKey = QStringLiteral("updatedate");
const QString kFileListKey = QStringLiteral("filelist");
const QString kNameKey = QStringLiteral("name");
const QString kMd5Key = QStringLiteral("md5");
const QString kUrlKey = QStringLiteral("url");
const QString kSha256Key = QStringLiteral("sha256");
const QString kSizeKey = QStringLiteral("size");
const QString kPatchesKey = QStringLiteral("patches");
const QString kFromKey = QStringLiteral("from");

// JSON numbers are doubles: whole numbers up to 2^53 are exact, which covers any archive.
constexpr double kLargestExactSize = 9007199254740992.0;

const QString kCodeKey = QStringLiteral("code");
const QString kMessageKey = QStringLiteral("msg");
const QString kResultKey = QStringLiteral("result");
const QString kFlagKey = QStringLiteral("flag");
const QString kDownloadUrlKey = QStringLiteral("downloadUrl");
const QString kForceUpdateKey = QStringLiteral("forceUpdate");

}  // namespace

bool ReadManifest(const QString& path, ManifestTexts* texts, ManifestMap* files) {
    QByteArray text;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) text = file.readAll();  // unreadable: empty text

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) return false;

    // A document that is an array reads as an empty object.
    const QJsonObject root = document.object();
    texts->version = root.value(kVersionKey).toString();
    texts->description = root.value(kDescriptionKey).toString();
    texts->updateDate = root.value(kUpdateDateKey).toString();

    if (root.contains(kFileListKey)) {
        files->clear();
        const QJsonArray list = root.value(kFileListKey).toArray();
        for (const QJsonValue& element : list) {
            const QJsonObject item = element.toObject();
            ManifestEntry entry{item.value(kNameKey).toString(), item.value(kMd5Key).toString(),
                                item.value(kUrlKey).toString()};
            if (!files->contains(entry.name)) files->insert(entry.name, entry);
        }
    }
    return true;
}

namespace {

bool IsSha256Text(const QJsonValue& value) {
    static const QRegularExpression kSha256(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return value.isString() && kSha256.match(value.toString()).hasMatch();
}

// A JSON number that is a whole number of bytes; -1 when it is not.
qint64 ByteCount(const QJsonValue& value) {
    const double bytes = value.toDouble(-1);
    if (!value.isDouble() || bytes < 0 || bytes > kLargestExactSize || bytes != static_cast<double>(qint64(bytes))) {
        return -1;
    }
    return static_cast<qint64>(bytes);
}

// Read as the download worker reads it.
bool IsDownloadUrl(const QString& url) {
    const QUrl address(url, QUrl::TolerantMode);
    const QString scheme = address.scheme();
    return address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !address.host().isEmpty();
}

// The well-formed elements of an entry's "patches", the first of each "from".
QVector<PatchEntry> Patches(const QJsonValue& value) {
    QVector<PatchEntry> patches;
    for (const QJsonValue& element : value.toArray()) {
        const QJsonObject item = element.toObject();
        const QJsonValue from = item.value(kFromKey), url = item.value(kUrlKey), sha256 = item.value(kSha256Key);
        const qint64 size = ByteCount(item.value(kSizeKey));
        if (!from.isString() || !release::IsMd5Text(from.toString()) || !url.isString() ||
            !IsDownloadUrl(url.toString()) || !IsSha256Text(sha256) || size < 0) {
            continue;
        }
        const QString fromMd5 = from.toString().toLower();
        const bool known = std::any_of(patches.cbegin(), patches.cend(), [&](const PatchEntry& p) { return p.from == fromMd5; });
        if (!known) patches.push_back({fromMd5, url.toString(), size, sha256.toString().toLower()});
    }
    return patches;
}

// Why an element of "filelist" is no usable entry, or an empty string when it is one.
QString EntryProblem(const QJsonValue& element, ManifestEntry* entry) {
    const QJsonObject item = element.toObject();
    const QJsonValue name = item.value(kNameKey), md5 = item.value(kMd5Key), url = item.value(kUrlKey);
    if (!element.isObject() || !name.isString() || !md5.isString() || !url.isString()) {
        return QStringLiteral("an entry is not an object of three strings \"name\", \"md5\", \"url\"");
    }
    *entry = ManifestEntry{name.toString(), md5.toString(), url.toString()};
    if (!release::IsWellFormedArchiveName(entry->name)) {
        return QStringLiteral("the entry name \"%1\" is not \"/\" + relative path + \".zip\"").arg(entry->name);
    }
    if (!release::IsMd5Text(entry->md5)) {
        return QStringLiteral("the entry %1 has no MD5 of 32 hex digits").arg(entry->name);
    }
    const QJsonValue sha256 = item.value(kSha256Key), size = item.value(kSizeKey);
    if (!sha256.isUndefined()) {
        if (!IsSha256Text(sha256)) {
            return QStringLiteral("the entry %1 has a \"sha256\" that is not 64 hex digits").arg(entry->name);
        }
        entry->sha256 = sha256.toString().toLower();
    }
    if (!size.isUndefined()) {
        entry->size = ByteCount(size);
        if (entry->size < 0) return QStringLiteral("the entry %1 has a \"size\" that is no number of bytes").arg(entry->name);
    }
    if (!IsDownloadUrl(entry->url)) return QStringLiteral("the entry %1 has no http or https URL").arg(entry->name);
    entry->patches = Patches(item.value(kPatchesKey));
    return QString();
}

}  // namespace

bool ReadUsableManifest(const QString& path, ManifestTexts* texts, ManifestMap* files, QString* problem,
                        QStringList* unmanaged) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        files->clear();
        unmanaged->clear();
        *problem = QStringLiteral("the manifest cannot be read");
        return false;
    }
    return ParseUsableManifest(file.readAll(), texts, files, problem, unmanaged);
}

bool ParseUsableManifest(const QByteArray& text, ManifestTexts* texts, ManifestMap* files, QString* problem,
                         QStringList* unmanaged) {
    files->clear();
    unmanaged->clear();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *problem = QStringLiteral("the manifest is not a JSON object");
        return false;
    }
    const QJsonObject root = document.object();
    if (!root.value(kFileListKey).isArray()) {
        *problem = QStringLiteral("the manifest has no \"filelist\" array");
        return false;
    }
    ManifestMap entries;
    for (const QJsonValue& element : root.value(kFileListKey).toArray()) {
        ManifestEntry entry;
        *problem = EntryProblem(element, &entry);
        if (!problem->isEmpty()) return false;
        if (!release::IsManagedKey(*release::KeyOfArchive(entry.name))) {
            unmanaged->append(entry.name);
        } else if (!entries.contains(entry.name)) {
            entries.insert(entry.name, entry);
        }
    }
    QStringList keys;
    for (const ManifestEntry& entry : entries) keys.append(*release::KeyOfArchive(entry.name));
    if (const auto clash = release::BackupClash(keys)) {
        *problem = QStringLiteral("the release holds both %1 and %2, which the backup of the first would replace")
                       .arg(clash->first, clash->second);
        return false;
    }
    texts->version = root.value(kVersionKey).toString();
    texts->description = root.value(kDescriptionKey).toString();
    texts->updateDate = root.value(kUpdateDateKey).toString();
    *files = entries;
    return true;
}

QMap<QString, QString> InstalledMd5s(const ManifestMap& files) {
    QMap<QString, QString> md5s;
    for (const ManifestEntry& entry : files) {
        // The file walk keys every installed file by its archive name; other names name no file.
        if (const auto key = release::KeyOfArchive(entry.name)) md5s.insert(*key, entry.md5);
    }
    return md5s;
}

QMap<QString, QString> ArchiveSha256s(const ManifestMap& files) {
    QMap<QString, QString> digests;
    for (const ManifestEntry& entry : files) digests.insert(entry.name, entry.sha256);
    return digests;
}

QMap<QString, qint64> DeclaredSizes(const ManifestMap& files) {
    QMap<QString, qint64> sizes;
    for (const ManifestEntry& entry : files) {
        if (entry.size >= 0) sizes.insert(entry.name, entry.size);
    }
    return sizes;
}

std::optional<int> CompareVersions(const QString& a, const QString& b) {
    static const QRegularExpression kVersion(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    if (!kVersion.match(a).hasMatch() || !kVersion.match(b).hasMatch()) return std::nullopt;
    const QStringList left = a.split(QLatin1Char('.')), right = b.split(QLatin1Char('.'));
    // Parts are compared as digit strings without leading zeros (shorter is smaller), so no part
    // is too long to compare; a missing part counts as 0.
    const auto part = [](const QStringList& parts, int i) {
        QString digits = i < parts.size() ? parts.at(i) : QString();
        while (digits.startsWith(QLatin1Char('0'))) digits.remove(0, 1);
        return digits;
    };
    for (int i = 0; i < qMax(left.size(), right.size()); ++i) {
        const QString x = part(left, i), y = part(right, i);
        if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
        if (const int order = x.compare(y)) return order < 0 ? -1 : 1;
    }
    return 0;
}

QByteArray ManifestJson(const ManifestTexts& texts, const QVector<ManifestEntry>& files) {
    QJsonArray list;
    for (const ManifestEntry& file : files) {
        QJsonObject entry{{kNameKey, file.name}, {kMd5Key, file.md5}, {kUrlKey, file.url}};
        if (!file.sha256.isEmpty()) entry.insert(kSha256Key, file.sha256);
        if (file.size >= 0) entry.insert(kSizeKey, static_cast<double>(file.size));
        if (!file.patches.isEmpty()) {
            QJsonArray patches;
            for (const PatchEntry& patch : file.patches) {
                patches.append(QJsonObject{{kFromKey, patch.from},
                                           {kUrlKey, patch.url},
                                           {kSizeKey, static_cast<double>(patch.size)},
                                           {kSha256Key, patch.sha256}});
            }
            entry.insert(kPatchesKey, patches);
        }
        list.append(entry);
    }
    const QJsonObject root{{kVersionKey, texts.version},
                           {kDescriptionKey, texts.description},
                           {kUpdateDateKey, texts.updateDate},
                           {kFileListKey, list}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

VersionAnswer ParseVersionAnswer(const QByteArray& body) {
    VersionAnswer answer;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) return answer;
    const QJsonObject result = document.object().value(kResultKey).toObject();
    answer.update = result.value(kFlagKey).toBool(false);
    answer.downloadUrl = result.value(kDownloadUrlKey).toString();
    answer.forceUpdate = result.value(kForceUpdateKey).toBool(false);
    return answer;
}

QByteArray VersionAnswerJson(const VersionAnswer& answer) {
    const QJsonObject result{{kFlagKey, answer.update},
                             {kDownloadUrlKey, answer.downloadUrl},
                             {kForceUpdateKey, answer.forceUpdate}};
    const QJsonObject body{{kCodeKey, 0}, {kMessageKey, QStringLiteral("success")}, {kResultKey, result}};
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}
