// Tests of the release format's readers: how update.json texts and file entries are read, what is
// left untouched when the document is unusable, which version-check answers ask for an update,
// how versions order, and what a signed manifest must be to be used.
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "manifest.h"
#include "release_signature.h"
#include "signed_manifest.h"
#include "test_tree.h"

namespace {

// One line per map item, "key|name|md5|url", so a failed comparison shows the difference.
QStringList Flatten(const ManifestMap& files) {
    QStringList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        lines << QStringList{it.key(), it.value().name, it.value().md5, it.value().url}.join('|');
    }
    return lines;
}

const ManifestTexts kOldTexts{"old version", "old notes", "old date"};

ManifestMap OldFiles() {
    ManifestMap files;
    files.insert("/old.dll.zip", ManifestEntry{"/old.dll.zip", "0123", "https://old"});
    return files;
}

const QStringList kOldLines{"/old.dll.zip|/old.dll.zip|0123|https://old"};

}  // namespace

class TestManifest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { testtree::DropFileAccessOverride(); }
    void readsDocument_data();
    void readsDocument();
    void unusableSourceChangesNothing_data();
    void unusableSourceChangesNothing();
    void versionAnswerTakesOnlyStrictTypes_data();
    void versionAnswerTakesOnlyStrictTypes();
    void optionalDigestAndSizeAreCheckedWhenPresent_data();
    void optionalDigestAndSizeAreCheckedWhenPresent();
    void patchesAreTakenWhenWellFormedAndWrittenBack();
    void versionsCompareNumericallyPartByPart_data();
    void versionsCompareNumericallyPartByPart();
    void signedManifestIsUsedOnlyWhenFitToInstall_data();
    void signedManifestIsUsedOnlyWhenFitToInstall();
};

void TestManifest::readsDocument_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("texts");  // version, description, updatedate
    QTest::addColumn<QStringList>("files");  // Flatten() of the map afterwards

    QTest::newRow("full manifest")
        << QByteArray(R"({"version":"2.1.0","description":"fixes","updatedate":"2024-05-01",
            "filelist":[{"name":"/bin/a.dll.zip","md5":"aa","url":"https://h/a"},
                        {"name":"/b.txt.zip","md5":"bb","url":"https://h/b"}]})")
        << true << QStringList{"2.1.0", "fixes", "2024-05-01"}
        << QStringList{"/b.txt.zip|/b.txt.zip|bb|https://h/b",
                       "/bin/a.dll.zip|/bin/a.dll.zip|aa|https://h/a"};

    QTest::newRow("missing members read as empty strings")
        << QByteArray(R"({"filelist":[{"name":"/a.zip"},{"md5":"cc"}]})") << true
        << QStringList{"", "", ""} << QStringList{"||cc|", "/a.zip|/a.zip||"};

    QTest::newRow("members of the wrong type read as empty strings")
        << QByteArray(R"({"version":2,"description":["x"],"updatedate":null,
            "filelist":[{"name":"/a.zip","md5":12,"url":{"u":1}}, 7, "text"]})")
        << true << QStringList{"", "", ""} << QStringList{"|||", "/a.zip|/a.zip||"};

    QTest::newRow("filelist of the wrong type empties the map")
        << QByteArray(R"({"version":"3","filelist":{"name":"/a.zip"}})") << true
        << QStringList{"3", "", ""} << QStringList();

    QTest::newRow("empty filelist empties the map")
        << QByteArray(R"({"filelist":[]})") << true << QStringList{"", "", ""} << QStringList();

    QTest::newRow("missing filelist keeps the old map")
        << QByteArray(R"({"version":"4","description":"d","updatedate":"u"})") << true
        << QStringList{"4", "d", "u"} << kOldLines;

    QTest::newRow("first element without a name is kept under the empty name")
        << QByteArray(R"({"filelist":[{"md5":"first","url":"u1"},{"md5":"second","url":"u2"},
            {"name":"/a.zip","md5":"aa","url":"ua"}]})")
        << true << QStringList{"", "", ""} << QStringList{"||first|u1", "/a.zip|/a.zip|aa|ua"};

    QTest::newRow("duplicate names keep the first element")
        << QByteArray(R"({"filelist":[{"name":"/a.zip","md5":"first","url":"u1"},
            {"name":"/a.zip","md5":"second","url":"u2"}]})")
        << true << QStringList{"", "", ""} << QStringList{"/a.zip|/a.zip|first|u1"};

    QTest::newRow("names differing in letter case are separate entries")
        << QByteArray(R"({"filelist":[{"name":"/A.zip","md5":"1"},{"name":"/a.zip","md5":"2"}]})")
        << true << QStringList{"", "", ""} << QStringList{"/A.zip|/A.zip|1|", "/a.zip|/a.zip|2|"};

    QTest::newRow("array document gives empty texts and keeps the map")
        << QByteArray(R"([{"version":"9","filelist":[]}])") << true << QStringList{"", "", ""}
        << kOldLines;

    QTest::newRow("UTF-8 Chinese texts and names round-trip")
        << QByteArray(R"({"version":"版本 2.0","description":"修复了下载问题\n新增功能",
            "updatedate":"2024年5月1日",
            "filelist":[{"name":"/数据/说明.txt.zip","md5":"aa","url":"https://h/说明"}]})")
        << true
        << QStringList{QStringLiteral("版本 2.0"), QStringLiteral("修复了下载问题\n新增功能"),
                       QStringLiteral("2024年5月1日")}
        << QStringList{QStringLiteral("/数据/说明.txt.zip|/数据/说明.txt.zip|aa|https://h/说明")};

    const QStringList unchanged{kOldTexts.version, kOldTexts.description, kOldTexts.updateDate};
    QTest::newRow("invalid JSON changes nothing")
        << QByteArray(R"({"version":"5","filelist":[)") << false << unchanged << kOldLines;
    QTest::newRow("trailing garbage after the object changes nothing")
        << QByteArray(R"({"version":"5"} x)") << false << unchanged << kOldLines;
    QTest::newRow("empty file changes nothing") << QByteArray() << false << unchanged << kOldLines;
}

