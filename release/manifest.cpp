// update.json is a UTF-8 JSON object with "version", "description", "updatedate" and "filelist"
// (an array of {"name", "md5", "url"}). The service answers {"code", "msg", "result": {"flag",
// "downloadUrl", "forceUpdate"}}; a reader takes only the result, with strict JSON types: the
// service decides, and a malformed answer must not start an update. Values of the wrong type
// read as empty. QJsonDocument writes keys in sorted order; readers look members up by name, so
// the order carries no meaning.
#include "manifest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "release_files.h"

namespace {

const QString kVersionKey = QStringLiteral("version");
const QString kDescriptionKey = QStringLiteral("description");
const QString kUpdateDateKey = QStringLiteral("updatedate");
const QString kFileListKey = QStringLiteral("filelist");
const QString kNameKey = QStringLiteral("name");
const QString kMd5Key = QStringLiteral("md5");
const QString kUrlKey = QStringLiteral("url");

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

QMap<QString, QString> InstalledMd5s(const ManifestMap& files) {
    QMap<QString, QString> md5s;
    for (const ManifestEntry& entry : files) {
        // The file walk keys every installed file by its archive name; other names name no file.
        if (const auto key = release::KeyOfArchive(entry.name)) md5s.insert(*key, entry.md5);
    }
    return md5s;
}

QByteArray ManifestJson(const ManifestTexts& texts, const QVector<ManifestEntry>& files) {
    QJsonArray list;
    for (const ManifestEntry& file : files) {
        list.append(QJsonObject{{kNameKey, file.name}, {kMd5Key, file.md5}, {kUrlKey, file.url}});
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
