// The base is checked and normalised by QUrl; archive names are percent-encoded by hand, so that
// every byte but the unreserved ones and "/" is encoded whatever QUrl would leave as it is.
#include "download_urls.h"

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

QString ArchiveUrl(const QString& base, const QString& name) {
    return base + QString::fromLatin1(name.toUtf8().toPercentEncoding("/"));
}
