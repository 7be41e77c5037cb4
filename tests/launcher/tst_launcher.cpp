// helper.exe as a process: each run in a temporary installation tree of its own (install root,
// the updater's folder root/app/bin with helper.exe and an update.exe, its download folder),
// checked by the files it leaves, the updater start it causes and its debug messages.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "test_tree.h"
#include "zip_builder.h"

using Files = QMap<QString, QByteArray>;

namespace {

constexpr int kWaitMs = 20000;

// The one start every run of the helper ends with, as the stand-in notes it.
const QString kUpdaterStart = QStringLiteral("update.exe\t\tcheckVersion\t");
const QString kAssistant = QStringLiteral("ZEBAssistant.exe");

// Each captured message as "<file>\t<function>\t<message>".
const QString kMessagePattern = QStringLiteral("%{file}\t%{function}\t%{message}");

QByteArray Zip(const std::string& name, const std::string& data) {
    const std::string bytes = ztest::SingleFile(name, data);
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

// temp/root is the install root, temp/root/app/bin the updater's folder, temp/tmp the TMPDIR of
// the programs started.
class Installation {
public:
    Installation() {
        QDir().mkpath(DownloadDir());
        QDir().mkpath(Runtime());
        QFile::setPermissions(Runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ok_ = Copy(HELPER_EXE) && Copy(STANDIN_DIR "/update.exe");
        const QString bin = QFileInfo(Bin()).canonicalFilePath();
        download_ = bin + "/download";
        root_ = bin + "/../..";
    }
    bool IsValid() const { return temp_.isValid() && ok_; }
    QString Root() const { return temp_.path() + "/root"; }
    QString Bin() const { return Root() + "/app/bin"; }
    QString DownloadDir() const { return Bin() + "/download"; }
    QString Tmp() const { return temp_.path() + "/tmp"; }
    QString Runtime() const { return Tmp() + "/runtime"; }

    QStringList Started() const {
        return QString::fromUtf8(testtree::ReadFile(Bin() + "/started.log")).split('\n', Qt::SkipEmptyParts);
    }
    // The install root's files apart from the updater's folder.
    Files RootFiles() const {
        Files files;
        const Files all = testtree::Snapshot(Root());
        for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
            if (!it.key().startsWith("app/")) files.insert(it.key(), it.value());
        }
        return files;
    }

    // Starts helper.exe with arguments in this tree's environment, without waiting.
    void Start(QProcess* process, const QStringList& arguments) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", Tmp());
        environment.insert("XDG_RUNTIME_DIR", Runtime());
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("QT_FORCE_STDERR_LOGGING", "1");
        environment.insert("QT_LOGGING_RULES", "default.debug=true");
        environment.insert("QT_MESSAGE_PATTERN", kMessagePattern);
        environment.insert("UPDATER_REQUEST_ENDPOINT", "http://127.0.0.1:1/api");
        environment.insert("UPDATER_REQUEST_TIMEOUT_MS", "1500");
        process->setProcessEnvironment(environment);
        process->start(Bin() + "/helper.exe", arguments);
    }

    // Runs helper.exe to its end: its exit code, or -1000 when it did not end normally in time.
    // messages gets the debug messages of the helper's two units, each as "main: <message>" or
    // "unpack: <message>", with the download directory written "DL" and the install root "ROOT".
    // A message whose context names no function of its unit is kept under "?".
    int Run(const QStringList& arguments, QStringList* messages) const {
        QProcess process;
        Start(&process, arguments);
        if (!process.waitForFinished(kWaitMs)) {
            process.kill();
            process.waitForFinished();
            return -1000;
        }
        const QStringList lines = QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            const QStringList parts = line.split('\t');
            if (parts.size() != 3) continue;
            QString unit;
            if (parts[0].endsWith("launcher/main.cpp")) {
                unit = parts[1].contains("UpdateAppFiles") ? "main" : "?";
            } else if (parts[0].endsWith("launcher/uncompress_work.cpp")) {
                unit = parts[1].contains("UnCompressWork::") ? "unpack" : "?";
            } else {
                continue;  // Qt's own messages
            }
            QString text = parts[2];
            text.replace(download_, "DL").replace(root_, "ROOT");
            messages->append(unit + ": " + text);
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1000;
    }

private:
    bool Copy(const QString& program) {
        const QString target = Bin() + "/" + QFileInfo(program).fileName();
        return QFile::copy(program, target) && QFile::setPermissions(target, QFile::permissions(program));
    }

    QTemporaryDir temp_;
    QString download_;
    QString root_;
    bool ok_ = false;
};

bool WriteTree(const QString& root, const Files& files) {
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!testtree::WriteFile(root, it.key(), it.value())) return false;
    }
    return true;
}

