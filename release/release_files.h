// Which files below a folder the updater manages, how each is keyed in the manifest and how its
// content is fingerprinted: the rules the walk, the install steps and update-pack all follow.
#pragma once

#include <QFileInfo>
#include <QString>

#include <optional>
#include <utility>

namespace release {

// Managed files have a dot in their name. QDir matches name filters ignoring letter case.
inline const QString kManagedNameFilter = QStringLiteral("*.*");
// Archives in a download folder: names ending in ".zip", in any letter case.
inline const QString kArchiveNameFilter = QStringLiteral("*.zip");

// Whether a file name passes kManagedNameFilter, the same test the walk applies.
bool IsManagedName(const QString& fileName);

// Hidden to the walk: a name with a leading dot, on every platform. The updater's own
// bookkeeping has such names (staging, partial and journal files), and no manifest key does.
// Windows' hidden attribute is a mark of the file like its read-only one: the walk lists such
// files, so that one an archive installed hidden is found again and not fetched on every run.
bool IsHiddenToTheWalk(const QFileInfo& info);
// What update-pack leaves out of a release as hidden: what the walk skips, and on Windows a file
// or folder with the hidden attribute too, which the archives it writes could not carry (and
// which is often the system's own, desktop.ini or Thumbs.db).
bool IsHidden(const QFileInfo& info);

// The walk over the files below folder whose names match nameFilter: plain files only (no
// symbolic links, and no FIFOs, sockets or devices, which could block the reader), hidden files
// skipped and hidden folders not entered, recursive: each folder's files, then its subfolders'.
// An entry's canonicalFilePath() is empty when the file vanished after it was listed.
QFileInfoList WalkFiles(const QString& folder, const QString& nameFilter = kManagedNameFilter);

// A file's key: its path below root, starting with "/" ("/bin/app.dll"). Only a leading root is
// removed, as spelled (letter case counts) and at a folder boundary; a root ending in "/" ("/",
// "C:/", "/opt/app/") is taken without that "/". Empty when path does not lie below root.
QString FileKey(const QString& path, const QString& root);

// Manifest name of a file, which is also its archive's path below the download folder:
// key + ".zip" ("/bin/app.dll" -> "/bin/app.dll.zip").
QString ArchiveName(const QString& key);

// Whether the updater manages the file of this key: no hidden folder or file on the way (a
// leading dot) and a file name with a dot. The walk never lists other files, so an entry for
// one could never be found installed and would be fetched on every run.
bool IsManagedKey(const QString& key);

// Whether a manifest name has the form "/" + relative path + ".zip": "/"-separated segments,
// none empty, "." or ".." (nor only dots and spaces, which Windows reads as such), and no "\"
// or ":" that another platform would take for a separator or a drive.
bool IsWellFormedArchiveName(const QString& name);

// Where the updater keeps a patch for the file of an archive name, below the download folder:
// the key + ".patch" ("/bin/app.dll.zip" -> "/bin/app.dll.patch").
QString PatchFileName(const QString& archiveName);

// The inverse of ArchiveName; nothing for a name that does not end in ".zip" (it names no file).
std::optional<QString> KeyOfArchive(const QString& archiveName);

// What an install keeps of a file it replaces: the file under its name + this suffix.
inline const QString kBackupSuffix = QStringLiteral(".bak");
// A release holding both a file and one of its backup's name ("/x.dll" and "/x.dll.bak") cannot
// be installed: the backup of the one takes the other's place. The first such key and its
// backup's key among keys, compared without regard to letter case (as Windows names files), or
// nothing.
std::optional<std::pair<QString, QString>> BackupClash(const QStringList& keys);

// Lower-case hex MD5 of the file's bytes, or an empty string when the file cannot be opened or
// read to the end (error, when given, then says why). The file is streamed through the hash in
// chunks, so memory use does not depend on its size.
QString FileMd5(const QString& path, QString* error = nullptr);

// Whether a manifest text is an MD5 at all: 32 hex digits, either case.
bool IsMd5Text(const QString& text);

// Whether a file's MD5 (from FileMd5) is the one a manifest gives. Hex digits compare ignoring
// letter case; a file without an MD5 (unreadable) matches nothing.
bool Md5Matches(const QString& fileMd5, const QString& manifestMd5);

}  // namespace release
