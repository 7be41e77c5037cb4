// Every path is plain text joined on the program's folder with '/', as both programs expect.
#include "update_layout.h"

#include <QCoreApplication>


UpdateLayout::UpdateLayout(const QString& programDir) : programDir_(programDir) {}

UpdateLayout UpdateLayout::OfRunningProgram() { return UpdateLayout(QCoreApplication::applicationDirPath()); }

QString UpdateLayout::ProgramFolder(const QString& name) const { return programDir_ + "/" + name; }
QString UpdateLayout::DownloadDir() const { return ProgramFolder(kDownloadDirName); }
QString UpdateLayout::LogDir() const { return ProgramFolder(kLogDirName); }
QString UpdateLayout::InstallRoot() const { return programDir_ + "/../.."; }
QString UpdateLayout::AssistantPath() const { return ProgramFolder(kAssistantImage); }
QString UpdateLayout::HelperPath() const { return ProgramFolder(kHelperImage); }
QString UpdateLayout::UpdaterPath() const { return ProgramFolder(kUpdaterImage); }
