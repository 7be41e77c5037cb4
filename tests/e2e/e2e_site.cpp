// End-to-end fixture: versions, the installation tree, publishing and the process probes.
#include "e2e_site.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include "target_programs.h"
#include "test_tree.h"

namespace e2e {

namespace {

constexpr int kFileCount = 30;
constexpr int kBlock = 4096;
// Sizes the files of v1 take in turn: from a few KiB up to 1 MiB.
const int kSizes[] = {3000, 7000, 16384, 40000, 100000, 250000, 600000, 1048576};
const char* const kFolders[] = {"bin", "bin/plugins", "res/images", "res/sounds", "data", "lang"};
const char* const kExtensions[] = {"dll", "dll", "png", "wav", "dat", "qm"};

QString FilePath(int i) {
    return QString("%1/file%2.%3").arg(kFolders[i % 6]).arg(i, 2, 10, QLatin1Char('0')).arg(kExtensions[i % 6]);
}

// Incompressible bytes, fixed by the version tag and the path: archives keep their full size,
// which the small-disk drill counts on.
QByteArray Content(const QString& tag, const QString& path, int size) {
    QRandomGenerator generator(qHash(tag + ":" + path));
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>(generator.generate() & 0xff);
    return bytes;
}

qint64 Blocks(qint64 bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

const QStringList kPrograms{UPDATE_EXE, HELPER_EXE};
// The test copies built with the build's own test key (native only).
const QStringList kSignedPrograms{SIGNED_UPDATE_EXE, SIGNED_HELPER_EXE};
const QString kAssistantStandin = QStringLiteral("ZEBAssistant.exe");

}  // namespace

Tree MakeVersion(const QString& name) {
    Tree tree;
    for (int i = 0; i < kFileCount; ++i) tree.insert(FilePath(i), Content("v1", FilePath(i), kSizes[i % 8]));
    if (name == "v1") return tree;

    for (int i = 0; i < kFileCount; i += 3) tree.insert(FilePath(i), Content("v2", FilePath(i), kSizes[(i + 3) % 8]));
    tree.insert("bin/newlib.dll", Content("v2", "bin/newlib.dll", 200000));
    tree.insert("bin/plugins/codec/codec.dll", Content("v2", "codec", 300000));
    tree.insert("res/images/extra/banner.png", Content("v2", "banner", 50000));
    tree.insert("lang/zh_CN.qm", Content("v2", "zh_CN", 8000));
    if (name == "v2") return tree;
    if (name == "v2p") {
        // Small edits to a third of v1's files (as a rebuilt program differs), and one new file.
        tree = MakeVersion("v1");
        for (int i = 0; i < kFileCount; i += 3) {
            QByteArray content = tree.value(FilePath(i));
            content.replace(content.size() / 2, 7, "patched");
            tree.insert(FilePath(i), content);
        }
        tree.insert("bin/newlib.dll", Content("v2", "bin/newlib.dll", 200000));
        return tree;
    }

    for (int i = 0; i < kFileCount; i += 6) tree.insert(FilePath(i), Content("v3", FilePath(i), kSizes[(i + 5) % 8]));
    tree.insert(FilePath(1), Content("v3", FilePath(1), 5000));
    tree.insert("data/v3.dat", Content("v3", "data/v3.dat", 20000));
    return tree;
}

Tree Version(const QString& name) {
    static QMap<QString, Tree> made;
    if (!made.contains(name)) made.insert(name, MakeVersion(name));
    return made.value(name);
}

QStringList Changed(const Tree& installed, const Tree& target) {
    QStringList changed;
    for (auto it = target.constBegin(); it != target.constEnd(); ++it) {
        if (!installed.contains(it.key()) || installed.value(it.key()) != it.value()) changed.append(it.key());
    }
    return changed;
}

Digests Backups(const Tree& installed, const Tree& target) {
    Digests backups;
    for (const QString& path : Changed(installed, target)) {
        if (installed.contains(path)) backups.insert(path + ".bak", testtree::Md5(installed.value(path)));
    }
    return backups;
}

Digests Digest(const Tree& tree) {
    Digests digests;
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) digests.insert(it.key(), testtree::Md5(it.value()));
    return digests;
}

QStringList Diff(const Digests& actual, const Digests& expected) {
    QStringList lines;
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        if (!actual.contains(it.key())) {
            lines.append("missing " + it.key());
        } else if (actual.value(it.key()) != it.value()) {
            lines.append("differs " + it.key());
        }
    }
    for (auto it = actual.constBegin(); it != actual.constEnd(); ++it) {
        if (!expected.contains(it.key())) lines.append("extra " + it.key());
    }
    return lines;
}