void TestManifest::readsDocument() {
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, files);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(testtree::WriteFile(dir.path(), "update.json", json));

    ManifestTexts readTexts = kOldTexts;
    ManifestMap readFiles = OldFiles();
    QCOMPARE(ReadManifest(dir.path() + "/update.json", &readTexts, &readFiles), ok);
    QCOMPARE((QStringList{readTexts.version, readTexts.description, readTexts.updateDate}), texts);
    QCOMPARE(Flatten(readFiles), files);
}

void TestManifest::unusableSourceChangesNothing_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("path is a folder") << "folder";
    QTest::newRow("file without read permission") << "locked";
}

void TestManifest::unusableSourceChangesNothing() {
    QFETCH(QString, kind);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/update.json";
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "locked") {
        QVERIFY(testtree::WriteFile(dir.path(), "update.json", R"({"version":"6"})"));
        if (!testtree::MakeUnreadable(path)) QSKIP("this process can read a mode-000 file");
    }

    ManifestTexts texts = kOldTexts;
    ManifestMap files = OldFiles();
    QVERIFY(!ReadManifest(path, &texts, &files));
    QCOMPARE(texts.version, kOldTexts.version);
    QCOMPARE(texts.description, kOldTexts.description);
    QCOMPARE(texts.updateDate, kOldTexts.updateDate);
    QCOMPARE(Flatten(files), kOldLines);
}

void TestManifest::versionAnswerTakesOnlyStrictTypes_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("force");
    QTest::newRow("update, forced") << QByteArray(R"({"result":{"flag":true,"downloadUrl":"u","forceUpdate":true}})")
                                    << true << "u" << true;
    QTest::newRow("flag given as text") << QByteArray(R"({"result":{"flag":"true","downloadUrl":"u"}})") << false
                                        << "u" << false;
    QTest::newRow("forced given as number") << QByteArray(R"({"result":{"flag":true,"downloadUrl":"u","forceUpdate":1}})")
                                            << true << "u" << false;
    QTest::newRow("url not a string") << QByteArray(R"({"result":{"flag":true,"downloadUrl":7}})") << true << ""
                                      << false;
    QTest::newRow("result not an object") << QByteArray(R"({"result":[{"flag":true}]})") << false << "" << false;
}

