// Manifest reading: a UTF-8 JSON object with "version", "description", "updatedate" and
// "filelist" (an array of {"name", "md5", "url"}). Values of the wrong type read as empty.
#include "manifest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

bool ReadManifest(const QString& path, ManifestTexts* texts, ManifestMap* files) {
    QByteArray text;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) text = file.readAll();  // unreadable: empty text

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) return false;

    // A document that is an array reads as an empty object.
    const QJsonObject root = document.object();
    texts->version = root.value("version").toString();
    texts->description = root.value("description").toString();
    texts->updateDate = root.value("updatedate").toString();

    if (root.contains("filelist")) {
        files->clear();
        const QJsonArray list = root.value("filelist").toArray();
        for (const QJsonValue& element : list) {
            const QJsonObject item = element.toObject();
            ManifestEntry entry{item.value("name").toString(), item.value("md5").toString(),
                                item.value("url").toString()};
            if (!files->contains(entry.name)) files->insert(entry.name, entry);
        }
    }
    return true;
}

QMap<QString, QString> InstalledMd5s(const ManifestMap& files) {
    static const QString kArchiveSuffix = QStringLiteral(".zip");
    QMap<QString, QString> md5s;
    for (const ManifestEntry& entry : files) {
        // The file walk keys every installed file by its path + ".zip"; other names name no file.
        if (entry.name.endsWith(kArchiveSuffix)) md5s.insert(entry.name.chopped(kArchiveSuffix.size()), entry.md5);
    }
    return md5s;
}
