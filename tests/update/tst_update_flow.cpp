// The update flow of one run, driven through the window as a user would, against the real
// workers and a local HTTP server. Every test function gets a fresh installation tree whose
// program folder holds stand-ins for the assistant application, its glyph service and the
// helper, which note every start in started.log; the presenter is handed that tree's layout.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "http_test_server.h"
#include "main_presenter.h"
#include "main_widget.h"
#include "test_tree.h"
#include "pending_update.h"
#include "update_layout.h"
#include "zip_builder.h"

namespace {

constexpr int kWaitMs = 20000;
// Stand-ins started detached note their start a moment later; checks that something was not
// started, or started only once, give them this long.
constexpr int kSettleMs = 500;

const QString kAssistant = QStringLiteral("ZEBAssistant.exe");
const QString kGlyphService = QStringLiteral("glyphsvc_x64.exe");
const QString kHelper = QStringLiteral("helper.exe");

using Files = QMap<QString, QByteArray>;  // path below the install root -> content

// The tree of the running test function: <temp>/app/bin is the program folder, <temp> the
// install root.
QString gProgramDir;
UpdateLayout Layout() { return UpdateLayout(gProgramDir); }
QString InstallRoot() { return Layout().InstallRoot(); }

QString ArchivePath(const QString& relative) { return "/files/" + relative + ".zip"; }

// One archive per file, its item stored under the path below the install root.
QByteArray ArchiveOf(const QString& relative, const QByteArray& content) {
    const std::string bytes = ztest::SingleFile(relative.toStdString(), content.toStdString());
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

// Serves update.json describing files, and an archive for each of them.
void ServeUpdate(HttpTestServer& server, const Files& files, const QString& version = "2.0.0") {
    QJsonArray list;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        list.append(QJsonObject{{"name", "/" + it.key() + ".zip"},
                                {"md5", testtree::Md5(it.value())},
                                {"url", server.Url(ArchivePath(it.key()))}});
        server.Serve(ArchivePath(it.key()), HttpTestServer::Body(ArchiveOf(it.key(), it.value())));
    }
    const QJsonObject manifest{{"version", version},
                               {"description", "<p>修复若干问题</p>"},
                               {"updatedate", "2026.12.01"},
                               {"filelist", list}};
    server.Serve("/update.json", HttpTestServer::Body(QJsonDocument(manifest).toJson()));
}

bool Install(const Files& files) {
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!testtree::WriteFile(InstallRoot(), it.key(), it.value())) return false;
    }
    return true;
}

// Lines of started.log: each stand-in start, its name and arguments joined by tabs.
QStringList Started() {
    const QString log = QString::fromUtf8(testtree::ReadFile(gProgramDir + "/started.log"));
    return log.split('\n', Qt::SkipEmptyParts);
}

QStringList StartedAfterSettling() {
    QTest::qWait(kSettleMs);
    return Started();
}

QString HelperStartLine() { return QStringList{kHelper, "dir", InstallRoot()}.join('\t'); }

QList<MainWidget*> Windows() {
    QList<MainWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<MainWidget*>(widget)) windows << window;
    }
    return windows;
}

MainWidget* Window() {
    const QList<MainWidget*> windows = Windows();
    return windows.size() == 1 ? windows.first() : nullptr;
}

// The children by their place in the window.
QLabel* LabelAt(const QRect& geometry) {
    MainWidget* window = Window();
    if (!window) return nullptr;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->geometry() == geometry) return label;
    }
    return nullptr;
}
QString Status() {
    QLabel* label = LabelAt(QRect(559, 463, 80, 18));
    return label ? label->text() : QString();
}
QString VersionText() {
    QLabel* label = LabelAt(QRect(40, 140, 350, 24));
    return label ? label->text() : QString();
}
QPushButton* ActionButton() {
    MainWidget* window = Window();
    if (!window) return nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (!button->text().isEmpty()) return button;
    }
    return nullptr;
}
QString ActionText() { return ActionButton() ? ActionButton()->text() : QString(); }

