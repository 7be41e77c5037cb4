// Paths built by concatenation on the program's folder, exactly as both programs expect them.
#include "update_paths.h"

#include <QCoreApplication>

namespace UpdatePaths {

QString AppDir() { return QCoreApplication::applicationDirPath(); }
QString DownloadDir() { return AppDir() + "/" + kDownloadDirName; }
QString ManifestPath() { return DownloadDir() + kManifestKey; }
QString MarkerPath() { return DownloadDir() + kMarkerName; }
QString InstallRoot() { return AppDir() + "/../.."; }
QString MainAppPath() { return AppDir() + "/ZEBAssistant.exe"; }
QString HelperPath() { return AppDir() + "/helper.exe"; }
QString UpdaterPath() { return AppDir() + "/update.exe"; }

}  // namespace UpdatePaths
