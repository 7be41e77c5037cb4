// Tests of ErgodicDirsWork: which manifest entries a walk over a real tree puts into fetchList,
// and that every run reports exactly once.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <thread>

#include "ergodic_dirs_work.h"
#include "fetch_list.h"
#include "test_tree.h"

using Tree = QMap<QString, QByteArray>;     // relative path -> content
using Listing = QMap<QString, QString>;     // manifest name -> md5
Q_DECLARE_METATYPE(Tree)
Q_DECLARE_METATYPE(Listing)

namespace {

const QString kEmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

QString UrlFor(const QString& name) { return QStringLiteral("https://updates.test/pkg") + name; }

ManifestMap MakeManifest(const Listing& listing) {
    ManifestMap manifest;
    for (auto it = listing.cbegin(); it != listing.cend(); ++it) {
        manifest.insert(it.key(), ManifestEntry{it.key(), it.value(), UrlFor(it.key())});
    }
    return manifest;
}

QMap<QString, QString> Expected(const QStringList& names) {
    QMap<QString, QString> out;
    for (const QString& name : names) out.insert(name, UrlFor(name));
    return out;
}

// Bytes that differ from chunk to chunk, so a hash that skips or repeats a read differs.
QByteArray Pattern(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace

class TestErgodicDirsWork : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void decidesWhatToFetch_data();
    void decidesWhatToFetch();
    void unreadableFileIsAlwaysFetched();
    void filesOfALeftOutFolderAreNotFingerprinted();
    void linksFifosAndLinkedFoldersAreNotFingerprinted();
    void rootReachedThroughALinkKeepsFullPathKeys();
    void rootPathRepeatedBelowTheRootIsStrippedOnlyInFront();
    void secondRunListsOnlyWhatStillDiffers();
    void walkOnEveryCoreListsWhatAOneThreadWalkLists();

private:
    // Runs one worker on the global pool. fetchList starts with a stale entry that every run
    // must clear. Fails the test unless the worker reported exactly once.
    void Walk(const QString& root, const ManifestMap& manifest, bool* finish, const QString& leftOut = QString());
};

void TestErgodicDirsWork::initTestCase() { testtree::DropFileAccessOverride(); }

void TestErgodicDirsWork::Walk(const QString& root, const ManifestMap& manifest, bool* finish, const QString& leftOut) {
    fetchList.clear();
    fetchList.insert(QStringLiteral("/stale.zip"), QStringLiteral("https://stale"));
    auto* work = new ErgodicDirsWork(root, manifest);
    if (!leftOut.isEmpty()) work->LeaveOut(leftOut);
    QSignalSpy spy(work, &ErgodicDirsWork::ergodicdirfinished);
    QVERIFY(spy.isValid());
    QThreadPool::globalInstance()->start(work);
    // The spy records on the pool thread; once the pool is idle its count is final.
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCOMPARE(spy.count(), 1);
    *finish = spy.at(0).at(0).toBool();
}

void TestErgodicDirsWork::decidesWhatToFetch_data() {
    QTest::addColumn<Tree>("files");
    QTest::addColumn<Listing>("listing");
    QTest::addColumn<QStringList>("fetched");
    QTest::addColumn<QString>("rootSuffix");

    const QByteArray app = "MZ app binary";
    const QByteArray readme = "read me\n";
    const Tree installed{{"bin/app.dll", app}, {"readme.txt", readme}};
    const Listing upToDate{{"/bin/app.dll.zip", testtree::Md5(app)},
                           {"/readme.txt.zip", testtree::Md5(readme)}};

    QTest::newRow("every listed file up to date") << installed << upToDate << QStringList() << "";
    QTest::newRow("empty manifest") << installed << Listing() << QStringList() << "";
    QTest::newRow("empty manifest over an empty root") << Tree() << Listing() << QStringList() << "";

    Listing missing = upToDate;
    missing.insert("/bin/new.dll.zip", testtree::Md5("new"));
    missing.insert("/lib/more/x.so.zip", testtree::Md5("x"));
    QTest::newRow("listed files missing")
        << installed << missing << QStringList{"/bin/new.dll.zip", "/lib/more/x.so.zip"} << "";

    Listing changed = upToDate;
    changed["/readme.txt.zip"] = testtree::Md5("read me, version 2\n");
    QTest::newRow("listed file changed") << installed << changed << QStringList{"/readme.txt.zip"}
                                         << "";

    Listing upper = upToDate;
    upper["/bin/app.dll.zip"] = testtree::Md5(app).toUpper();
    QTest::newRow("upper-case md5 matches") << installed << upper << QStringList() << "";

    QTest::newRow("names without a dot are never fingerprinted")
        << Tree{{"README", readme}, {"bin/LICENSE", app}, {"lib.d/tool", app}}
        << Listing{{"/README.zip", testtree::Md5(readme)},
                   {"/bin/LICENSE.zip", testtree::Md5(app)},
                   {"/lib.d/tool.zip", testtree::Md5(app)}}
        << QStringList{"/README.zip", "/bin/LICENSE.zip", "/lib.d/tool.zip"} << "";

    QTest::newRow("hidden file and files in a hidden folder are never fingerprinted")
        << Tree{{".config.ini", readme}, {".cache/data.bin", app}, {"ok.txt", readme}}
        << Listing{{"/.config.ini.zip", testtree::Md5(readme)},
                   {"/.cache/data.bin.zip", testtree::Md5(app)},
                   {"/ok.txt.zip", testtree::Md5(readme)}}
        << QStringList{"/.cache/data.bin.zip", "/.config.ini.zip"} << "";

    QTest::newRow("name differing only in letter case counts as missing")
        << Tree{{"bin/App.dll", app}}
        << Listing{{"/bin/app.dll.zip", testtree::Md5(app)}, {"/BIN/App.dll.zip", testtree::Md5(app)}}
        << QStringList{"/BIN/App.dll.zip", "/bin/app.dll.zip"} << "";

    QTest::newRow("local files the manifest does not name are ignored")
        << Tree{{"bin/app.dll", app}, {"extra/notes.txt", readme}, {"stray.log", readme}}
        << Listing{{"/bin/app.dll.zip", testtree::Md5(app)}} << QStringList() << "";

    QTest::newRow("key carries every folder below the root")
        << Tree{{"bin/sub/a.dll", app}}
        << Listing{{"/bin/sub/a.dll.zip", testtree::Md5(app)},
                   {"/sub/a.dll.zip", testtree::Md5(app)},
                   {"/a.dll.zip", testtree::Md5(app)},
                   {"bin/sub/a.dll.zip", testtree::Md5(app)}}
        << QStringList{"/a.dll.zip", "/sub/a.dll.zip", "bin/sub/a.dll.zip"} << "";

    QTest::newRow("empty file matches the md5 of no bytes")
        << Tree{{"empty.dat", QByteArray()}} << Listing{{"/empty.dat.zip", kEmptyMd5}}
        << QStringList() << "";

    const QByteArray big = Pattern(5 * 1024 * 1024 + 7);
    QByteArray bigEdited = big;
    bigEdited[bigEdited.size() - 1] = static_cast<char>(bigEdited.back() ^ 1);
    QTest::newRow("large file up to date")
        << Tree{{"data/big.pak", big}} << Listing{{"/data/big.pak.zip", testtree::Md5(big)}}
        << QStringList() << "";
    QTest::newRow("large file changed in its last byte")
        << Tree{{"data/big.pak", big}} << Listing{{"/data/big.pak.zip", testtree::Md5(bigEdited)}}
        << QStringList{"/data/big.pak.zip"} << "";

    QTest::newRow("non-ASCII names")
        << Tree{{QStringLiteral("数据/说明.txt"), readme}}
        << Listing{{QStringLiteral("/数据/说明.txt.zip"), testtree::Md5(readme)},
                   {QStringLiteral("/数据/缺少.txt.zip"), testtree::Md5(readme)}}
        << QStringList{QStringLiteral("/数据/缺少.txt.zip")} << "";

    QTest::newRow("root spelled with .. segments")
        << installed << changed << QStringList{"/readme.txt.zip"} << "/bin/../bin/..";
}

void TestErgodicDirsWork::decidesWhatToFetch() {
    QFETCH(Tree, files);
    QFETCH(Listing, listing);
    QFETCH(QStringList, fetched);
    QFETCH(QString, rootSuffix);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(testtree::WriteFile(root, it.key(), it.value()));
    }