// Runs the event loop until the application quits by itself (the last window closed), after
// starting it with action. False when it had to be stopped after kWaitMs.
bool RunUntilQuit(const std::function<void()>& action) {
    bool timedOut = false;
    QTimer::singleShot(0, qApp, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [&timedOut] {
        timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(kWaitMs);
    QApplication::exec();
    return !timedOut;
}

// A stand-in that keeps running until it is killed.
void StartStaying(QProcess& process, const QString& name) {
    process.start(gProgramDir + "/" + name, {"--stay"});
    process.waitForStarted(kWaitMs);
}

}  // namespace

class TestUpdateFlow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void interactiveUpdateInstallsAndRestarts();
    void forcedUpdateInstallsWithoutWaitingForTheUser();
    void silentRunOnlyDownloadsAndLeavesTheMarker();
    void failedFileShowsFailureAfterTheLastReportAndRetryRecovers();
    void nothingDiffersFinishesWithoutDownloading();
    void unusableManifestFailsBeforeAnythingHappens_data();
    void unusableManifestFailsBeforeAnythingHappens();
    void unusableManifestEndsASilentRunWithoutMarker();
    void entriesTheUpdaterDoesNotManageAreNeitherFetchedNorCounted();
    void installedUpdateLeavesNothingForTheHelper();
    void closingBeforeStartRelaunchesTheAssistant();
    void secondManifestReusesTheWindow();
    void staleDownloadsAreNotInstalled();
    void linkedFolderInTheInstallRootFailsTheUpdate();
    void linkedDownloadFolderIsReplacedByARealOne_data();
    void linkedDownloadFolderIsReplacedByARealOne();

private:
    // One update run: the presenter of this test's tree.
    MainPresenter* NewPresenter(const QString& url);

    // A server of each test's own, so that request counts and answers start afresh.
    std::unique_ptr<HttpTestServer> server_;
    std::unique_ptr<QTemporaryDir> tree_;
    MainPresenter* presenter_ = nullptr;
};

void TestUpdateFlow::init() {
    server_ = std::make_unique<HttpTestServer>();
    QVERIFY(server_->IsListening());
    tree_ = std::make_unique<QTemporaryDir>();
    QVERIFY(tree_->isValid());
    gProgramDir = tree_->path() + "/app/bin";
    QVERIFY(QDir().mkpath(gProgramDir));
    for (const QString& program : {kAssistant, kGlyphService, kHelper}) {
        QVERIFY(QFile::copy(QStringLiteral(STANDIN_DIR "/") + program, gProgramDir + "/" + program));
    }
}

void TestUpdateFlow::cleanup() {
    // A run ends with its process in the real program; here the next test must start afresh:
    // no presenter whose exit hook would fire, no window left over.
    delete presenter_;
    presenter_ = nullptr;
    qDeleteAll(Windows());
    tree_.reset();
    server_.reset();
}

MainPresenter* TestUpdateFlow::NewPresenter(const QString& url) {
    presenter_ = new MainPresenter(url, Layout());
    return presenter_;
}

