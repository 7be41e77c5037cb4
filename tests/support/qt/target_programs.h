// Which build of the programs a process test runs: this build's own, or, when the variable
// UPDATER_WINDOWS_PROGRAMS names the deployed folder of the Windows build (its app/bin), that
// build's programs under Wine. The same tests then prove the same behaviour of both builds.
// The Windows build's test run sets, besides, UPDATER_WINDOWS_STANDINS (its stand-ins),
// UPDATER_WINDOWS_PLUGINS (its plugin folder: the window driver, the offscreen platform) and
// UPDATER_WINE (the loader); the Wine prefix comes from WINEPREFIX.
#pragma once

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace target {

// Whether the programs are the Windows build's.
bool IsWindows();

// Copies the programs into bin: natively the given files (update.exe, helper.exe, ...); for the
// Windows build the programs of those names from its deployed folder, with its DLLs and plugins.
bool LayPrograms(const QString& bin, const QStringList& nativePrograms);
// The stand-in for fileName: natively in standinDir, else the Windows build's.
QString Standin(const QString& standinDir, const QString& fileName);
// The folder holding the window driver plugin (its "generic" folder).
QString PluginPath(const QString& nativePluginPath);

// Sets a variable the program will see: Wine hands Unix variables named QT_* to Windows
// programs only under a "WINE" prefix, and Unix paths become paths on Wine's drive Z:.
void SetVariable(QProcessEnvironment& environment, const QString& name, const QString& value);
// Starts program (a file of an installation) with arguments, under Wine for the Windows build.
void Start(QProcess& process, const QString& program, const QStringList& arguments);

// Sets Internet Options' proxy in the Wine prefix, as the settings dialog does: the fixed proxy
// hostPort ("127.0.0.1:3128") for every address, or none when hostPort is empty.
bool SetWindowsProxy(const QString& hostPort);

// Ids of the processes running one of files (full paths).
QList<qint64> Running(const QStringList& files);

}  // namespace target