    bool finish = false;
    Walk(root + rootSuffix, MakeManifest(listing), &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected(fetched));
    QCOMPARE(finish, !fetched.isEmpty());
}

void TestErgodicDirsWork::filesOfALeftOutFolderAreNotFingerprinted() {
    // The programs' logs lie below the install root; the walk never reads them, so a manifest
    // entry for one finds it missing. The root is spelled as the updater spells it, with "..".
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    QVERIFY(testtree::WriteFile(root, "app/bin/logs/update.log", "log"));
    QVERIFY(testtree::WriteFile(root, "app/bin/logs.txt", "beside"));
    bool finish = false;
    Walk(root + "/app/bin/../..",
         MakeManifest({{"/app/bin/logs/update.log.zip", testtree::Md5("log")}, {"/app/bin/logs.txt.zip", testtree::Md5("beside")}}),
         &finish, root + "/app/bin/logs");
    QCOMPARE(fetchList, Expected({"/app/bin/logs/update.log.zip"}));
}

void TestErgodicDirsWork::unreadableFileIsAlwaysFetched() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    const QByteArray bytes = "locked content";
    QVERIFY(testtree::WriteFile(root, "bin/locked.dll", bytes));
    QVERIFY(testtree::WriteFile(root, "bin/open.dll", bytes));
    if (!testtree::MakeUnreadable(root + "/bin/locked.dll")) QSKIP("this process can read a mode-000 file");

    bool finish = false;
    Walk(root, MakeManifest({{"/bin/locked.dll.zip", testtree::Md5(bytes)},
                             {"/bin/open.dll.zip", testtree::Md5(bytes)}}),
         &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/bin/locked.dll.zip"}));
    QVERIFY(finish);

    // It has no fingerprint at all, so not even the MD5 of no bytes matches it.
    Walk(root, MakeManifest({{"/bin/locked.dll.zip", kEmptyMd5}}), &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/bin/locked.dll.zip"}));
    QVERIFY(finish);
}

void TestErgodicDirsWork::linksFifosAndLinkedFoldersAreNotFingerprinted() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    const QByteArray bytes = "real bytes";
    QVERIFY(testtree::WriteFile(root, "real.dll", bytes));
    QVERIFY(testtree::WriteFile(root, "realdir/a.txt", bytes));
    QVERIFY(QFile::link(root + "/real.dll", root + "/link.dll"));
    QVERIFY(QFile::link(root + "/realdir", root + "/linkdir.d"));
    // A listed link would be keyed by its target: "/tool.zip", a name that is never walked.
    QVERIFY(testtree::WriteFile(root, "tool", bytes));
    QVERIFY(QFile::link(root + "/tool", root + "/tool.dll"));
    // Opening a FIFO for reading blocks until a writer comes: the walk must not list it.
    QCOMPARE(mkfifo(QFile::encodeName(root + "/pipe.dat").constData(), 0600), 0);

    bool finish = false;
    Walk(root, MakeManifest({{"/real.dll.zip", testtree::Md5(bytes)},
                             {"/realdir/a.txt.zip", testtree::Md5(bytes)},
                             {"/link.dll.zip", testtree::Md5(bytes)},
                             {"/linkdir.d/a.txt.zip", testtree::Md5(bytes)},
                             {"/pipe.dat.zip", kEmptyMd5},
                             {"/tool.zip", testtree::Md5(bytes)}}),
         &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/link.dll.zip", "/linkdir.d/a.txt.zip", "/pipe.dat.zip",
                                  "/tool.zip"}));
    QVERIFY(finish);
}