// The two messages of one copy, as Run() gives them.
QStringList CopyMessages(const QString& relative, bool copied = true) {
    return {QString("main: path: \"DL%1\"").arg(relative),
            QString("main: \"%1 copy file:\" \"DL%2\"  to \"ROOT%2\"").arg(copied ? 1 : 0).arg(relative)};
}
QString ArchiveMessage(const QString& relative) { return QString("unpack: path: \"DL%1\"").arg(relative); }

// download with the manifest a silent run leaves beside it, vouching for files (path -> content).
Files WithManifest(Files download, const Files& files) {
    QString list;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        list += QString("%1{\"name\": \"/%2.zip\", \"md5\": \"%3\", \"url\": \"http://127.0.0.1:1/%2.zip\"}")
                    .arg(list.isEmpty() ? "" : ", ", it.key(), testtree::Md5(it.value()));
    }
    download.insert("update.json", QString("{\"version\": \"2.0\", \"filelist\": [%1]}").arg(list).toUtf8());
    return download;
}

// The updater's single-instance guard as a running updater holds it on POSIX: an exclusive flock
// on "ZEBUpdate.lock" in its temporary folder. The name is spelled out here on purpose: an old
// updater and a newer helper must agree on it across versions.
class HeldUpdaterGuard {
public:
    explicit HeldUpdaterGuard(const QString& tmpDir)
        : fd_(open(QFile::encodeName(tmpDir + "/ZEBUpdate.lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        held_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldUpdaterGuard() { Release(); }
    bool IsHeld() const { return held_; }
    void Release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        held_ = false;
    }

private:
    int fd_;
    bool held_ = false;
};

}  // namespace

class TestLauncher : public QObject {
    Q_OBJECT
private slots:
    void pendingUpdate_data();
    void pendingUpdate();
    void failedCopyRollsBackAndKeepsTheMarkerForARetry();
    void updaterStartWaitsForTheOldUpdaterToLetGo();
};

void TestLauncher::pendingUpdate_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("marker");  // "file", "folder" or none
    QTest::addColumn<Files>("download");  // the download directory apart from the marker
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("installedAfter");
    QTest::addColumn<Files>("downloadAfter");  // the marker included when it stays
    QTest::addColumn<QStringList>("messages");

    const QByteArray appZip = Zip("bin/app.dll", "new app");
    const Files pending{{"bin/app.dll.zip", appZip}};
    const Files old{{"bin/app.dll", "old app"}};
    QTest::newRow("no marker") << QStringList{} << QString() << pending << old << old << pending << QStringList{};
    QTest::newRow("marker is a folder") << QStringList{} << "folder" << pending << old << old << pending
                                        << QStringList{};