void TestUpdateFlow::interactiveUpdateInstallsAndRestarts() {
    QVERIFY(Install({{"bin/app.dll", "old app"}, {"bin/same.dll", "unchanged"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}, {"bin/same.dll", "unchanged"}, {"res/new.dat", "added"}});
    QProcess assistant;
    QProcess glyphService;
    StartStaying(assistant, kAssistant);
    StartStaying(glyphService, kGlyphService);

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetInteractive(true);
    presenter->FetchManifest();
    QTRY_VERIFY_WITH_TIMEOUT(Window() && Window()->isVisible(), kWaitMs);
    QCOMPARE(VersionText(), QStringLiteral("卓卡直播助手PC版 V2.0.0"));
    QCOMPARE(ActionText(), QStringLiteral("立即更新"));
    QCOMPARE(assistant.state(), QProcess::Running);  // nothing happens before the user acts

    ActionButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(ActionText(), QStringLiteral("重新启动"));
    // Both processes that hold installed files were ended before the walk.
    QTRY_COMPARE_WITH_TIMEOUT(assistant.state(), QProcess::NotRunning, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(glyphService.state(), QProcess::NotRunning, kWaitMs);

    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll.bak"), QByteArray("old app"));
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/res/new.dat"), QByteArray("added"));
    QCOMPARE(server_->RequestCount(ArchivePath("bin/same.dll")), 0);
    QVERIFY(!Started().contains(HelperStartLine()));

    // "重新启动" starts the assistant again and closes the window, which ends the run; the
    // helper is started on the way out.
    QVERIFY(RunUntilQuit([] { ActionButton()->click(); }));
    QVERIFY(!Window()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(Started().contains(kAssistant), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Started().contains(HelperStartLine()), kWaitMs);
}

void TestUpdateFlow::forcedUpdateInstallsWithoutWaitingForTheUser() {
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QVERIFY(Window()->isVisible());
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
}

void TestUpdateFlow::silentRunOnlyDownloadsAndLeavesTheMarker() {
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}, {"bin/other.dll", "other"}});
    QProcess assistant;
    StartStaying(assistant, kAssistant);

    // Any window shown during the run would pass through here.
    struct ShowCounter : QObject {
        int shown = 0;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && qobject_cast<MainWidget*>(watched)) ++shown;
            return false;
        }
    } counter;
    qApp->installEventFilter(&counter);

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetInteractive(false);
    QVERIFY(presenter->NeedsDownload());
    QVERIFY(RunUntilQuit([presenter] { presenter->FetchManifest(); }));

    QCOMPARE(counter.shown, 0);
    QVERIFY(QFileInfo(Layout().DownloadDir() + install::PendingUpdate::kMarkerName).isFile());
    QCOMPARE(QFileInfo(Layout().DownloadDir() + install::PendingUpdate::kMarkerName).size(), 0);
    QVERIFY(!presenter->NeedsDownload());
    QVERIFY(QFileInfo(Layout().DownloadDir() + "/bin/app.dll.zip").isFile());
    QVERIFY(QFileInfo(Layout().DownloadDir() + "/bin/other.dll.zip").isFile());
    // Installing is the helper's business; the assistant was left alone and no helper started.
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("old app"));
    QCOMPARE(assistant.state(), QProcess::Running);
    QVERIFY(!StartedAfterSettling().contains(HelperStartLine()));
}

void TestUpdateFlow::failedFileShowsFailureAfterTheLastReportAndRetryRecovers() {
    QVERIFY(Install({{"bin/a.dll", "old a"}}));
    const Files update{{"bin/a.dll", "new a"}, {"bin/b.dll", "new b"}, {"bin/c.dll", QByteArray(4000, 'c')}};
    ServeUpdate(*server_, update);
    server_->Serve(ArchivePath("bin/b.dll"), HttpTestServer::Status(404, "gone"));
    // The slowest file reports last, well after the failure of b.
    const QByteArray slowArchive = ArchiveOf("bin/c.dll", update["bin/c.dll"]);
    server_->Serve(ArchivePath("bin/c.dll"), HttpTestServer::Trickle(slowArchive, slowArchive.size() / 4 + 1, 200));

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->FetchManifest();
    QTRY_VERIFY_WITH_TIMEOUT(ActionButton() && Window()->isVisible(), kWaitMs);
    ActionButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("更新失败"), kWaitMs);
    QCOMPARE(testtree::ReadFile(Layout().DownloadDir() + "/bin/c.dll.zip"), slowArchive);
    QVERIFY(QFileInfo(Layout().DownloadDir() + "/bin/a.dll.zip").isFile());
    QCOMPARE(ActionText(), QStringLiteral("重试"));
    QVERIFY(ActionButton()->isEnabled());
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/a.dll"), QByteArray("old a"));

    // The file is back: "重试" walks again with the same manifest and completes the update.
    server_->Serve(ArchivePath("bin/b.dll"), HttpTestServer::Body(ArchiveOf("bin/b.dll", "new b")));
    ActionButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(server_->RequestCount("/update.json"), 1);
    // What the first round fetched stays: only the failed file is asked for again.
    QCOMPARE(server_->RequestCount(ArchivePath("bin/a.dll")), 1);
    QCOMPARE(server_->RequestCount(ArchivePath("bin/c.dll")), 1);
    for (auto it = update.cbegin(); it != update.cend(); ++it) {
        QCOMPARE(testtree::ReadFile(InstallRoot() + "/" + it.key()), it.value());
    }
}

