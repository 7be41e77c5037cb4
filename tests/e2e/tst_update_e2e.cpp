// Updates as users get them: a forced update through the window, one update after another,
// and a silent download that the helper installs, behind a proxy, each in a temporary
// installation of the real programs against releases published with update-pack.
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include "e2e_site.h"
#include "http_test_server.h"
#include "nginx_server.h"
#include "squid_proxy.h"
#include "target_programs.h"
#include "test_tree.h"

using namespace e2e;

namespace {

// The release's host is a name only the proxy resolves: what arrives went through it.
const QString kProxiedHost = QStringLiteral("updates.example");
const QString kProxyUser = QStringLiteral("ann");
const QString kProxyPassword = QStringLiteral("s3cret");

}  // namespace

class TestUpdateEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void updatesThroughTheWindow_data();
    void updatesThroughTheWindow();
    void silentDownloadIsInstalledByTheHelper();
    void proxyRefusingTheCredentialsFailsTheUpdate();
    void silentDownloadOverHttps();
    void killedDownloadGoesOnInTheNextRun();
    void patchesReplaceArchivesWhereTheyApply_data();
    void patchesReplaceArchivesWhereTheyApply();
};

void TestUpdateEndToEnd::updatesThroughTheWindow_data() {
    QTest::addColumn<QStringList>("releases");  // installed one after the other over v1
    QTest::newRow("one update") << QStringList{"v2"};
    QTest::newRow("a second update replaces the stale backups") << QStringList{"v2", "v3"};
    QTest::newRow("the same release again fetches nothing") << QStringList{"v2", "v2"};
}

void TestUpdateEndToEnd::updatesThroughTheWindow() {
    QFETCH(QStringList, releases);
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());

    Tree installed = Version("v1");
    Digests backups;
    QMap<QString, QString> manifests;
    for (const QString& release : releases) {
        const Tree target = Version(release);
        if (!manifests.contains(release)) {
            QString error;
            manifests.insert(release, site.Publish(server, release, target, &error));
            QVERIFY2(!manifests.value(release).isEmpty(), qPrintable(error));
        }
        auto archiveRequests = [&] {
            int count = 0;
            for (const QString& path : target.keys()) count += server.RequestCount(Site::ArchivePath(release, path));
            return count;
        };
        const int requested = archiveRequests();

        UpdateThroughTheWindow(site, server, manifests.value(release));
        if (QTest::currentTestFailed()) return;

        // Exactly the files that differ were fetched; each replaced file left its old content
        // as ".bak", replacing the backup of an earlier update.
        QCOMPARE(archiveRequests() - requested, Changed(installed, target).size());
        backups.insert(Backups(installed, target));
        installed = target;
        QCOMPARE(Diff(site.Installed(), Digest(target)), QStringList());
        QCOMPARE(Diff(site.Backups(), backups), QStringList());
    }
}

