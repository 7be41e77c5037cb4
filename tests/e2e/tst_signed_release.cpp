// Signed releases as users get them: the programs built with the test key install the
// publisher's current signed release and nothing an attacker answering the HTTP requests can
// make of it; the key-less programs install an unsigned release as before.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "e2e_site.h"
#include "http_test_server.h"
#include "test_tree.h"

using namespace e2e;

namespace {

const QString kFailed = QStringLiteral("更新失败");

// The rows. Each but the two that install ends with the install root wholly v1.
const QString kInstalls = QStringLiteral("signed release installs");
const QString kKeyless = QStringLiteral("key-less build installs an unsigned release");
const QString kManifestFlipped = QStringLiteral("manifest byte flipped");
const QString kOtherKey = QStringLiteral("signature from another key");
const QString kNoSignature = QStringLiteral("signature missing");
const QString kGarbage = QStringLiteral("signature file of garbage");
const QString kAttackerArchive = QStringLiteral("archive replaced in a manifest re-signed by an attacker");
const QString kMixAndMatch = QStringLiteral("archive swapped for the one of an older signed release");
const QString kRollback = QStringLiteral("older signed release offered");
const QString kEndless = QStringLiteral("archive served endlessly past its size");
const QString kHelperFolderChanged = QStringLiteral("download folder changed before the helper ran");

}  // namespace

class TestSignedRelease : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void onlyThePublishersCurrentReleaseInstalls_data();
    void onlyThePublishersCurrentReleaseInstalls();

private:
    QTemporaryDir keys_;
    QString attackerKey_;
};

void TestSignedRelease::initTestCase() {
    QVERIFY(QFileInfo(Site::TestSecretKey()).isFile());
    const QString error = Site::RunPack({"keygen", "--output", keys_.path()});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    attackerKey_ = keys_.path() + "/release.key";
}

void TestSignedRelease::onlyThePublishersCurrentReleaseInstalls_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("manifestRefused");  // nothing but the manifest and its signature fetched
    for (const QString& fault : {kInstalls, kKeyless, kHelperFolderChanged, kAttackerArchive, kMixAndMatch, kEndless}) {
        QTest::newRow(qPrintable(fault)) << fault << false;
    }
    for (const QString& fault : {kManifestFlipped, kOtherKey, kNoSignature, kGarbage, kRollback}) {
        QTest::newRow(qPrintable(fault)) << fault << true;
    }
}

void TestSignedRelease::onlyThePublishersCurrentReleaseInstalls() {
    QFETCH(QString, fault);
    QFETCH(bool, manifestRefused);
    const bool installs = fault == kInstalls || fault == kKeyless;
    Site site;
    QVERIFY(site.Lay(Version("v1"), fault != kKeyless));
    HttpTestServer server;
    QVERIFY(server.IsListening());
    const QString endpoint = server.Url("/api");

    // The release offered: v2 signed with the key the programs trust, but for the rows below.
    QString name = "v2";
    Tree target = Version("v2");
    QString version;
    QString key = Site::TestSecretKey();
    const QString victim = Changed(Version("v1"), Version("v2")).first();
    if (fault == kKeyless) {
        key.clear();
    } else if (fault == kOtherKey) {
        key = attackerKey_;
    } else if (fault == kAttackerArchive) {
        target.insert(victim, "the attacker's program");
        key = attackerKey_;
    } else if (fault == kMixAndMatch) {
        QString error;
        QVERIFY2(!site.Publish(server, "v2", Version("v2"), &error, QString(), key).isEmpty(), qPrintable(error));
        name = "v3";
        target = Version("v3");
    } else if (fault == kRollback) {
        target = Version("v3");
        version = "1.2.0";  // the programs report 1.4.5.1
    }
    QString error;
    const QString manifest = site.Publish(server, name, target, &error, version, key);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    const QString signature = "/" + name + "/update.json.sig";

    if (fault == kManifestFlipped) {
        QByteArray bytes = site.Published(name, "update.json");
        const int at = bytes.indexOf("\"2.0.0\"") + 1;
        QVERIFY(at > 0);
        bytes[at] = '3';
        server.Serve("/" + name + "/update.json", HttpTestServer::Body(bytes));
    } else if (fault == kNoSignature) {
        server.Serve(signature, HttpTestServer::Status(404, "not here"));
    } else if (fault == kGarbage) {
        server.Serve(signature, HttpTestServer::Body("not a signature at all\n"));
    } else if (fault == kMixAndMatch) {
        // A file both releases changed: v3's manifest, v2's archive (signed too, but for v2).
        QString swapped;
        for (const QString& path : Changed(Version("v2"), Version("v3"))) {
            if (Version("v2").contains(path) && Version("v1").value(path) != Version("v2").value(path)) swapped = path;
        }
        QVERIFY(!swapped.isEmpty());
        server.Serve(Site::ArchivePath("v3", swapped), HttpTestServer::Body(site.Archive("v2", swapped)));
    } else if (fault == kEndless) {
        server.Serve(Site::ArchivePath(name, victim), HttpTestServer::Endless(site.Archive(name, victim)));
    }
    const auto archiveRequests = [&] {
        int count = 0;
        for (const QString& path : target.keys()) count += server.RequestCount(Site::ArchivePath(name, path));
        return count;
    };

    if (installs) {
        UpdateThroughTheWindow(site, server, manifest);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(Diff(site.Installed(), Digest(target)), QStringList());
        // Without a key the wire carries what it always did: no signature is asked for.
        QCOMPARE(server.RequestCount(signature) > 0, fault == kInstalls);
        return;
    }

    if (fault == kHelperFolderChanged) {
        // The silent run verifies and downloads; the folder changes before the helper runs.
        QProcess updater;
        site.StartUpdater(updater, "silentDownload", manifest, endpoint);
        QVERIFY(updater.waitForFinished(kWaitMs));
        QVERIFY(QFileInfo(site.DownloadDir() + "/local.ini").isFile());
        QFile downloaded(site.DownloadDir() + "/update.json");
        QVERIFY(downloaded.open(QIODevice::ReadWrite));
        QByteArray bytes = downloaded.readAll();
        bytes.replace("\"2.0.0\"", "\"3.0.0\"");
        QVERIFY(downloaded.seek(0) && downloaded.write(bytes) == bytes.size());
        downloaded.close();
        server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
        QCOMPARE(site.RunHelper(endpoint), 0);
        QVERIFY(!QFileInfo::exists(site.DownloadDir() + "/local.ini"));
    } else {
        server.Serve("/api", HttpTestServer::Body(ServiceAnswer(true, manifest)));
        QProcess updater;
        site.StartUpdater(updater, "checkVersion", QString(), endpoint, {"wait " + kFailed});
        QTRY_VERIFY_WITH_TIMEOUT(site.Events().contains("status " + kFailed), kWaitMs);
        server.Serve("/api", HttpTestServer::Body(ServiceAnswer(false, QString())));
        site.Command({"close"});
        QVERIFY(updater.waitForFinished(kWaitMs));
    }
    QTRY_VERIFY_WITH_TIMEOUT(site.Running().isEmpty(), kWaitMs);
    QCOMPARE(Diff(site.Installed(), Digest(Version("v1"))), QStringList());
    QCOMPARE(site.Backups(), Digests());
    if (manifestRefused) QCOMPARE(archiveRequests(), 0);
}

QTEST_GUILESS_MAIN(TestSignedRelease)
#include "tst_signed_release.moc"
