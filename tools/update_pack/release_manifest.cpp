// Manifest and service answer texts. QJsonDocument writes keys in sorted order; readers look
// members up by name, so the order carries no meaning.
#include "release_manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

QString NormaliseBaseUrl(const QString& input, QString* error) {
    const QUrl url(input, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        *error = QStringLiteral("the base URL \"%1\" must start with http:// or https://").arg(input);
        return QString();
    }
    if (url.host().isEmpty()) {
        *error = QStringLiteral("the base URL \"%1\" names no host").arg(input);
        return QString();
    }
    // Archive names are appended to the path; behind a query or fragment they would mean nothing.
    if (url.hasQuery() || url.hasFragment()) {
        *error = QStringLiteral("the base URL \"%1\" must not have a query or a fragment").arg(input);
        return QString();
    }
    QString base = url.toString(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    return base;
}

QString ArchiveName(const QString& relativePath) {
    return QLatin1Char('/') + relativePath + QStringLiteral(".zip");
}

QString ArchiveUrl(const QString& base, const QString& name) {
    return base + QString::fromLatin1(name.toUtf8().toPercentEncoding("/"));
}

QByteArray ManifestJson(const ReleaseTexts& texts, const QString& base, const QVector<ManifestFile>& files) {
    QJsonArray list;
    for (const ManifestFile& file : files) {
        const QString name = ArchiveName(file.relativePath);
        list.append(QJsonObject{{"name", name}, {"md5", file.md5}, {"url", ArchiveUrl(base, name)}});
    }
    const QJsonObject root{{"version", texts.version},
                           {"description", texts.description},
                           {"updatedate", texts.updateDate},
                           {"filelist", list}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray ServiceAnswerJson(const QString& base, bool force) {
    const QJsonObject result{{"flag", true},
                             {"downloadUrl", base + QStringLiteral("/update.json")},
                             {"forceUpdate", force}};
    const QJsonObject answer{{"code", 0}, {"msg", "success"}, {"result", result}};
    return QJsonDocument(answer).toJson(QJsonDocument::Indented);
}