QByteArray ServiceAnswer(bool update, const QString& manifestUrl) {
    const QJsonObject result{{"flag", update}, {"downloadUrl", manifestUrl}, {"forceUpdate", true}};
    return QJsonDocument(QJsonObject{{"code", 0}, {"msg", "success"}, {"result", result}}).toJson();
}

Site::Site() { QDir().mkpath(Root()); }

Site::~Site() {
    if (!proxy_.isEmpty() && target::IsWindows()) target::SetWindowsProxy(QString());
    if (!mounted_) return;
    // A lazy unmount still detaches the folder when a leftover process holds a file open.
    if (QProcess::execute("umount", {Root()}) != 0) QProcess::execute("umount", {"-l", Root()});
}

bool Site::UseProxy(const QString& url) {
    proxy_ = url;
    if (!target::IsWindows()) return true;
    const QUrl proxy(url);
    return target::SetWindowsProxy(proxy.host() + ":" + QString::number(proxy.port()));
}

bool Site::Trust(const QSslCertificate& certificate) {
    trusted_ = Scratch("trusted.pem");
    QFile file(trusted_);
    return file.open(QIODevice::WriteOnly) && file.write(certificate.toPem()) > 0;
}

bool Site::MountRoot(qint64 bytes) {
    mounted_ = QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=%1").arg(bytes), "tmpfs", Root()}) == 0;
    return mounted_;
}

bool Site::Lay(const Tree& installed, bool signedPrograms) {
    const QString runtime = Tmp() + "/runtime";
    if (!temp_.isValid() || !QDir().mkpath(Bin()) || !QDir().mkpath(runtime)) return false;
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (signedPrograms && target::IsWindows()) return false;
    const QString assistant = target::Standin(STANDIN_DIR, kAssistantStandin);
    if (!target::LayPrograms(Bin(), signedPrograms ? kSignedPrograms : kPrograms) ||
        !QFile::copy(assistant, Bin() + "/" + kAssistantStandin)) {
        return false;
    }
    for (auto it = installed.constBegin(); it != installed.constEnd(); ++it) {
        if (!testtree::WriteFile(Root(), it.key(), it.value())) return false;
    }
    return true;
}

qint64 Site::ProgramBytes() {
    qint64 bytes = Blocks(QFileInfo(target::Standin(STANDIN_DIR, kAssistantStandin)).size());
    for (const QString& program : kPrograms) bytes += Blocks(QFileInfo(program).size());
    return bytes;
}

QString Site::Publish(HttpTestServer& server, const QString& name, const Tree& tree, QString* error,
                      const QString& version, const QString& signKey) {
    const QString output = PublishFiles(server.Url("/" + name), name, tree, error, version, signKey);
    if (output.isEmpty()) return QString();
    const Tree published = testtree::Snapshot(output);
    for (auto it = published.constBegin(); it != published.constEnd(); ++it) {
        server.Serve("/" + name + "/" + it.key(), HttpTestServer::Body(it.value()));
    }
    return server.Url("/" + name + "/update.json");
}