void TestManifest::versionAnswerTakesOnlyStrictTypes() {
    QFETCH(QByteArray, body);
    const VersionAnswer answer = ParseVersionAnswer(body);
    QTEST(answer.update, "update");
    QTEST(answer.downloadUrl, "url");
    QTEST(answer.forceUpdate, "force");
}

void TestManifest::optionalDigestAndSizeAreCheckedWhenPresent_data() {
    QTest::addColumn<QByteArray>("members");  // added to a well-formed entry
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<qint64>("size");
    const QString digest = QString(64, 'a');
    QTest::newRow("absent: no digest, no bound") << QByteArray() << true << QString() << qint64(-1);
    QTest::newRow("both read, digest in lower case")
        << QByteArray(R"(,"sha256":")" + QByteArray(64, 'A') + R"(","size":123456789012)") << true << digest
        << qint64(123456789012);
    QTest::newRow("empty archive") << QByteArray(R"(,"size":0)") << true << QString() << qint64(0);
    QTest::newRow("digest one digit short") << QByteArray(R"(,"sha256":")" + QByteArray(63, 'a') + "\"") << false
                                            << QString() << qint64(-1);
    QTest::newRow("digest not hex") << QByteArray(R"(,"sha256":")" + QByteArray(64, 'g') + "\"") << false << QString()
                                    << qint64(-1);
    QTest::newRow("digest not a string") << QByteArray(R"(,"sha256":12)") << false << QString() << qint64(-1);
    QTest::newRow("size negative") << QByteArray(R"(,"size":-1)") << false << QString() << qint64(-1);
    QTest::newRow("size not whole") << QByteArray(R"(,"size":1.5)") << false << QString() << qint64(-1);
    QTest::newRow("size as text") << QByteArray(R"(,"size":"12")") << false << QString() << qint64(-1);
    QTest::newRow("size past exact numbers") << QByteArray(R"(,"size":1e300)") << false << QString() << qint64(-1);
}

void TestManifest::optionalDigestAndSizeAreCheckedWhenPresent() {
    QFETCH(QByteArray, members);
    QFETCH(bool, usable);
    const QByteArray text = R"({"version":"2","filelist":[{"name":"/a.dll.zip","md5":")" + QByteArray(32, '0') +
                            R"(","url":"https://h/a")" + members + "}]}";
    ManifestTexts texts;
    ManifestMap files;
    QString problem;
    QStringList unmanaged;
    QCOMPARE(ParseUsableManifest(text, &texts, &files, &problem, &unmanaged), usable);
    if (!usable) return;
    QTEST(files.value("/a.dll.zip").sha256, "sha256");
    QTEST(files.value("/a.dll.zip").size, "size");
}

// A patch only saves bytes: one that is not well formed is left out and the entry stays usable.
void TestManifest::patchesAreTakenWhenWellFormedAndWrittenBack() {
    const QByteArray from = QByteArray(32, 'B'), other = QByteArray(32, 'c'), sha = QByteArray(64, 'D');
    const auto patch = [&](const QByteArray& fromMd5, const QByteArray& url, const QByteArray& more) {
        return "{\"from\":\"" + fromMd5 + "\",\"url\":\"" + url + "\"" + more + "}";
    };
    const QByteArray full = ",\"size\":7,\"sha256\":\"" + sha + "\"";
    const QByteArray patches = "[" + patch(from, "https://h/a.p", full) + "," +
                               patch(from, "https://h/duplicate.p", full) + "," +  // a second for one base
                               patch(other, "https://h/b.p", ",\"size\":7") + "," +  // no digest
                               patch(other, "ftp://h/b.p", full) + "," +               // not http
                               patch("xyz", "https://h/c.p", full) + "," +             // no MD5
                               patch(other, "https://h/d.p", ",\"size\":-7,\"sha256\":\"" + sha + "\"") + "]";
    const QByteArray text = R"({"version":"2","filelist":[{"name":"/a.dll.zip","md5":")" + QByteArray(32, '0') +
                            R"(","url":"https://h/a","patches":)" + patches + "}]}";
    ManifestTexts texts;
    ManifestMap files;
    QString problem;
    QStringList unmanaged;
    QVERIFY2(ParseUsableManifest(text, &texts, &files, &problem, &unmanaged), qPrintable(problem));
    const QVector<PatchEntry> read = files.value("/a.dll.zip").patches;
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.first().from, QString(32, 'b'));
    QCOMPARE(read.first().url, QString("https://h/a.p"));
    QCOMPARE(read.first().size, qint64(7));
    QCOMPARE(read.first().sha256, QString(64, 'd'));

    ManifestMap again;
    QVERIFY(ParseUsableManifest(ManifestJson(texts, {files.value("/a.dll.zip")}), &texts, &again, &problem, &unmanaged));
    const PatchEntry back = again.value("/a.dll.zip").patches.value(0);
    QCOMPARE(QStringList({back.from, back.url, back.sha256, QString::number(back.size)}),
             QStringList({read.first().from, read.first().url, read.first().sha256, "7"}));
}

