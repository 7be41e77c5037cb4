// What the download server publishes about a release: the manifest update.json and the answer
// the version-check service gives for it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

struct ManifestFile {
    QString relativePath;  // below the install root, "/" separators
    QString md5;           // lower-case hex MD5 of the file's content
};

struct ReleaseTexts {
    QString version;
    QString description;  // the change log; simple HTML such as <br> is shown as such
    QString updateDate;   // "yyyy.MM.dd"
};

// Checks a base URL given by the publisher: absolute, http or https, a host, no query or
// fragment. Returns it fully percent-encoded without a trailing "/", or an empty string with
// error set.
QString NormaliseBaseUrl(const QString& input, QString* error);

// Manifest name of a file: "/" + its relative path + ".zip" ("bin/app.dll" -> "/bin/app.dll.zip").
// The archive lies at the same path below the output folder.
QString ArchiveName(const QString& relativePath);

// Download URL of an archive: the normalised base + its name, each byte of the UTF-8 name
// percent-encoded except unreserved characters and "/".
QString ArchiveUrl(const QString& base, const QString& name);

// update.json: UTF-8 JSON with "version", "description", "updatedate" and "filelist", one
// {"name", "md5", "url"} object per file.
QByteArray ManifestJson(const ReleaseTexts& texts, const QString& base, const QVector<ManifestFile>& files);

// The version-check service's answer announcing this release: its manifest lies at
// base + "/update.json"; force makes the updater install without asking.
QByteArray ServiceAnswerJson(const QString& base, bool force);
