// The release format on the wire: the manifest update.json (version texts and the files, one zip
// archive each) and the version-check service's answer that announces it, read and written.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// Map key of the manifest itself among the downloads, and its file name below the download
// directory and the release folder.
inline const QString kManifestKey = QStringLiteral("/update.json");
// The same for the publisher's detached signature of the manifest's exact bytes (signed releases).
inline const QString kSignatureKey = QStringLiteral("/update.json.sig");

// A patch that rebuilds an entry's file from one older version of it: from, the MD5 (lower-case
// hex) of that older file's content; the patch file's URL, bytes and SHA-256 (lower-case hex).
struct PatchEntry {
    QString from;
    QString url;
    qint64 size = -1;
    QString sha256;
};

struct ManifestEntry {
    QString name;  // "/" + relative path of the installed file + ".zip"
    QString md5;   // hex MD5 of the installed file, compared ignoring letter case
    QString url;   // where the archive is downloaded from
    // Optional members older updaters ignore. sha256: lower-case hex SHA-256 of the archive as
    // downloaded (empty when absent); a signed update requires it. size: the archive's bytes
    // (-1 when absent); a download that goes past it is given up.
    QString sha256{};
    qint64 size = -1;
    // "patches": an updater whose installed file has one's "from" MD5 may fetch it instead of the
    // archive. Well-formed ones only (every member present and valid); the others are left out,
    // since a patch only ever saves bytes and the archive serves without it.
    QVector<PatchEntry> patches{};
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
// case and an http or https "url", all strings, and when present a "sha256" string of 64 hex
// digits and a "size" that is a whole number of bytes, not negative. A manifest with one bad entry is not used at
// all: whatever it would install could not be checked. Entries for files the updater does not
// manage (IsManagedKey) are left out of files and named in unmanaged; the first of duplicate
// names wins.
bool ReadUsableManifest(const QString& path, ManifestTexts* texts, ManifestMap* files, QString* problem,
                        QStringList* unmanaged);
// The same over the manifest's text.
bool ParseUsableManifest(const QByteArray& text, ManifestTexts* texts, ManifestMap* files, QString* problem,
                         QStringList* unmanaged);

// The manifest as the install steps check it: path of each installed file ("/bin/app.dll", the
// entry name without its ".zip") -> MD5.
QMap<QString, QString> InstalledMd5s(const ManifestMap& files);

// Archive name -> "sha256" of each entry (empty for an entry without one), for the check of the
// downloaded archives of a signed update.
QMap<QString, QString> ArchiveSha256s(const ManifestMap& files);
// Archive name -> "size" of each entry that declares one.
QMap<QString, qint64> DeclaredSizes(const ManifestMap& files);

// Compares two version texts numerically, part by part, parts separated by "." ("1.10" is above
// "1.9"; "1.4" equals "1.4.0"). Negative, zero or positive as a is below, equal to or above b;
// nothing when either is not one or more "."-separated runs of decimal digits.
std::optional<int> CompareVersions(const QString& a, const QString& b);

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
