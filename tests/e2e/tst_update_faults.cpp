// Updates that go wrong: a server that stops answering, damaged archives, an updater killed
// on the way, a full disk and a file that cannot be replaced. Each must leave the install
// root entirely the old version or entirely the new one, and the next attempt must finish.
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <unistd.h>

#include "e2e_site.h"
#include "http_test_server.h"
#include "test_tree.h"
#include "zip_builder.h"

using namespace e2e;

namespace {

// The crash drill's knob: the install kills its own process after this many renames.
constexpr char kStopAfterRename[] = "UPDATER_STOP_AFTER_RENAME";

const QString kFailed = QStringLiteral("更新失败");
const QString kFinished = QStringLiteral("安装完成");

// Whether the install step has begun in root: a file outside the programs' folder that the old
// version does not have (a hidden file written beside its target, or a backup).
bool AnyNewFile(const QString& root, const Tree& old) {
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = base.relativeFilePath(it.next());
        if (!path.startsWith("app/") && !old.contains(path)) return true;
    }
    return false;
}

QByteArray Zip(const QString& name, const QByteArray& data) {
    const std::string bytes = ztest::SingleFile(name.toStdString(), data.toStdString());
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

// The published manifest with the entry of victim as an older publisher wrote it, without
// "size" and "sha256": a wrong archive then passes the download and meets the check after it.
QByteArray WithoutArchiveChecks(const QByteArray& manifest, const QString& victim) {
    QJsonObject root = QJsonDocument::fromJson(manifest).object();
    QJsonArray list = root.value("filelist").toArray();
    for (int i = 0; i < list.size(); ++i) {
        QJsonObject entry = list.at(i).toObject();
        if (entry.value("name").toString() != "/" + victim + ".zip") continue;
        entry.remove("size");
        entry.remove("sha256");
        list.replace(i, entry);
    }
    root.insert("filelist", list);
    return QJsonDocument(root).toJson();
}

}  // namespace

class TestUpdateFaults : public QObject {
    Q_OBJECT
private slots:
    void faultLeavesTheOldVersion_data();
    void faultLeavesTheOldVersion();
    void killedUpdaterFinishesOnTheNextRun_data();
    void killedUpdaterFinishesOnTheNextRun();
    void fullDiskDuringTheCopyRollsBack();
    void fileThatCannotBeReplacedRollsBack();
};

void TestUpdateFaults::faultLeavesTheOldVersion_data() {
    QTest::addColumn<bool>("interactive");
    QTest::addColumn<QString>("fault");
    for (const bool interactive : {true, false}) {
        for (const char* fault : {"archive cut short", "server gone mid-batch", "archive corrupt",
                                  "archive content not the manifest's", "archive holding an unlisted file too",
                                  "archive holding nothing", "archive holding the name in other letter case"}) {
            const QByteArray name = QByteArray(interactive ? "window: " : "silent: ") + fault;
            QTest::newRow(name.constData()) << interactive << QString(fault);
        }
    }
}