void TestUpdateFlow::nothingDiffersFinishesWithoutDownloading() {
    const Files current{{"bin/app.dll", "same"}, {"readme.txt", "text"}};
    QVERIFY(Install(current));
    ServeUpdate(*server_, current);

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->FetchManifest();
    QTRY_VERIFY_WITH_TIMEOUT(ActionButton() && Window()->isVisible(), kWaitMs);
    ActionButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(ActionText(), QStringLiteral("重新启动"));
    QCOMPARE(server_->RequestCount(), 1);  // the manifest only
    QVERIFY(!QFileInfo::exists(InstallRoot() + "/bin/app.dll.bak"));
}

void TestUpdateFlow::unusableManifestFailsBeforeAnythingHappens_data() {
    QTest::addColumn<bool>("forced");
    QTest::addColumn<QString>("manifest");  // served as update.json; "404" for a missing one
    const QString good = QStringLiteral("{\"name\": \"/bin/app.dll.zip\", \"md5\": \"%1\", \"url\": \"%2\"}");
    const QMap<QString, QString> manifests{
        {"missing", "404"},
        {"not JSON", "{\"filelist\": ["},
        {"a JSON array", "[]"},
        {"filelist not an array", "{\"filelist\": {}}"},
        {"an entry without an MD5", "{\"filelist\": [" + good.arg("", "URL") + "]}"},
        {"an entry not named *.zip", "{\"filelist\": [{\"name\": \"/local.ini\", \"md5\": \"MD5\", \"url\": \"URL\"}]}"},
        {"an entry fetched from a file URL", "{\"filelist\": [" + good.arg("MD5", "file:///etc/passwd") + "]}"},
        // Installing the one would put its old version in place of the other.
        {"a file and one of its backup's name",
         "{\"filelist\": [" + good.arg("MD5", "URL") + ", " + QString(good).replace("app.dll", "App.dll.BAK").arg("MD5", "URL") + "]}"},
    };
    for (auto it = manifests.cbegin(); it != manifests.cend(); ++it) {
        for (const bool forced : {false, true}) {
            const QString row = it.key() + (forced ? ", forced" : "");
            QTest::newRow(qPrintable(row)) << forced << it.value();
        }
    }
}

// "更新失败" at once: nothing is ended, fetched or installed; "重试" fetches the manifest again and,
// once it is usable, goes on with the update the user asked for.
void TestUpdateFlow::unusableManifestFailsBeforeAnythingHappens() {
    QFETCH(bool, forced);
    QFETCH(QString, manifest);
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});
    const QString archiveUrl = server_->Url(ArchivePath("bin/app.dll"));
    if (manifest == "404") {
        server_->Serve("/update.json", HttpTestServer::Status(404, "none"));
    } else {
        manifest.replace("MD5", testtree::Md5("new app")).replace("URL", archiveUrl);
        server_->Serve("/update.json", HttpTestServer::Body(manifest.toUtf8()));
    }
    QProcess assistant;
    StartStaying(assistant, kAssistant);

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(forced);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("更新失败"), kWaitMs);
    QCOMPARE(ActionText(), QStringLiteral("重试"));
    QCOMPARE(server_->RequestCount(), 1);  // the manifest only
    QCOMPARE(assistant.state(), QProcess::Running);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("old app"));

    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});
    ActionButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(server_->RequestCount("/update.json"), 2);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
}

