// Tests of the file rules that the walk, the install steps and update-pack share: the key of a
// file below a root, when a file's content matches a manifest's MD5, and that MD5 itself.
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include "md5.h"
#include "release_files.h"
#include "test_tree.h"

class TestReleaseFiles : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { testtree::DropFileAccessOverride(); }
    void keyIsThePathBelowTheRoot_data();
    void keyIsThePathBelowTheRoot();
    void contentMatchesTheManifestMd5_data();
    void contentMatchesTheManifestMd5();
    void md5Digest_data();
    void md5Digest();
};

void TestReleaseFiles::keyIsThePathBelowTheRoot_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("key");  // empty: not below the root
    QTest::newRow("root") << "/opt/app/bin/a.dll" << "/opt/app" << "/bin/a.dll";
    QTest::newRow("root ending in /") << "/opt/app/bin/a.dll" << "/opt/app/" << "/bin/a.dll";
    QTest::newRow("file system root") << "/a.dll" << "/" << "/a.dll";
    QTest::newRow("drive root") << "C:/bin/a.dll" << "C:/" << "/bin/a.dll";
    QTest::newRow("root's name continues") << "/opt/app2/a.dll" << "/opt/app" << "";
}

void TestReleaseFiles::keyIsThePathBelowTheRoot() {
    QFETCH(QString, path);
    QFETCH(QString, root);
    QTEST(release::FileKey(path, root), "key");
}

void TestReleaseFiles::contentMatchesTheManifestMd5_data() {
    QTest::addColumn<QString>("manifestMd5");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<bool>("match");
    const QString md5 = testtree::Md5("content");
    QTest::newRow("same digest") << md5 << true << true;
    QTest::newRow("upper-case digits") << md5.toUpper() << true << true;
    QTest::newRow("other content") << testtree::Md5("other") << true << false;
    QTest::newRow("unreadable file") << md5 << false << false;
    QTest::newRow("unreadable file, no digest") << QString() << false << false;
}

void TestReleaseFiles::contentMatchesTheManifestMd5() {
    QFETCH(QString, manifestMd5);
    QFETCH(bool, readable);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/a.dll";
    QVERIFY(testtree::WriteFile(dir.path(), "a.dll", "content"));
    if (!readable && !testtree::MakeUnreadable(path)) QSKIP("this process can read a mode-000 file");
    QTEST(release::Md5Matches(release::FileMd5(path), manifestMd5), "match");
}

QTEST_GUILESS_MAIN(TestReleaseFiles)
#include "tst_release_files.moc"

void TestReleaseFiles::md5Digest_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");  // hex
    // The test suite of the MD5 definition (RFC 1321).
    QTest::newRow("empty") << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("a") << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                              << QByteArray("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("80 digits") << QByteArray("1234567890").repeated(8)
                               << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
    // Lengths around the block and the padding boundaries, against Qt's MD5.
    for (const int size : {55, 56, 63, 64, 65, 119, 120, 1000}) {
        QByteArray input(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) input[i] = static_cast<char>(i * 131 + size);
        QTest::addRow("%d bytes", size) << input << QCryptographicHash::hash(input, QCryptographicHash::Md5).toHex();
    }
}

// Fed whole and fed in pieces that straddle the 64-byte blocks, the digest is the same.
void TestReleaseFiles::md5Digest() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);
    release::Md5 whole;
    whole.AddData(input.constData(), input.size());
    QCOMPARE(whole.Result().toHex(), digest);
    release::Md5 pieces;
    for (int at = 0; at < input.size(); at += 7) pieces.AddData(input.constData() + at, qMin(7, input.size() - at));
    QCOMPARE(pieces.Result().toHex(), digest);
}