void TestManifest::versionsCompareNumericallyPartByPart_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");  // -1, 0, 1; 2: not comparable
    QTest::newRow("a part of two digits is above one of one") << "1.10" << "1.9" << 1;
    QTest::newRow("missing parts count as zero") << "1.4" << "1.4.0.0" << 0;
    QTest::newRow("a further part that is not zero") << "1.4.5" << "1.4.5.1" << -1;
    QTest::newRow("leading zeros") << "01.002" << "1.2" << 0;
    QTest::newRow("parts longer than any integer") << "1.100000000000000000000" << "1.99999999999999999999" << 1;
    QTest::newRow("first part decides") << "2.0.0" << "1.4.5.1" << 1;
    QTest::newRow("letters") << "1.4b" << "1.4" << 2;
    QTest::newRow("empty part") << "1..4" << "1.4" << 2;
    QTest::newRow("empty version") << "" << "1.4" << 2;
    QTest::newRow("sign") << "-1.4" << "1.4" << 2;
}

void TestManifest::versionsCompareNumericallyPartByPart() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(CompareVersions(a, b).value_or(2), order);
    QCOMPARE(CompareVersions(b, a).value_or(2), order == 2 ? 2 : -order);
}

void TestManifest::signedManifestIsUsedOnlyWhenFitToInstall_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("withSha256");
    QTest::addColumn<QString>("signer");  // "publisher", "other"; "bad key": the built-in key is no key
    QTest::addColumn<bool>("usable");
    QTest::newRow("signed, newer") << "1.5" << true << "publisher" << true;
    QTest::newRow("signed, the same version") << "1.4.5.1" << true << "publisher" << true;
    QTest::newRow("signed, older") << "1.4.5" << true << "publisher" << false;
    QTest::newRow("signed, version not comparable") << "1.5 beta" << true << "publisher" << false;
    QTest::newRow("signed, an entry without sha256") << "1.5" << false << "publisher" << false;
    QTest::newRow("signed by another key") << "1.5" << true << "other" << false;
    QTest::newRow("built-in key malformed") << "1.5" << true << "bad key" << false;
}

void TestManifest::signedManifestIsUsedOnlyWhenFitToInstall() {
    QFETCH(QString, version);
    QFETCH(bool, withSha256);
    QFETCH(QString, signer);
    QFETCH(bool, usable);
    const release::KeyPair publisher = release::MakeKeyPair();
    const release::KeyPair other = release::MakeKeyPair();
    QVERIFY(!publisher.publicKeyText.isEmpty());
    const ManifestEntry entry{"/a.dll.zip", QString(32, '0'), "https://h/a", withSha256 ? QString(64, 'f') : QString(),
                              10};
    const QByteArray text = ManifestJson({version, "notes", "2026.12.09"}, {entry});
    const QByteArray signature = release::Sign(text, (signer == "other" ? other : publisher).secretKeyText);
    QTemporaryDir dir;
    QVERIFY(testtree::WriteFile(dir.path(), "update.json", text));
    QVERIFY(testtree::WriteFile(dir.path(), "update.json.sig", signature));

    const QByteArray key = signer == "bad key" ? publisher.publicKeyText.left(20) : publisher.publicKeyText;
    ManifestTexts texts;
    ManifestMap files;
    QString problem;
    QStringList unmanaged;
    QCOMPARE(ReadSignedManifest(dir.path() + "/update.json", dir.path() + "/update.json.sig", key, "1.4.5.1", &texts,
                                &files, &problem, &unmanaged),
             usable);
    QCOMPARE(files.keys(), usable ? QStringList{"/a.dll.zip"} : QStringList());
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
