// The update manifest update.json: version texts and the list of files, one zip archive each,
// keyed by "/" + path below the install root + ".zip".
#pragma once

#include <QMap>
#include <QString>

// Map key of the manifest itself among the downloads, and its file name below the download
// directory and the release folder.
inline const QString kManifestKey = QStringLiteral("/update.json");

struct ManifestEntry {
    QString name;  // "/" + relative path of the installed file + ".zip"
    QString md5;   // lower-case hex MD5 of the installed file, compared exactly
    QString url;   // where the archive is downloaded from
};

using ManifestMap = QMap<QString, ManifestEntry>;

struct ManifestTexts {
    QString version;
    QString description;
    QString updateDate;
};

// Reads the manifest at path. Returns false when the text is not a JSON document: nothing is
// filled then. Otherwise texts gets the three strings (empty when missing or not strings), and
// when the object holds "filelist" the file map is cleared and refilled from it (first of
// duplicate names wins); without "filelist" the map keeps its content. A JSON document that is
// not an object gives empty texts and an unchanged map.
bool ReadManifest(const QString& path, ManifestTexts* texts, ManifestMap* files);

// The manifest as the install steps check it: path of each installed file ("/bin/app.dll", the
// entry name without its ".zip") -> MD5.
QMap<QString, QString> InstalledMd5s(const ManifestMap& files);