QString Site::PublishFiles(const QString& baseUrl, const QString& name, const Tree& tree, QString* error,
                           const QString& version, const QString& signKey) {
    const QString source = temp_.path() + "/src-" + name;
    const QString output = temp_.path() + "/pub-" + name;
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) {
        if (!testtree::WriteFile(source, it.key(), it.value())) {
            *error = "cannot write " + it.key();
            return QString();
        }
    }
    QStringList arguments{"--version", version.isEmpty() ? name.mid(1) + ".0.0" : version,
                          "--description", "Release " + name + "<br>e2e", "--base-url", baseUrl,
                          "--output", output, "--quiet", source};
    if (!signKey.isEmpty()) arguments << "--sign-key" << signKey;
    if (!older_.isEmpty()) arguments << "--patch-from" << older_;
    *error = RunPack(arguments);
    return error->isEmpty() ? output : QString();
}

bool Site::PatchFrom(const Tree& older) {
    older_ = temp_.path() + "/older";
    for (auto it = older.constBegin(); it != older.constEnd(); ++it) {
        if (!testtree::WriteFile(older_, it.key(), it.value())) return false;
    }
    return true;
}

QString Site::PatchPath(const QString& name, const QString& path, const QByteArray& from) {
    return "/" + name + "/" + path + "." + testtree::Md5(from) + ".patch";
}

QString Site::RunPack(const QStringList& arguments) {
    QProcess pack;
    pack.setProcessChannelMode(QProcess::MergedChannels);
    pack.start(UPDATE_PACK, arguments);
    if (!pack.waitForFinished(kWaitMs) || pack.exitStatus() != QProcess::NormalExit || pack.exitCode() != 0) {
        const QString output = QString::fromUtf8(pack.readAll());
        return output.isEmpty() ? QStringLiteral("update-pack failed") : output;
    }
    return QString();
}

QString Site::TestSecretKey() { return QStringLiteral(TEST_SECRET_KEY); }

QByteArray Site::Published(const QString& name, const QString& path) const {
    return testtree::ReadFile(temp_.path() + "/pub-" + name + "/" + path);
}

QByteArray Site::Archive(const QString& name, const QString& path) const { return Published(name, path + ".zip"); }

Digests Site::Installed() const {
    Digests digests;
    const Digests all = Digest(testtree::Snapshot(Root()));
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (!it.key().startsWith("app/") && !it.key().endsWith(".bak")) digests.insert(it.key(), it.value());
    }
    return digests;
}

Digests Site::Backups() const {
    Digests digests;
    const Digests all = Digest(testtree::Snapshot(Root()));
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (!it.key().startsWith("app/") && it.key().endsWith(".bak")) digests.insert(it.key(), it.value());
    }
    return digests;
}

QStringList Site::LogLines(const QString& program) const {
    return QString::fromUtf8(testtree::ReadFile(Bin() + "/logs/" + program + ".log")).split('\n', Qt::SkipEmptyParts);
}

QStringList Site::Started() const {
    return QString::fromUtf8(testtree::ReadFile(Bin() + "/started.log")).split('\n', Qt::SkipEmptyParts);
}

QProcessEnvironment Site::Environment(const QString& endpoint) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto set = [&](const QString& name, const QString& value) { target::SetVariable(environment, name, value); };
    // The tests' servers are reached straight, whatever the shell running the tests uses.
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}) {
        environment.remove(name);
        environment.remove(QString::fromLatin1(name).toUpper());
    }
    if (!proxy_.isEmpty() && !target::IsWindows()) set("http_proxy", proxy_);
    if (!trusted_.isEmpty()) set("UPDATER_DOWNLOAD_CA_FILE", trusted_);
    set("TMPDIR", Tmp());
    set("XDG_RUNTIME_DIR", Tmp() + "/runtime");
    // Headless unless the run asks for screenshots of the real window on its display.
    if (qEnvironmentVariableIsEmpty(kScreenshotVariable)) set("QT_QPA_PLATFORM", "offscreen");
    set("UPDATER_REQUEST_ENDPOINT", endpoint);
    // The helper notes every file it copies; the tests read the trees instead.
    set("QT_LOGGING_RULES", "default.debug=false");
    set("UPDATER_REQUEST_TIMEOUT_MS", "2000");
    // A download the server abandons fails within seconds instead of a minute.
    set("UPDATER_DOWNLOAD_STALL_MS", "3000");
    // A failing server is tried again after a tenth of a second, not after seconds.
    set("UPDATER_DOWNLOAD_RETRY_MS", "100");
    set("QT_PLUGIN_PATH", target::PluginPath(GUI_DRIVER_PLUGIN_PATH));
    set("QT_QPA_GENERIC_PLUGINS", "gui_driver");
    set("GUI_DRIVER_DIR", DriverDir());
    return environment;
}