    const Files unpacked{{"bin/app.dll", "new app"}, {"res/logo.png", "logo"}};
    const Files twoArchives =
        WithManifest({{"bin/app.dll.zip", appZip}, {"res/logo.png.zip", Zip("res/logo.png", "logo")}}, unpacked);
    const Files installed{{"bin/app.dll", "new app"}, {"bin/app.dll.bak", "old app"}, {"res/logo.png", "logo"}};
    // The marker is never installed, and nothing of an installed update stays behind.
    const QStringList installMessages = QStringList{ArchiveMessage("/bin/app.dll.zip"), ArchiveMessage("/res/logo.png.zip")} +
                                        CopyMessages("/bin/app.dll") + CopyMessages("/res/logo.png");
    QTest::newRow("archives installed") << QStringList{} << "file" << twoArchives << old << installed << Files{}
                                        << installMessages;
    QTest::newRow("archives installed, the updater's arguments given")
        << QStringList{"dir", "../.."} << "file" << twoArchives << old << installed << Files{} << installMessages;

    const Files ownSettings{{"bin/app.dll", "old app"}, {"local.ini", "token=secret"}};
    QTest::newRow("only the marker: it goes, the product's own local.ini stays")
        << QStringList{} << "file" << WithManifest({}, {}) << ownSettings << ownSettings << Files{} << QStringList{};

    QTest::newRow("a backup of an earlier update gives way")
        << QStringList{} << "file" << WithManifest({{"bin/app.dll.zip", Zip("bin/app.dll", "v3")}}, {{"bin/app.dll", "v3"}})
        << Files{{"bin/app.dll", "v2"}, {"bin/app.dll.bak", "v1"}} << Files{{"bin/app.dll", "v3"}, {"bin/app.dll.bak", "v2"}}
        << Files{} << QStringList{ArchiveMessage("/bin/app.dll.zip")} + CopyMessages("/bin/app.dll");

    const Files unlisted{{"README", "r"}, {".hidden.txt", "h"}, {".cache/x.txt", "c"}};
    Files withListed = unlisted;
    withListed.insert("bin/ok.txt", "ok");
    QTest::newRow("names without a dot and hidden entries stay behind")
        << QStringList{} << "file" << WithManifest(withListed, {{"bin/ok.txt", "ok"}}) << Files{}
        << Files{{"bin/ok.txt", "ok"}} << unlisted << CopyMessages("/bin/ok.txt");

    // A download cut short. Its files are missing from the unpacked tree, so nothing of it may
    // be installed; the archive and the marker go, so the next silent run fetches it again.
    const QByteArray cut = Zip("bin/app.dll", "new app").left(20);
    const Files appListed{{"bin/app.dll", "new app"}};
    QTest::newRow("an archive that fails to extract withdraws the update")
        << QStringList{} << "file" << WithManifest({{"bin/app.dll.zip", cut}, {"res/logo.png", "logo"}}, appListed)
        << old << old << WithManifest({{"res/logo.png", "logo"}}, appListed)
        << QStringList{ArchiveMessage("/bin/app.dll.zip")};
    // The helper reads the manifest as the updater does: none, or one the updater would not
    // use, vouches for nothing, and nothing is even unpacked.
    QTest::newRow("without a manifest nothing is unpacked, the marker goes")
        << QStringList{} << "file" << pending << old << old << pending
        << QStringList{"?: update.json not installed: the manifest cannot be read"};
}

void TestLauncher::pendingUpdate() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, marker);
    QFETCH(Files, download);
    QFETCH(Files, installed);
    QFETCH(Files, installedAfter);
    QFETCH(Files, downloadAfter);
    QFETCH(QStringList, messages);

    Installation installation;
    QVERIFY(installation.IsValid());
    QVERIFY(WriteTree(installation.DownloadDir(), download));
    QVERIFY(WriteTree(installation.Root(), installed));
    if (marker == "file") QVERIFY(testtree::WriteFile(installation.DownloadDir(), "local.ini", QByteArray()));
    if (marker == "folder") QVERIFY(QDir().mkpath(installation.DownloadDir() + "/local.ini"));

    QStringList seen;
    QCOMPARE(installation.Run(arguments, &seen), 0);
    QTRY_COMPARE_WITH_TIMEOUT(installation.Started(), QStringList{kUpdaterStart}, kWaitMs);
    QCOMPARE(installation.RootFiles(), installedAfter);
    QCOMPARE(testtree::Snapshot(installation.DownloadDir()), downloadAfter);
    // The walks follow the directory order, which no test can choose.
    seen.sort();
    messages.sort();
    QCOMPARE(seen, messages);
}