void TestUpdateFlow::unusableManifestEndsASilentRunWithoutMarker() {
    // An entry that would download straight onto the marker, beside one that fails.
    server_->Serve("/raw", HttpTestServer::Body("not an archive"));
    server_->Serve("/gone.zip", HttpTestServer::Status(404, "none"));
    const QString entry = QStringLiteral("{\"name\": \"%1\", \"md5\": \"%2\", \"url\": \"%3\"}");
    const QString md5 = testtree::Md5("x");
    server_->Serve("/update.json", HttpTestServer::Body(QStringLiteral("{\"filelist\": [%1, %2]}")
                                                            .arg(entry.arg("/local.ini", md5, server_->Url("/raw")),
                                                                 entry.arg("/bin/app.dll.zip", md5, server_->Url("/gone.zip")))
                                                            .toUtf8()));
    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetInteractive(false);
    QVERIFY(RunUntilQuit([presenter] { presenter->FetchManifest(); }));
    QVERIFY(!QFileInfo::exists(Layout().DownloadDir() + install::PendingUpdate::kMarkerName));
    QCOMPARE(server_->RequestCount(), 1);
}

void TestUpdateFlow::entriesTheUpdaterDoesNotManageAreNeitherFetchedNorCounted() {
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    // A file without a dot in its name, and one in a hidden folder: the walk never finds them
    // installed and the copy never installs them.
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}, {"bin/LICENSE", "text"}, {".config/a.ini", "x"}});
    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(server_->RequestCount(ArchivePath("bin/LICENSE")), 0);
    QCOMPARE(server_->RequestCount(ArchivePath(".config/a.ini")), 0);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
}

void TestUpdateFlow::installedUpdateLeavesNothingForTheHelper() {
    // A release with a settings file at the top, named like the marker of a silent download.
    QVERIFY(Install({{"bin/app.dll", "old app"}, {"local.ini", "token=old"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}, {"local.ini", "token=new"}});
    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/local.ini"), QByteArray("token=new"));
    QCOMPARE(testtree::Snapshot(Layout().DownloadDir()), (QMap<QString, QByteArray>{}));
}

void TestUpdateFlow::closingBeforeStartRelaunchesTheAssistant() {
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});

    // What the version check does when the service reports an update.
    auto* presenter = NewPresenter(QString());
    presenter->SetDownloadUrl(server_->Url("/update.json"));
    presenter->SetInteractive(true);
    presenter->FetchManifest();
    presenter->SetRestartOnClose();
    QTRY_VERIFY_WITH_TIMEOUT(Window() && Window()->isVisible(), kWaitMs);

    QVERIFY(RunUntilQuit([] { Window()->close(); }));
    QTRY_VERIFY_WITH_TIMEOUT(Started().contains(HelperStartLine()), kWaitMs);
    QCOMPARE(StartedAfterSettling().count(kAssistant), 1);
    QVERIFY(!QFileInfo::exists(InstallRoot() + "/bin/app.dll"));
}

void TestUpdateFlow::secondManifestReusesTheWindow() {
    // Not a busy server's 503, which the download itself tries again: a failure at once.
    server_->Serve("/update.json", HttpTestServer::Status(404, "not yet"));

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->FetchManifest();
    presenter->SetRestartOnClose();
    QTRY_VERIFY_WITH_TIMEOUT(Window() && Window()->isVisible(), kWaitMs);
    QPointer<MainWidget> first = Window();

    // After a failure the result slot, reached by name, fetches the manifest again.
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}}, "3.1.0");
    QVERIFY(QMetaObject::invokeMethod(first, "OnResultClicked"));
    QTRY_COMPARE_WITH_TIMEOUT(VersionText(), QStringLiteral("卓卡直播助手PC版 V3.1.0"), kWaitMs);
    QCOMPARE(server_->RequestCount("/update.json"), 2);
    QCOMPARE(Windows().size(), 1);
    QCOMPARE(Window(), first.data());

    // One window, one link: closing relaunches the assistant once.
    QVERIFY(RunUntilQuit([] { Window()->close(); }));
    QTRY_VERIFY_WITH_TIMEOUT(Started().contains(kAssistant), kWaitMs);
    QCOMPARE(StartedAfterSettling().count(kAssistant), 1);
}