void Site::StartUpdater(QProcess& process, const QString& mode, const QString& url, const QString& endpoint,
                        const QStringList& commands, const QStringList& wrapper) {
    ++drivers_;
    QDir().mkpath(DriverDir());
    Command(commands);
    process.setProcessEnvironment(Environment(endpoint));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    const QStringList arguments{"", mode, url};
    if (wrapper.isEmpty()) {
        target::Start(process, Bin() + "/update.exe", arguments);
    } else {
        process.start(wrapper.first(), wrapper.mid(1) + QStringList{Bin() + "/update.exe"} + arguments);
    }
}

void Site::Command(const QStringList& commands) const {
    QFile file(DriverDir() + "/commands");
    if (file.open(QIODevice::Append)) {
        for (const QString& command : commands) file.write((command + "\n").toUtf8());
    }
}

QStringList Site::Events() const {
    return QString::fromUtf8(testtree::ReadFile(DriverDir() + "/events.log")).split('\n', Qt::SkipEmptyParts);
}

int Site::RunHelper(const QString& endpoint) const {
    QProcess helper;
    helper.setProcessEnvironment(Environment(endpoint));
    helper.setProcessChannelMode(QProcess::ForwardedChannels);
    target::Start(helper, Bin() + "/helper.exe", {"dir", Root()});
    if (!helper.waitForFinished(kWaitMs)) {
        helper.kill();
        helper.waitForFinished();
        return -1000;
    }
    return helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1000;
}

QList<qint64> Site::Running() const { return target::Running({Bin() + "/update.exe", Bin() + "/helper.exe"}); }

void UpdateThroughTheWindow(Site& site, HttpTestServer& server, const QString& manifestUrl) {
    const QString assistant = QStringLiteral("ZEBAssistant.exe");
    const int asked = server.RequestCount("/api");
    const int started = site.Started().count(assistant);
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifestUrl)));

    // On a display, a screenshot of the finished window first.
    const QString screenshots = qEnvironmentVariable(kScreenshotVariable);
    QStringList commands{"wait 安装完成", "click"};
    if (!screenshots.isEmpty()) commands.insert(1, "screen finished");

    QProcess updater;
    site.StartUpdater(updater, "checkVersion", QString(), server.Url("/api"), commands);
    // Once it has been asked, the service has nothing more to offer.
    QTRY_VERIFY_WITH_TIMEOUT(server.RequestCount("/api") > asked, kWaitMs);
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
    QVERIFY2(updater.waitForFinished(kWaitMs), qPrintable(site.Events().join('\n')));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    const QStringList events = site.Events();
    QVERIFY2(events.contains("status 安装完成") && events.contains("did click"), qPrintable(events.join('\n')));
    if (!screenshots.isEmpty()) {
        const QString shot = screenshots + "/finished.png";
        QVERIFY(QDir().mkpath(screenshots));
        QFile::remove(shot);
        QVERIFY(QFile::copy(site.DriverFile("finished.png"), shot));
    }

    // The helper's updater asks once more and, told there is nothing, starts the assistant again.
    QTRY_COMPARE_WITH_TIMEOUT(server.RequestCount("/api"), asked + 2, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(site.Started().count(assistant), started + 2, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
}

}  // namespace e2e
