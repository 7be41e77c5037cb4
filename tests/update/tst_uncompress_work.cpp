// Tests of the updater's unpack worker in the cases that install nothing: one report from the
// pool, and the truthful result.
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include "info_zip.h"
#include "test_tree.h"
#include "uncompress_work.h"

class TestUnCompressWork : public QObject {
    Q_OBJECT

private slots:
    void reportsFalseOnceWhenNothingWasInstalled_data();
    void reportsFalseOnceWhenNothingWasInstalled();
    void extractionStepTellsWhetherArchivesWereUnpacked_data();
    void extractionStepTellsWhetherArchivesWereUnpacked();
};

void TestUnCompressWork::reportsFalseOnceWhenNothingWasInstalled_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<bool>("looseFile");
    QTest::newRow("empty download directory") << "none" << false;
    QTest::newRow("only a corrupt archive") << "corrupt" << false;
    // Installing after a failed extraction would mix two versions: the loose file stays put.
    QTest::newRow("corrupt archive beside an unpacked file") << "corrupt" << true;
    // Extracted fine, but its one file meets a folder in its place: the copy fails, so no success.
    QTest::newRow("archive whose file cannot be installed") << "blocked" << false;
}

void TestUnCompressWork::reportsFalseOnceWhenNothingWasInstalled() {
    QFETCH(QString, archive);
    QFETCH(bool, looseFile);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString work = temp.path() + "/download";
    const QString root = temp.path() + "/root";
    const QString name = QStringLiteral("file.txt");
    const QString installed = root + "/" + name;
    QVERIFY(QDir().mkpath(root));
    QVERIFY(QDir().mkpath(work));
    if (archive == "corrupt") QVERIFY(testtree::WriteFile(work, "bad.zip", QByteArray(512, 'x')));
    if (looseFile) QVERIFY(testtree::WriteFile(work, name, "unpacked earlier"));
    if (archive == "blocked") {
        if (!infozip::Available()) QSKIP("Info-ZIP zip is not installed");
        QVERIFY(testtree::WriteFile(temp.path() + "/staging", name, "new"));
        QVERIFY(infozip::MakeArchive(work + "/good.zip", temp.path() + "/staging", {name}));
        QVERIFY(testtree::WriteFile(installed, "inside.txt", "blocker"));
    }

    auto* worker = new UnCompressWork(work, root);
    QVERIFY(worker->autoDelete());
    QSignalSpy spy(worker, &UnCompressWork::uncompressfinished);
    QThreadPool::globalInstance()->start(worker);
    // The report may come before the wait would start: count it, never wait for a new one.
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 30000);
    QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toBool(), false);
    QVERIFY(!QFileInfo::exists(work + "/bad.zip"));
    QVERIFY(!QFileInfo::exists(work + "/good.zip"));
    QVERIFY2(!QFileInfo(installed).isFile(), "nothing may be installed");
    QVERIFY(!QFileInfo::exists(installed + ".bak"));
    QCOMPARE(QFileInfo::exists(work + "/" + name), looseFile || archive == "blocked");
}

void TestUnCompressWork::extractionStepTellsWhetherArchivesWereUnpacked_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("expected");
    QTest::newRow("a good archive") << "good" << true;
    QTest::newRow("no archive") << "none" << false;
    QTest::newRow("a corrupt archive") << "corrupt" << false;
}

void TestUnCompressWork::extractionStepTellsWhetherArchivesWereUnpacked() {
    QFETCH(QString, content);
    QFETCH(bool, expected);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString work = temp.path() + "/download";
    QVERIFY(QDir().mkpath(work));
    if (content == "good") {
        if (!infozip::Available()) QSKIP("Info-ZIP zip is not installed");
        QVERIFY(testtree::WriteFile(temp.path() + "/staging", "bin/app.dll", "app v2"));
        QVERIFY(infozip::MakeArchive(work + "/app.zip", temp.path() + "/staging", {"bin/app.dll"}));
    } else if (content == "corrupt") {
        QVERIFY(testtree::WriteFile(work, "bad.zip", QByteArray(100, 'z')));
    }

    UnCompressWork worker(work, temp.path() + "/root");
    QCOMPARE(worker.UnCompressFiles(), expected);

    QCOMPARE(testtree::ReadFile(work + "/bin/app.dll"), expected ? QByteArray("app v2") : QByteArray());
    QVERIFY(!QFileInfo::exists(work + "/app.zip"));
    QVERIFY(!QFileInfo::exists(work + "/bad.zip"));
}

QTEST_GUILESS_MAIN(TestUnCompressWork)
#include "tst_uncompress_work.moc"