// Interactive runs show "更新失败" and install the release on "重试" once the server is mended;
// silent runs leave no marker (the helper then installs nothing) and the next silent run fetches
// what still differs.
void TestUpdateFaults::faultLeavesTheOldVersion() {
    QFETCH(bool, interactive);
    QFETCH(QString, fault);
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    auto server = std::make_unique<HttpTestServer>();
    QVERIFY(server->IsListening());
    QString error;
    const QString manifest = site.Publish(*server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    const QString endpoint = server->Url("/api");

    const QString victim = Changed(Version("v1"), Version("v2")).first();
    const QString path = Site::ArchivePath("v2", victim);
    const QByteArray archive = site.Archive("v2", victim);
    // A wrong archive whole (tampered) must reach the check its row is about (the unpack, the
    // names, the MD5), not the download's size and hash: its entry goes without them.
    QByteArray tampered;
    if (fault == "archive cut short") {
        server->Serve(path, HttpTestServer::CutShort(archive.left(archive.size() / 2), archive.size()));
    } else if (fault == "server gone mid-batch") {
        server->Serve(path, HttpTestServer::Stall());
    } else if (fault == "archive corrupt") {
        tampered = archive;
        for (int i = archive.size() / 3; i < archive.size() / 3 + 64; ++i) tampered[i] = static_cast<char>(~tampered[i]);
    } else if (fault == "archive holding an unlisted file too") {
        // The right file, and a library no entry names beside the real plugins.
        ztest::Archive both;
        both.entries.resize(2);
        both.entries[0].name = victim.toStdString();
        both.entries[0].data = Version("v2")[victim].toStdString();
        both.entries[1].name = "app/plugins/inject.dll";
        both.entries[1].data = "injected";
        const std::string bytes = ztest::Build(both);
        tampered = QByteArray(bytes.data(), static_cast<int>(bytes.size()));
    } else if (fault == "archive holding nothing") {
        const std::string bytes = ztest::Build(ztest::Archive{});
        tampered = QByteArray(bytes.data(), static_cast<int>(bytes.size()));
    } else if (fault == "archive holding the name in other letter case") {
        tampered = Zip(victim.toUpper(), Version("v2")[victim]);
    } else {
        tampered = Zip(victim, "not the file the manifest describes");
    }
    if (!tampered.isNull()) {
        const QByteArray published = site.Published("v2", "update.json");
        server->Serve(path, HttpTestServer::Body(tampered));
        server->Serve("/v2/update.json", HttpTestServer::Body(WithoutArchiveChecks(published, victim)));
    }
    server->Serve("/api", HttpTestServer::Body(ServiceAnswer(interactive, manifest)));

    QProcess updater;
    site.StartUpdater(updater, interactive ? "checkVersion" : "silentDownload", manifest, endpoint,
                      {"wait " + kFailed});
    if (fault == "server gone mid-batch") {
        QTRY_VERIFY_WITH_TIMEOUT(server->RequestCount(path) > 0, kWaitMs);
        server.reset();
    }
    if (interactive) {
        QTRY_VERIFY_WITH_TIMEOUT(site.Events().contains("status " + kFailed), kWaitMs);
    } else {
        QVERIFY(updater.waitForFinished(kWaitMs));
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(site.RunHelper(endpoint), 0);
        QVERIFY(!QFileInfo::exists(site.DownloadDir() + "/local.ini"));
    }
    QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    QCOMPARE(site.Backups(), Digests());

    if (server) {
        server->Serve(path, HttpTestServer::Body(archive));
        server->Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
        if (interactive) {
            site.Command({"click", "wait " + kFinished, "click"});
        } else {
            QProcess again;
            site.StartUpdater(again, "silentDownload", manifest, endpoint);
            QVERIFY(again.waitForFinished(kWaitMs));
            QVERIFY(QFileInfo(site.DownloadDir() + "/local.ini").isFile());
            QCOMPARE(site.RunHelper(endpoint), 0);
        }
    } else if (interactive) {
        site.Command({"close"});
    }
    if (interactive) {
        QVERIFY(updater.waitForFinished(kWaitMs));
        QCOMPARE(updater.exitCode(), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
    const Tree expected = server ? Version("v2") : Version("v1");
    QCOMPARE(Diff(site.Installed(), Digest(expected)), QStringList());
    QCOMPARE(Diff(site.Backups(), Backups(Version("v1"), expected)), QStringList());
}

void TestUpdateFaults::killedUpdaterFinishesOnTheNextRun_data() {
    QTest::addColumn<QString>("during");
    QTest::newRow("killed during the download") << "download";
    QTest::newRow("killed during the copy") << "copy";
    // Killed by the install itself after its third rename, where a kill from outside would land
    // by chance only: the next run must undo the mix before anything else.
    QTest::newRow("killed among the renames") << "renames";
}

void TestUpdateFaults::killedUpdaterFinishesOnTheNextRun() {
    QFETCH(QString, during);
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    const QString victim = Changed(Version("v1"), Version("v2")).first();
    const QString path = Site::ArchivePath("v2", victim);
    if (during == "download") server.Serve(path, HttpTestServer::Stall());
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifest)));

    QProcess updater;
    if (during == "renames") qputenv(kStopAfterRename, "3");
    site.StartUpdater(updater, "checkVersion", QString(), server.Url("/api"));
    qunsetenv(kStopAfterRename);
    if (during == "copy") {
        // The copy of a few dozen files takes milliseconds: watch for its first file without
        // pausing, and kill at once.
        const Tree old = Version("v1");
        QElapsedTimer waited;
        waited.start();
        while (!AnyNewFile(site.Root(), old) && waited.elapsed() < kWaitMs) {
        }
    } else if (during == "download") {
        QTRY_VERIFY_WITH_TIMEOUT(server.RequestCount(path) > 0, kWaitMs);
    }
    if (during != "renames") QCOMPARE(::kill(static_cast<pid_t>(updater.processId()), SIGKILL), 0);
    QVERIFY(updater.waitForFinished(kWaitMs));
    QCOMPARE(updater.exitStatus(), QProcess::CrashExit);
    if (during == "copy") {
        // On a busy machine the copy can win the race; then nothing was interrupted, and the run
        // proves nothing about a kill during the copy.
        if (site.Installed() == Digest(Version("v2"))) QSKIP("the copy ended before the kill landed");
        QVERIFY(site.Installed() != Digest(Version("v1")));
    } else if (during == "renames") {
        QVERIFY(site.Installed() != Digest(Version("v1")) && site.Installed() != Digest(Version("v2")));
        // The next program to start, the helper here, puts the old version back before anything
        // else, and says so in its log.
        server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
        QCOMPARE(site.RunHelper(server.Url("/api")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
        QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
        QCOMPARE(site.LogLines("helper").filter("among its renames was undone").size(), 1);
    } else {
        QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    }

    server.Serve(path, HttpTestServer::Body(site.Archive("v2", victim)));
    UpdateThroughTheWindow(site, server, manifest);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(Diff(site.Installed(), Digest(Version("v2"))), QStringList());
    QCOMPARE(Diff(site.Backups(), Backups(Version("v1"), Version("v2"))), QStringList());
}

void TestUpdateFaults::fullDiskDuringTheCopyRollsBack() {
    if (geteuid() != 0) QSKIP("mounting a small file system for the install root needs root");
    // The disk holds the old version, the programs and the unpacked release with room to spare,
    // but only half of the copies the installation makes beside them.
    const auto blocks = [](qint64 bytes) { return (bytes + 4095) / 4096 * 4096; };
    qint64 installed = 0;
    for (const QByteArray& bytes : Version("v1")) installed += blocks(bytes.size());
    qint64 release = 0;
    qint64 largest = 0;
    for (const QString& path : Changed(Version("v1"), Version("v2"))) {
        release += blocks(Version("v2").value(path).size());
        largest = qMax(largest, blocks(Version("v2").value(path).size()));
    }
    // Downloading peaks at the archives plus the largest file unpacked beside them.
    QVERIFY(largest < release / 2);
    Site site;
    QVERIFY(site.MountRoot(installed + Site::ProgramBytes() + release + release / 2 + 256 * 1024));
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifest)));

    QProcess updater;
    site.StartUpdater(updater, "checkVersion", QString(), server.Url("/api"), {"wait " + kFailed, "close"});
    // The updater the helper starts after the window closes hears of no update.
    QTRY_VERIFY_WITH_TIMEOUT(server.RequestCount("/api") > 0, kWaitMs);
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
    QVERIFY(updater.waitForFinished(kWaitMs));
    QVERIFY2(site.Events().contains("status " + kFailed), qPrintable(site.Events().join('\n')));
    // Every archive was unpacked: the disk filled during the copy, and all of it was undone.
    const QStringList left = testtree::Snapshot(site.DownloadDir()).keys();
    QVERIFY2(left.filter(".zip").isEmpty() && !left.isEmpty(), qPrintable(left.join('\n')));
    QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    QCOMPARE(site.Backups(), Digests());
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
}

