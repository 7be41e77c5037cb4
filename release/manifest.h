// The release format on the wire: the manifest update.json (version texts and the files, one zip
// archive each) and the version-check service's answer that announces it, read and written.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Map key of the manifest itself among the downloads, and its file name below the download
// directory and the release folder.
inline const QString kManifestKey = QStringLiteral("/update.json");

struct ManifestEntry {
    QString name;  // "/" + relative path of the installed file + ".zip"
    QString md5;   // hex MD5 of the installed file, compared ignoring letter case
    QString url;   // where the archive is downloaded from
};

using ManifestMap = QMap<QString, ManifestEntry>;

struct ManifestTexts {
    QString version;
    QString description;  // the change log; simple HTML such as <br> is shown as such
    QString updateDate;   // "yyyy.MM.dd" as update-pack writes it
};

// Reads the manifest at path. Returns false when the text is not a JSON document: nothing is
// filled then. Otherwise texts gets the three strings (empty when missing or not strings), and
// when the object holds "filelist" the file map is cleared and refilled from it (first of
// duplicate names wins); without "filelist" the map keeps its content. A JSON document that is
// not an object gives empty texts and an unchanged map.
bool ReadManifest(const QString& path, ManifestTexts* texts, ManifestMap* files);

// Reads the manifest of an update to act on. False, with problem saying why, unless the text is
// a JSON object whose "filelist" is an array (an empty one means nothing to do) of well-formed
// entries: a "name" of the form "/" + relative path + ".zip", an "md5" of 32 hex digits in either
// case and an http or https "url", all strings. A manifest with one bad entry is not used at
// all: whatever it would install could not be checked. Entries for files the updater does not
// manage (IsManagedKey) are left out of files and named in unmanaged; the first of duplicate
// names wins.
bool ReadUsableManifest(const QString& path, ManifestTexts* texts, ManifestMap* files, QString* problem,
                        QStringList* unmanaged);

// The manifest as the install steps check it: path of each installed file ("/bin/app.dll", the
// entry name without its ".zip") -> MD5.
QMap<QString, QString> InstalledMd5s(const ManifestMap& files);

// The text of update.json listing files in the given order, indented.
QByteArray ManifestJson(const ManifestTexts& texts, const QVector<ManifestEntry>& files);

// What the version-check service answers.
struct VersionAnswer {
    bool update = false;       // result.flag, a JSON boolean
    QString downloadUrl;       // result.downloadUrl, a JSON string: the manifest's URL
    bool forceUpdate = false;  // result.forceUpdate, a JSON boolean: install without asking
};

// Reads a response body. Anything but a JSON object, and members of another JSON type than
// expected, count as "no update" and empty or false values.
VersionAnswer ParseVersionAnswer(const QByteArray& body);

// A successful answer's body (code 0, msg "success") carrying answer as its result, indented.
QByteArray VersionAnswerJson(const VersionAnswer& answer);