void TestLauncher::failedCopyRollsBackAndKeepsTheMarkerForARetry() {
    Installation installation;
    QVERIFY(installation.IsValid());
    const Files download = WithManifest({{"bin/app.dll.zip", Zip("bin/app.dll", "new app")},
                                         {"readme.txt.zip", Zip("readme.txt", "new readme")},
                                         {"local.ini", QByteArray()}},
                                        {{"bin/app.dll", "new app"}, {"readme.txt", "new readme"}});
    QVERIFY(WriteTree(installation.DownloadDir(), download));
    // A folder where a file is to go: neither renamed aside nor overwritten.
    const Files installed{{"readme.txt", "old readme"}, {"bin/app.dll/in the way", "x"}};
    QVERIFY(WriteTree(installation.Root(), installed));

    QStringList seen;
    QCOMPARE(installation.Run({}, &seen), 0);
    QTRY_COMPARE_WITH_TIMEOUT(installation.Started(), QStringList{kUpdaterStart}, kWaitMs);
    // Whatever was copied before the failure is undone; the unpacked tree and the marker stay.
    QCOMPARE(installation.RootFiles(), installed);
    // The manifest stays with them, so the retry is checked as the first attempt was.
    const Files unpacked{{"bin/app.dll", "new app"}, {"readme.txt", "new readme"}, {"local.ini", QByteArray()},
                         {"update.json", download["update.json"]}};
    QCOMPARE(testtree::Snapshot(installation.DownloadDir()), unpacked);
    const QStringList failed = CopyMessages("/bin/app.dll", false);
    QVERIFY2(seen.size() >= 4 && seen.mid(seen.size() - 2) == failed, qPrintable(seen.join('\n')));
    QCOMPARE(seen.filter("0 copy file:").size(), 1);

    // Once the way is clear, the next run installs the kept tree.
    QVERIFY(QDir(installation.Root() + "/bin/app.dll").removeRecursively());
    seen.clear();
    QCOMPARE(installation.Run({}, &seen), 0);
    QTRY_COMPARE_WITH_TIMEOUT(installation.Started(), (QStringList{kUpdaterStart, kUpdaterStart}), kWaitMs);
    const Files installedAfter{{"bin/app.dll", "new app"}, {"readme.txt", "new readme"}, {"readme.txt.bak", "old readme"}};
    QCOMPARE(installation.RootFiles(), installedAfter);
    QCOMPARE(testtree::Snapshot(installation.DownloadDir()), Files{});
    QCOMPARE(seen.filter("1 copy file:").size(), 2);
}

void TestLauncher::updaterStartWaitsForTheOldUpdaterToLetGo() {
    // The updater that started the helper at its exit may not be gone yet. An updater started
    // while it still holds the guard would step aside at once, and the version check after the
    // install would never happen.
    Installation installation;
    QVERIFY(installation.IsValid());
    HeldUpdaterGuard oldUpdater(installation.Tmp());
    QVERIFY(oldUpdater.IsHeld());

    QProcess helper;
    installation.Start(&helper, {});
    QVERIFY2(helper.waitForStarted(kWaitMs), qPrintable(helper.errorString()));
    // Nothing to observe but the absence of a start: a while is all a test can give it.
    QTest::qWait(1000);
    QCOMPARE(installation.Started(), QStringList{});
    QCOMPARE(helper.state(), QProcess::Running);

    // Let go well before the helper would give up waiting: the start follows the release.
    oldUpdater.Release();
    QTRY_COMPARE_WITH_TIMEOUT(installation.Started(), QStringList{kUpdaterStart}, 5000);
    // Its end may already have been seen while the test waited for the start.
    QTRY_COMPARE_WITH_TIMEOUT(helper.state(), QProcess::NotRunning, kWaitMs);
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