void TestUpdateFaults::fileThatCannotBeReplacedRollsBack() {
    // Root passes every permission check; the updater runs without those capabilities instead.
    QStringList wrapper;
    if (geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty()) QSKIP("running as root without setpriv: permissions cannot apply");
        wrapper = QStringList{setpriv, "--bounding-set", "-dac_override,-dac_read_search"};
    }
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifest)));

    // A folder of changed files that admits no renames: their backups cannot be made. Files of
    // other folders may be replaced before the copy gets there.
    const QString folder = site.Root() + "/res/sounds";
    const QFile::Permissions permissions = QFile::permissions(folder);
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
    auto restore = qScopeGuard([&] { QFile::setPermissions(folder, permissions); });

    QProcess updater;
    site.StartUpdater(updater, "checkVersion", QString(), server.Url("/api"), {"wait " + kFailed}, wrapper);
    QTRY_VERIFY_WITH_TIMEOUT(site.Events().contains("status " + kFailed), kWaitMs);
    QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    QCOMPARE(site.Backups(), Digests());

    // Once the folder admits changes, "重试" installs the release.
    QVERIFY(QFile::setPermissions(folder, permissions));
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
    site.Command({"click", "wait " + kFinished, "click"});
    QVERIFY(updater.waitForFinished(kWaitMs));
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
    QCOMPARE(Diff(site.Installed(), Digest(Version("v2"))), QStringList());
    QCOMPARE(Diff(site.Backups(), Backups(Version("v1"), Version("v2"))), QStringList());
}

QTEST_GUILESS_MAIN(TestUpdateFaults)
#include "tst_update_faults.moc"
