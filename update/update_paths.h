// The directory layout shared by the updater and the helper: everything lies relative to the
// folder of the running program, joined as plain text with '/' separators.
#pragma once

#include <QString>

namespace UpdatePaths {

// Name of the download directory below the program's folder.
inline const QString kDownloadDirName = QStringLiteral("download");
// Map key and file name of the manifest inside the download directory.
inline const QString kManifestKey = QStringLiteral("/update.json");
// The empty file whose presence marks a finished silent download.
inline const QString kMarkerName = QStringLiteral("/local.ini");

// QCoreApplication::applicationDirPath(): forward slashes, no trailing slash.
QString AppDir();
// AppDir + "/download".
QString DownloadDir();
// DownloadDir + "/update.json".
QString ManifestPath();
// DownloadDir + "/local.ini".
QString MarkerPath();
// AppDir + "/../.." (not normalised: the file system resolves the dots).
QString InstallRoot();
// AppDir + "/ZEBAssistant.exe".
QString MainAppPath();
// AppDir + "/helper.exe".
QString HelperPath();
// AppDir + "/update.exe".
QString UpdaterPath();

}  // namespace UpdatePaths
