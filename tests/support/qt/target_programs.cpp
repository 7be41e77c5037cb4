#include "target_programs.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace target {

namespace {

QString Variable(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

bool CopyFile(const QString& from, const QString& to) {
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::permissions(from));
}

// A path as a Windows program under Wine reads it, lower case, '/' separated: drive Z: is /.
QString Comparable(QString path) {
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1String("z:/"), Qt::CaseInsensitive)) path = path.mid(2);
    return IsWindows() ? path.toLower() : path;
}

}  // namespace

bool IsWindows() { return !Variable("UPDATER_WINDOWS_PROGRAMS").isEmpty(); }

bool SetWindowsProxy(const QString& hostPort) {
    const QString settings = QStringLiteral(R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings)");
    const auto reg = [](const QString& key, const QString& name, const QString& type, const QString& data) {
        return QProcess::execute(Variable("UPDATER_WINE"), {"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"}) == 0;
    };
    // The dialog keeps its settings twice: as values, and as one record per connection that
    // WinHTTP reads: a version (0x46), a counter, flags (1 straight, 2 through a proxy), then
    // the proxy, the bypass list and the PAC address, each a length and its bytes.
    const auto dword = [](quint32 value) {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
        return bytes;
    };
    const QByteArray proxy = hostPort.toLatin1();
    const QByteArray record = dword(0x46) + dword(1) + dword(proxy.isEmpty() ? 1 : 3) + dword(proxy.size()) +
                              proxy + dword(0) + dword(0) + QByteArray(32, '\0');
    return reg(settings, "ProxyEnable", "REG_DWORD", proxy.isEmpty() ? "0" : "1") &&
           reg(settings, "ProxyServer", "REG_SZ", hostPort) &&
           reg(settings + "\\Connections", "DefaultConnectionSettings", "REG_BINARY",
               QString::fromLatin1(record.toHex()));
}

bool LayPrograms(const QString& bin, const QStringList& nativePrograms) {
    if (!QDir().mkpath(bin)) return false;
    if (!IsWindows()) {
        for (const QString& program : nativePrograms) {
            if (!CopyFile(program, bin + "/" + QFileInfo(program).fileName())) return false;
        }
        return true;
    }
    QStringList wanted;
    for (const QString& program : nativePrograms) wanted.append(QFileInfo(program).fileName());
    const QString deployed = Variable("UPDATER_WINDOWS_PROGRAMS");
    const QDir base(deployed);
    QDirIterator it(deployed, QDir::Files, QDirIterator::Subdirectories);
    bool any = false;
    while (it.hasNext()) {
        const QString relative = base.relativeFilePath(it.next());
        // The named programs and whatever they load; the other programs are left to the test.
        if (relative.endsWith(QLatin1String(".exe")) && !wanted.contains(relative)) continue;
        const QString target = bin + "/" + relative;
        if (!QDir().mkpath(QFileInfo(target).path()) || !CopyFile(it.filePath(), target)) return false;
        any = true;
    }
    return any;
}

QString Standin(const QString& standinDir, const QString& fileName) {
    return (IsWindows() ? Variable("UPDATER_WINDOWS_STANDINS") : standinDir) + "/" + fileName;
}

QString PluginPath(const QString& nativePluginPath) {
    return IsWindows() ? Variable("UPDATER_WINDOWS_PLUGINS") : nativePluginPath;
}

void SetVariable(QProcessEnvironment& environment, const QString& name, const QString& value) {
    if (!IsWindows()) {
        environment.insert(name, value);
        return;
    }
    // The POSIX guard's folders mean nothing to Windows programs (their guard is a named mutex),
    // and Wine's loader finds its server below TMPDIR: both stay as the test run has them.
    if (name == QLatin1String("TMPDIR") || name == QLatin1String("XDG_RUNTIME_DIR")) return;
    const QString windowsValue = value.startsWith(QLatin1Char('/')) ? "Z:" + value : value;
    environment.insert(name.startsWith(QLatin1String("QT_")) ? "WINE" + name : name, windowsValue);
}

void Start(QProcess& process, const QString& program, const QStringList& arguments) {
    if (IsWindows()) {
        process.start(Variable("UPDATER_WINE"), QStringList{program} + arguments);
    } else {
        process.start(program, arguments);
    }
}

QList<qint64> Running(const QStringList& files) {
    QStringList wanted;
    for (const QString& file : files) {
        const QFileInfo info(file);
        const QString folder = QFileInfo(info.path()).canonicalFilePath();
        wanted.append(Comparable((folder.isEmpty() ? info.path() : folder) + "/" + info.fileName()));
    }
    QList<qint64> running;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) continue;
        QString image;
        if (IsWindows()) {
            // A Windows program under Wine runs in the loader's process; its command line
            // starts with the program's path, as the starter wrote it.
            QFile commandLine("/proc/" + entry + "/cmdline");
            if (!commandLine.open(QIODevice::ReadOnly)) continue;
            image = QString::fromUtf8(commandLine.readAll().split('\0').value(0));
        } else {
            image = QFileInfo("/proc/" + entry + "/exe").symLinkTarget();
        }
        if (!image.isEmpty() && wanted.contains(Comparable(image))) running.append(pid);
    }
    return running;
}

}  // namespace target