void TestUpdateFlow::staleDownloadsAreNotInstalled() {
    QVERIFY(Install({{"bin/app.dll", "old app"}, {"bin/old.dll", "current old"}, {"bin/lib.dll", "current lib"}}));
    // An earlier silent run downloaded an older file and was never installed; an update before
    // it left what it had unpacked.
    QVERIFY(testtree::WriteFile(Layout().DownloadDir(), "bin/old.dll.zip", ArchiveOf("bin/old.dll", "stale")));
    QVERIFY(testtree::WriteFile(Layout().DownloadDir(), "local.ini", QByteArray()));
    QVERIFY(testtree::WriteFile(Layout().DownloadDir(), "bin/lib.dll", "unpacked long ago"));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/old.dll"), QByteArray("current old"));
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/lib.dll"), QByteArray("current lib"));
    QVERIFY(!QFileInfo::exists(Layout().DownloadDir() + "/bin/old.dll.zip"));
    QVERIFY(!QFileInfo::exists(Layout().DownloadDir() + install::PendingUpdate::kMarkerName));
}

// A folder of the install root linked to one outside it: the update must not write there (nor
// leave ".bak" files there) and fails with the install root wholly old.
void TestUpdateFlow::linkedFolderInTheInstallRootFailsTheUpdate() {
    QTemporaryDir elsewhere;
    QVERIFY(testtree::WriteFile(elsewhere.path(), "data/skin.dat", "outside"));
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    QVERIFY(QFile::link(elsewhere.path() + "/data", InstallRoot() + "/data"));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}, {"data/skin.dat", "new skin"}, {"data/added.dat", "added"}});
    const QMap<QString, QByteArray> outside = testtree::Snapshot(elsewhere.path());
    const QMap<QString, QByteArray> installed = testtree::Snapshot(InstallRoot() + "/bin");

    auto* presenter = NewPresenter(server_->Url("/update.json"));
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("更新失败"), kWaitMs);
    QCOMPARE(testtree::Snapshot(elsewhere.path()), outside);
    QCOMPARE(testtree::Snapshot(InstallRoot() + "/bin"), installed);
    QVERIFY(QFileInfo(InstallRoot() + "/data").isSymLink());
}

void TestUpdateFlow::linkedDownloadFolderIsReplacedByARealOne_data() {
    QTest::addColumn<QString>("linked");      // below the download folder; empty: the folder itself
    QTest::addColumn<bool>("afterCreation");  // the link appears after the presenter made the folder
    QTest::newRow("folder, before the run") << QString() << false;
    QTest::newRow("folder, during the run") << QString() << true;
    QTest::newRow("subfolder") << QStringLiteral("/bin") << true;
}

// Whatever the link points at keeps its files (a stale-download cleanup through it deleted
// them) and receives none of the update's.
void TestUpdateFlow::linkedDownloadFolderIsReplacedByARealOne() {
    QFETCH(QString, linked);
    QFETCH(bool, afterCreation);
    QTemporaryDir elsewhere;
    QVERIFY(testtree::WriteFile(elsewhere.path(), "keep.zip", "not ours"));
    QVERIFY(testtree::WriteFile(elsewhere.path(), "bin/lib.dll", "not ours either"));
    const QMap<QString, QByteArray> outside = testtree::Snapshot(elsewhere.path());
    QVERIFY(Install({{"bin/app.dll", "old app"}}));
    ServeUpdate(*server_, {{"bin/app.dll", "new app"}});
    const QString link = Layout().DownloadDir() + linked;
    const auto makeLink = [&] {
        QDir(link).removeRecursively();
        return QDir().mkpath(QFileInfo(link).path()) && QFile::link(elsewhere.path(), link);
    };

    if (!afterCreation) QVERIFY(makeLink());
    auto* presenter = NewPresenter(server_->Url("/update.json"));
    if (afterCreation) QVERIFY(makeLink());
    presenter->SetForceUpdate(true);
    presenter->FetchManifest();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("安装完成"), kWaitMs);
    QCOMPARE(testtree::ReadFile(InstallRoot() + "/bin/app.dll"), QByteArray("new app"));
    QCOMPARE(testtree::Snapshot(elsewhere.path()), outside);
    QVERIFY(!QFileInfo(Layout().DownloadDir()).isSymLink());
    QVERIFY(QFileInfo(Layout().DownloadDir()).isDir());
}

QTEST_MAIN(TestUpdateFlow)

#include "tst_update_flow.moc"