void TestErgodicDirsWork::rootReachedThroughALinkKeepsFullPathKeys() {
    // Keys come from canonical paths, the root prefix from the root as spelled: through a link
    // they disagree, so every key keeps its full path and every listed file is fetched. The
    // link's name is a prefix of its target's, which must not be cut off in the middle of a name.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString top = QDir(dir.path()).canonicalPath();
    const QByteArray bytes = "app";
    QVERIFY(testtree::WriteFile(top, "install2/app.dll", bytes));
    QVERIFY(QFile::link(top + "/install2", top + "/install"));

    bool finish = false;
    Walk(top + "/install", MakeManifest({{"/app.dll.zip", testtree::Md5(bytes)},
                                         {"2/app.dll.zip", testtree::Md5(bytes)},
                                         {top + "/install2/app.dll.zip", testtree::Md5(bytes)}}),
         &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/app.dll.zip", "2/app.dll.zip"}));
    QVERIFY(finish);
}

void TestErgodicDirsWork::rootPathRepeatedBelowTheRootIsStrippedOnlyInFront() {
    // A folder chain below the root that spells the root's own path again must stay in the key.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    const QString nested = root + "/x.dll";  // the file lies at root + root + "/x.dll"
    const QByteArray bytes = "nested";
    QVERIFY(testtree::WriteFile(root, nested.mid(1), bytes));
    QVERIFY(testtree::WriteFile(root, "x.dll", "top"));

    bool finish = false;
    Walk(root, MakeManifest({{nested + ".zip", testtree::Md5(bytes)},
                             {"/x.dll.zip", testtree::Md5("top")}}),
         &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({}));
    QVERIFY(!finish);
}

void TestErgodicDirsWork::secondRunListsOnlyWhatStillDiffers() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    QVERIFY(testtree::WriteFile(root, "a.dll", "a1"));
    QVERIFY(testtree::WriteFile(root, "b.dll", "b1"));
    QVERIFY(testtree::WriteFile(root, "c.dll", "c1"));
    const ManifestMap manifest = MakeManifest({{"/a.dll.zip", testtree::Md5("a2")},
                                               {"/b.dll.zip", testtree::Md5("b2")},
                                               {"/c.dll.zip", testtree::Md5("c1")}});
    bool finish = false;
    Walk(root, manifest, &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/a.dll.zip", "/b.dll.zip"}));
    QVERIFY(finish);

    QVERIFY(testtree::WriteFile(root, "a.dll", "a2"));
    Walk(root, manifest, &finish);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(fetchList, Expected({"/b.dll.zip"}));
    QVERIFY(finish);

    QVERIFY(testtree::WriteFile(root, "b.dll", "b2"));
    Walk(root, manifest, &finish);
    if (QTest::currentTestFailed()) return;
    QVERIFY(fetchList.isEmpty());
    QVERIFY(!finish);
}

void TestErgodicDirsWork::walkOnEveryCoreListsWhatAOneThreadWalkLists() {
    // Enough files of mixed sizes that several threads hash at once, with every kind of outcome:
    // up to date, changed, missing, unreadable, and one file rewritten at another size all
    // through the walk (whatever bytes a thread reads there, they are never the listed ones).
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).canonicalPath();
    Listing listing;
    QStringList fetched;
    for (int i = 0; i < 240; ++i) {
        const QString relative = QStringLiteral("d%1/f%2.bin").arg(i % 7).arg(i);
        const QByteArray bytes = Pattern((i * 7919) % (192 * 1024)) + QByteArray::number(i);
        QVERIFY(testtree::WriteFile(root, relative, bytes));
        const QString name = "/" + relative + ".zip";
        const bool changed = i % 5 == 0;
        listing.insert(name, testtree::Md5(changed ? bytes + "v2" : bytes));
        if (changed) fetched << name;
    }
    QVERIFY(testtree::WriteFile(root, "big/large.pak", Pattern(3 * 1024 * 1024)));
    listing.insert("/big/large.pak.zip", testtree::Md5(Pattern(3 * 1024 * 1024)));
    listing.insert("/d1/missing.bin.zip", testtree::Md5("missing"));
    fetched << "/d1/missing.bin.zip";
    QVERIFY(testtree::WriteFile(root, "d2/locked.dll", "locked"));
    listing.insert("/d2/locked.dll.zip", testtree::Md5("locked"));
    fetched << "/d2/locked.dll.zip";
    if (!testtree::MakeUnreadable(root + "/d2/locked.dll")) QSKIP("this process can read a mode-000 file");
    QVERIFY(testtree::WriteFile(root, "d3/growing.log", "start"));
    listing.insert("/d3/growing.log.zip", testtree::Md5("start"));
    fetched << "/d3/growing.log.zip";

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const QByteArray shortText = "short";
        const QByteArray longText = Pattern(256 * 1024);
        for (int n = 0; !stop; ++n) {
            QFile file(root + "/d3/growing.log");
            if (file.open(QIODevice::WriteOnly)) file.write(n % 2 ? shortText : longText);
        }
    });
    const auto joinWriter = qScopeGuard([&] {
        stop = true;
        writer.join();
    });

    const ManifestMap manifest = MakeManifest(listing);
    const int poolThreads = QThreadPool::globalInstance()->maxThreadCount();
    const auto restorePool = qScopeGuard([&] { QThreadPool::globalInstance()->setMaxThreadCount(poolThreads); });
    for (const int threads : {1, qMax(2, poolThreads)}) {
        // With one pool thread the walk itself holds it and hashes every file alone.
        QThreadPool::globalInstance()->setMaxThreadCount(threads);
        bool finish = false;
        Walk(root, manifest, &finish);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(fetchList, Expected(fetched));
        QVERIFY(finish);
    }
}

QTEST_GUILESS_MAIN(TestErgodicDirsWork)
#include "tst_ergodic_dirs_work.moc"
