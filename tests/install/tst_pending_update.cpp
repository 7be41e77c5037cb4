// What the download folder keeps between runs: of the archives to fetch, the complete ones and
// the partial ones that continue the same archive; nothing else.
#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "pending_update.h"
#include "test_tree.h"

using install::PartialInfo;
using install::PendingUpdate;

namespace {

const QString kUrl = QStringLiteral("http://127.0.0.1:1/v2/bin/a.dll.zip");
const QByteArray kArchive(4000, 'a');

QString Sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

}  // namespace

class TestPendingUpdate : public QObject {
    Q_OBJECT
private slots:
    void keepsWhatContinuesThisRelease_data();
    void keepsWhatContinuesThisRelease();
};

void TestPendingUpdate::keepsWhatContinuesThisRelease_data() {
    QTest::addColumn<QByteArray>("archive");  // at bin/a.dll.zip, none when null
    QTest::addColumn<QByteArray>("partial");  // the partial archive's bytes, none when null
    QTest::addColumn<QString>("partialUrl");  // the URL its information names
    QTest::addColumn<bool>("entryHasHash");   // the entry declares "size" and "sha256"
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("after");   // the folder afterwards, besides the manifest

    const QString part = "bin/.a.dll.zip.part";
    const QString info = "bin/.a.dll.zip.part.json";
    QByteArray other = kArchive;
    other[10] = 'b';
    QTest::newRow("the whole archive, its hash matching")
        << kArchive << QByteArray() << QString() << true << true << QStringList{"bin/a.dll.zip"};
    QTest::newRow("an archive of the right size, another hash")
        << other << QByteArray() << QString() << true << false << QStringList{};
    QTest::newRow("an archive cut short under its own name")
        << kArchive.left(100) << QByteArray() << QString() << true << false << QStringList{};
    QTest::newRow("an archive whose entry says nothing of it is kept for the unpack to judge")
        << other << QByteArray() << QString() << false << true << QStringList{"bin/a.dll.zip"};
    QTest::newRow("a partial archive of this release")
        << QByteArray() << kArchive.left(1000) << kUrl << true << false << QStringList{part, info};
    QTest::newRow("a partial archive of another URL")
        << QByteArray() << kArchive.left(1000) << QString(kUrl).replace("v2", "v1") << true << false << QStringList{};
    QTest::newRow("a partial archive as long as the whole")
        << QByteArray() << kArchive << kUrl << true << false << QStringList{};
}

void TestPendingUpdate::keepsWhatContinuesThisRelease() {
    QFETCH(QByteArray, archive);
    QFETCH(QByteArray, partial);
    QFETCH(QString, partialUrl);
    QFETCH(bool, entryHasHash);
    QFETCH(bool, complete);
    QFETCH(QStringList, after);
    QTemporaryDir temp;
    const QString dir = temp.path() + "/download";
    const PendingUpdate pending(dir, temp.path() + "/root");
    ManifestEntry entry{"/bin/a.dll.zip", QString(32, '0'), kUrl};
    if (entryHasHash) {
        entry.sha256 = Sha256(kArchive);
        entry.size = kArchive.size();
    }
    // What every earlier run may leave besides: the manifest (kept), an archive of a file not to
    // be fetched, the marker, a stray file, a link.
    QVERIFY(testtree::WriteFile(dir, "update.json", "{}"));
    QVERIFY(testtree::WriteFile(dir, "bin/b.dll.zip", "of another release"));
    QVERIFY(testtree::WriteFile(dir, "local.ini", QByteArray()));
    QVERIFY(testtree::WriteFile(dir, "bin/app.dll", "unpacked earlier"));
    QVERIFY(QFile::link(temp.path(), dir + "/bin/link.zip"));
    if (!archive.isNull()) QVERIFY(testtree::WriteFile(dir, "bin/a.dll.zip", archive));
    if (!partial.isNull()) {
        QVERIFY(testtree::WriteFile(dir, "bin/.a.dll.zip.part", partial));
        QVERIFY(PendingUpdate::WritePartialInfo(dir + "/bin/a.dll.zip", PartialInfo{partialUrl, entry.sha256, entry.size, "\"e1\"", {}}));
    }

    QStringList completed;
    QVERIFY(pending.Keep({{entry.name, entry}}, {{entry.name, kUrl}}, &completed));
    QCOMPARE(completed, complete ? QStringList{"/bin/a.dll.zip"} : QStringList{});
    QStringList left = testtree::Snapshot(dir).keys();
    left.removeOne("update.json");
    after.sort();
    QCOMPARE(left, after);
    QVERIFY(!QFileInfo(dir + "/bin/link.zip").isSymLink());
    QVERIFY(QFileInfo(temp.path()).isDir());
    if (!partial.isNull() && !after.isEmpty()) {
        QCOMPARE(PendingUpdate::ReadPartialInfo(dir + "/bin/a.dll.zip")->etag, QByteArray("\"e1\""));
    }
}

QTEST_GUILESS_MAIN(TestPendingUpdate)
#include "tst_pending_update.moc"
