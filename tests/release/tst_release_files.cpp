// Tests of the file rules that the walk, the install steps and update-pack share: the key of a
// file below a root, and when a file's content matches a manifest's MD5.
#include <QTemporaryDir>
#include <QtTest>

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
