// Tests of the binary patches between versions: made and applied across the sizes that matter,
// in agreement with the zstd tool, and refused whole when anything about them is wrong.
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "binary_patch.h"
#include "test_tree.h"

namespace {

QByteArray Random(int size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    for (int i = size / 4 * 4; i < size; ++i) bytes[i] = char(generator.generate());
    return bytes;
}

constexpr qint64 kNoLimit = qint64(1) << 40;

}  // namespace

class TestBinaryPatch : public QObject {
    Q_OBJECT

private:
    QString path(const QString& name) const { return temp_.path() + "/" + name; }
    QTemporaryDir temp_;

private slots:
    void patchRebuildsTheNewFile_data();
    void patchRebuildsTheNewFile();
    void patchesAgreeWithTheZstdTool();
    void wrongPatchOrBaseRebuildsNothing_data();
    void wrongPatchOrBaseRebuildsNothing();
};

void TestBinaryPatch::patchRebuildsTheNewFile_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray base = Random(256 * 1024, 1);
    QByteArray changed = base;
    changed.replace(100000, 4096, Random(4096, 2));
    // Past the 8 MiB window zstd's level 19 takes by default: the matches near the start of the
    // old file are only found with the window made as large as the files.
    const QByteArray large = Random(9 * 1024 * 1024, 3);
    QByteArray largeChanged = large;
    largeChanged.replace(5 * 1024 * 1024, 1024, Random(1024, 4));
    QTest::newRow("empty to empty") << QByteArray() << QByteArray();
    QTest::newRow("empty to one byte") << QByteArray() << QByteArray("x");
    QTest::newRow("one byte to empty") << QByteArray("x") << QByteArray();
    QTest::newRow("identical") << base << base;
    QTest::newRow("changed inside") << base << changed;
    QTest::newRow("grown") << base << base + Random(50000, 5);
    QTest::newRow("shrunk") << base << base.left(200000);
    QTest::newRow("larger than the default window") << large << largeChanged;
}

void TestBinaryPatch::patchRebuildsTheNewFile() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QVERIFY(testtree::WriteFile(temp_.path(), "old", before) && testtree::WriteFile(temp_.path(), "new", after));
    QString error;
    QVERIFY2(release::MakePatch(path("old"), path("new"), path("patch"), &error), qPrintable(error));
    // What the old file holds costs next to nothing; what is new, about its own size.
    const qint64 patchSize = QFileInfo(path("patch")).size();
    QVERIFY2(patchSize < 64 + qMax(0, after.size() - before.size()) + 8 * 1024, qPrintable(QString::number(patchSize)));
    QVERIFY2(release::ApplyPatch(path("old"), path("patch"), path("made"), kNoLimit, &error), qPrintable(error));
    QVERIFY(testtree::ReadFile(path("made")) == after);
}

// A patch made here applies with `zstd -d --patch-from`, and one the tool makes applies here.
void TestBinaryPatch::patchesAgreeWithTheZstdTool() {
    const QString zstd = QStandardPaths::findExecutable("zstd");
    if (zstd.isEmpty()) QSKIP("the zstd tool is not installed");
    QByteArray before = Random(3 * 1024 * 1024, 6);
    QByteArray after = before;
    after.replace(1024 * 1024, 8192, Random(8192, 7));
    QVERIFY(testtree::WriteFile(temp_.path(), "old", before) && testtree::WriteFile(temp_.path(), "new", after));
    QString error;
    QVERIFY2(release::MakePatch(path("old"), path("new"), path("ours"), &error), qPrintable(error));
    QCOMPARE(QProcess::execute(zstd, {"-q", "-f", "-d", "--patch-from=" + path("old"), path("ours"), "-o", path("by-tool")}), 0);
    QVERIFY(testtree::ReadFile(path("by-tool")) == after);
    QCOMPARE(QProcess::execute(zstd, {"-q", "-f", "-19", "--patch-from=" + path("old"), path("new"), "-o", path("theirs")}), 0);
    QVERIFY2(release::ApplyPatch(path("old"), path("theirs"), path("made"), kNoLimit, &error), qPrintable(error));
    QVERIFY(testtree::ReadFile(path("made")) == after);
}

void TestBinaryPatch::wrongPatchOrBaseRebuildsNothing_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("a byte of the patch changed") << "flipped";
    QTest::newRow("the patch cut short") << "cut";
    QTest::newRow("something after the patch") << "trailing";
    QTest::newRow("another old file") << "base";
    QTest::newRow("more than the bytes allowed") << "limit";
    QTest::newRow("not a patch") << "garbage";
}

void TestBinaryPatch::wrongPatchOrBaseRebuildsNothing() {
    QFETCH(QString, fault);
    const QByteArray before = Random(200000, 8);
    QByteArray after = before;
    after.replace(50000, 3000, Random(3000, 9));
    QVERIFY(testtree::WriteFile(temp_.path(), "old", before) && testtree::WriteFile(temp_.path(), "new", after));
    QString error;
    QVERIFY2(release::MakePatch(path("old"), path("new"), path("patch"), &error), qPrintable(error));
    QByteArray patch = testtree::ReadFile(path("patch"));
    QString base = path("old");
    qint64 limit = kNoLimit;
    if (fault == "flipped") patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 0x40);
    if (fault == "cut") patch.chop(10);
    if (fault == "trailing") patch += QByteArray(16, 'x');
    if (fault == "garbage") patch = Random(patch.size(), 10);
    if (fault == "limit") limit = after.size() - 1;
    if (fault == "base") {
        QByteArray other = before;
        other[120000] = char(other[120000] ^ 1);
        QVERIFY(testtree::WriteFile(temp_.path(), "other", other));
        base = path("other");
    }
    QVERIFY(testtree::WriteFile(temp_.path(), "patch", patch));
    QVERIFY(testtree::WriteFile(temp_.path(), "made", "left by an earlier attempt"));

    QVERIFY(!release::ApplyPatch(base, path("patch"), path("made"), limit, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(path("made")));
}

QTEST_GUILESS_MAIN(TestBinaryPatch)
#include "tst_binary_patch.moc"