void TestUpdateEndToEnd::silentDownloadIsInstalledByTheHelper() {
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    // Behind a proxy with Basic authentication; Windows' settings hold no credentials, so the
    // Windows programs meet one that asks for none.
    const bool windows = target::IsWindows();
    SquidProxy proxy(windows ? QString() : kProxyUser, kProxyPassword, {kProxiedHost});
    QVERIFY2(proxy.IsRunning(), qPrintable(proxy.Error()));
    QVERIFY(site.UseProxy(windows ? proxy.Url() : proxy.Url(kProxyUser, kProxyPassword)));
    server.NameHost(kProxiedHost);
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
    const QString endpoint = server.Url("/api");

    // What an earlier run left goes first, even when it is marked read-only.
    const QString stale = site.DownloadDir() + "/bin/stale.dll.zip";
    QVERIFY(testtree::WriteFile(site.DownloadDir(), "bin/stale.dll.zip", "from an earlier run"));
    QVERIFY(QFile::setPermissions(stale, QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther));

    // The download leaves the changed files' archives, the manifest and the marker; nothing
    // is installed and nothing started.
    QProcess updater;
    site.StartUpdater(updater, "silentDownload", manifest, endpoint);
    QVERIFY(updater.waitForFinished(kWaitMs));
    QCOMPARE(updater.exitCode(), 0);
    QStringList expected{"local.ini", "update.json"};
    for (const QString& path : Changed(Version("v1"), Version("v2"))) expected.append(path + ".zip");
    expected.sort();
    QCOMPARE(testtree::Snapshot(site.DownloadDir()).keys(), expected);
    QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    QVERIFY(site.Started().isEmpty());
    QVERIFY2(site.LogLines("update").last().contains("] I update.exe ended: finished: "),
             qPrintable(site.LogLines("update").join('\n')));
    // Every file through the proxy; only the first request learns that it wants Basic.
    QStringList fetched{"GET " + manifest + (windows ? "" : " 407"), "GET " + manifest + " 200"};
    if (windows) fetched.removeFirst();
    for (const QString& path : Changed(Version("v1"), Version("v2"))) {
        fetched.append("GET " + server.Url(Site::ArchivePath("v2", path)) + " 200");
    }
    QStringList proxied = proxy.Requests();
    proxied.sort();
    fetched.sort();
    QCOMPARE(proxied.join('\n'), fetched.join('\n'));

    // A second silent run finds the marker and ends without a request.
    const int requests = server.RequestCount();
    QProcess second;
    site.StartUpdater(second, "silentDownload", manifest, endpoint);
    QVERIFY(second.waitForFinished(kWaitMs));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(server.RequestCount(), requests);

    // The helper installs it and starts the updater, which asks the service.
    QCOMPARE(site.RunHelper(endpoint), 0);
    QCOMPARE(Diff(site.Installed(), Digest(Version("v2"))), QStringList());
    QCOMPARE(Diff(site.Backups(), Backups(Version("v1"), Version("v2"))), QStringList());
    QVERIFY(!QFileInfo::exists(site.DownloadDir() + "/local.ini"));
    const QStringList helperLog = site.LogLines("helper");
    QVERIFY2(!helperLog.isEmpty() && helperLog.first().contains("] I helper.exe " UPDATER_VERSION " started: ") &&
                 helperLog.last().contains("] I helper.exe ended: finished: the pending download is installed"),
             qPrintable(helperLog.join('\n')));
    QTRY_COMPARE_WITH_TIMEOUT(server.RequestCount("/api"), 1, kWaitMs);
    QVERIFY(proxy.Requests().contains("POST " + endpoint + " 200"));
    QTRY_COMPARE_WITH_TIMEOUT(site.Started(), QStringList{"ZEBAssistant.exe"}, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
}

void TestUpdateEndToEnd::proxyRefusingTheCredentialsFailsTheUpdate() {
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    SquidProxy proxy(kProxyUser, kProxyPassword, {kProxiedHost});
    QVERIFY2(proxy.IsRunning(), qPrintable(proxy.Error()));
    // A wrong password; the Windows programs, with the system's settings, have none at all.
    const bool windows = target::IsWindows();
    QVERIFY(site.UseProxy(proxy.Url(kProxyUser, "wrong")));
    const QString who = windows ? "no credentials" : "as user \"" + kProxyUser + "\"";
    const QString refusal = QString("proxy 127.0.0.1:%1 refused: 407 Proxy Authentication Required, %2").arg(proxy.Port()).arg(who);
    server.NameHost(kProxiedHost);
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifest)));
    const QString endpoint = server.Url("/api");

    // The download fails, fetching nothing, and the log says why; the password appears nowhere.
    QProcess updater;
    site.StartUpdater(updater, "silentDownload", manifest, endpoint);
    QVERIFY(updater.waitForFinished(kWaitMs));
    QStringList log = site.LogLines("update");
    QVERIFY2(log.filter(refusal).size() == 1 && log.last().contains("] I update.exe ended: failed: "),
             qPrintable(log.join('\n')));

    // So does the version check.
    QProcess checker;
    site.StartUpdater(checker, "checkVersion", QString(), endpoint);
    QVERIFY(checker.waitForFinished(kWaitMs));
    log = site.LogLines("update");
    QVERIFY2(!log.filter("Version check failed: " + refusal).isEmpty(), qPrintable(log.join('\n')));
    QVERIFY(log.filter("wrong").isEmpty());
    QCOMPARE(server.RequestCount(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
}

// The Windows programs check the server with Windows' own TLS (Schannel), the others with OpenSSL.
void TestUpdateEndToEnd::silentDownloadOverHttps() {
    const QString unavailable = HttpTestServer::TlsUnavailable();
    if (!unavailable.isEmpty()) QSKIP(qPrintable(unavailable));
    QSslCertificate certificate;
    QSslKey key;
    // By name: libcurl's Schannel matches only names against a certificate, never addresses.
    const QString problem = HttpTestServer::MakeCertificate({"localhost"}, &certificate, &key);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    QVERIFY(site.Trust(certificate));
    HttpTestServer server(certificate, key);
    QVERIFY(server.IsListening());
    server.NameHost("localhost");
    QString error;
    const QString manifest = site.Publish(server, "v2", Version("v2"), &error);
    QVERIFY2(manifest.startsWith("https://"), qPrintable(error));

    QProcess updater;
    site.StartUpdater(updater, "silentDownload", manifest, server.Url("/api"));
    QVERIFY(updater.waitForFinished(kWaitMs));
    const QStringList log = site.LogLines("update");
    QVERIFY2(log.last().contains("] I update.exe ended: finished: "), qPrintable(log.join('\n')));
    QStringList expected{"local.ini", "update.json"};
    for (const QString& path : Changed(Version("v1"), Version("v2"))) expected.append(path + ".zip");
    expected.sort();
    QCOMPARE(testtree::Snapshot(site.DownloadDir()).keys(), expected);
}

// Killed in the middle of an archive, a silent download goes on from there in the next run, as
// nginx serves it: real ranges and ETags.
void TestUpdateEndToEnd::killedDownloadGoesOnInTheNextRun() {
    if (NginxServer::Executable().isEmpty()) QSKIP("nginx is not installed (scripts/setup-deps installs nginx-light)");
    Site site;
    QVERIFY(site.Lay(Version("v1")));
    // A large archive, sent slowly, so the kill lands inside it.
    Tree v2 = Version("v2");
    QByteArray large(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator random(11);
    for (char& c : large) c = static_cast<char>(random.bounded(256));
    v2.insert("bin/large.dll", large);
    // nginx's workers run as www-data: the site's folder must let them through.
    QVERIFY(QFile::setPermissions(site.Scratch(""), QFile::permissions(site.Scratch("")) | QFile::ExeOther));
    NginxServer nginx;
    QVERIFY2(nginx.Start(site.Scratch("nginx"), site.Scratch(""), 400 * 1024),
             qPrintable(testtree::ReadFile(site.Scratch("nginx/error.log"))));
    QString error;
    const QString published = site.PublishFiles(nginx.Url("/pub-v2"), "v2", v2, &error);
    QVERIFY2(!published.isEmpty(), qPrintable(error));
    const QString manifest = nginx.Url("/pub-v2/update.json");

    QProcess first;
    site.StartUpdater(first, "silentDownload", manifest, nginx.Url("/api"));
    const QString partial = site.DownloadDir() + "/bin/.large.dll.zip.part";
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() >= 100 * 1024, kWaitMs);
    first.kill();
    QVERIFY(first.waitForFinished(kWaitMs));
    const qint64 kept = QFileInfo(partial).size();
    QVERIFY(kept > 0 && kept < large.size());

    QProcess second;
    site.StartUpdater(second, "silentDownload", manifest, nginx.Url("/api"));
    QVERIFY(second.waitForFinished(kWaitMs));
    const QStringList log = site.LogLines("update");
    QVERIFY2(log.last().contains("] I update.exe ended: finished: "), qPrintable(log.join('\n')));
    // Only the rest of the archive was sent, and the archive is the published one.
    const QByteArray archive = testtree::ReadFile(published + "/bin/large.dll.zip");
    const QString rest = QString("GET /pub-v2/bin/large.dll.zip 206 bytes=%1- %2").arg(kept).arg(archive.size() - kept);
    QVERIFY2(nginx.Requests().contains(rest), qPrintable(nginx.Requests().join('\n')));
    QCOMPARE(testtree::ReadFile(site.DownloadDir() + "/bin/large.dll.zip"), archive);
    QStringList expected{"local.ini", "update.json"};
    for (const QString& path : Changed(Version("v1"), v2)) expected.append(path + ".zip");
    expected.sort();
    QCOMPARE(testtree::Snapshot(site.DownloadDir()).keys(), expected);
}

void TestUpdateEndToEnd::patchesReplaceArchivesWhereTheyApply_data() {
    QTest::addColumn<bool>("silent");  // a silent download the helper installs, else the window
    QTest::addColumn<QString>("fault");
    QTest::newRow("through the window") << false << "";
    QTest::newRow("silent download and helper") << true << "";
    QTest::newRow("a damaged patch: its archive in the same run") << false << "damaged";
    QTest::newRow("an installed file no patch starts from: its archive") << false << "edited";
}

// A release of small edits with patches against v1: where the installed file is what a patch
// starts from, the patch alone is fetched; a file new in the release, or one no patch applies to
// (edited by hand, its patch damaged), comes as its archive, in the same run.
void TestUpdateEndToEnd::patchesReplaceArchivesWhereTheyApply() {
    QFETCH(bool, silent);
    QFETCH(QString, fault);
    const Tree older = Version("v1"), target = Version("v2p");
    const QString victim = Changed(older, target).first();
    Tree installed = older;
    if (fault == "edited") installed.insert(victim, older.value(victim) + "edited");
    Site site;
    QVERIFY(site.Lay(installed));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    QVERIFY(site.PatchFrom(older));
    QString error;
    const QString manifest = site.Publish(server, "v2p", target, &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    const QString victimPatch = Site::PatchPath("v2p", victim, older.value(victim));
    if (fault == "damaged") {
        QByteArray patch = site.Published("v2p", victimPatch.mid(QString("/v2p/").size()));
        QVERIFY(!patch.isEmpty());
        patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 1);
        server.Serve(victimPatch, HttpTestServer::Body(patch));
    }

    if (silent) {
        server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
        QProcess updater;
        site.StartUpdater(updater, "silentDownload", manifest, server.Url("/api"));
        QVERIFY(updater.waitForFinished(kWaitMs));
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(site.RunHelper(server.Url("/api")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
    } else {
        UpdateThroughTheWindow(site, server, manifest);
        if (QTest::currentTestFailed()) return;
    }

    QCOMPARE(Diff(site.Installed(), Digest(target)), QStringList());
    QCOMPARE(Diff(site.Backups(), Backups(installed, target)), QStringList());
    for (const QString& path : Changed(older, target)) {
        const bool patched = older.contains(path) && !(path == victim && !fault.isEmpty());
        QCOMPARE(server.RequestCount(Site::ArchivePath("v2p", path)), patched ? 0 : 1);
        if (patched) QCOMPARE(server.RequestCount(Site::PatchPath("v2p", path, older.value(path))), 1);
    }
}

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "tst_update_e2e.moc"
