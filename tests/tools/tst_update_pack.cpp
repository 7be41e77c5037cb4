// update-pack as a process: trees laid out by the tests are packed, and the manifest, the archives
// (read back with our engine and with Info-ZIP unzip), the refusals and the output folder's life
// cycle are checked; a web server running as its own user serves a published release.
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include "binary_patch.h"
#include "nginx_server.h"
#include "release_signature.h"
#include "test_tree.h"
#include "zip_archive.h"

namespace {

constexpr int kWaitMs = 60000;
const QString kBase = QStringLiteral("https://dl.example.com/rel 2/");

struct Result {
    int code = -1000;  // -1000: did not end normally in time
    QString errors;
};

Result Pack(const QStringList& arguments) {
    QProcess process;
    process.start(UPDATE_PACK_EXE, arguments);
    Result result;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.errors = QString::fromLocal8Bit(process.readAllStandardError());
    if (process.exitStatus() == QProcess::NormalExit) result.code = process.exitCode();
    return result;
}

QStringList Defaults(const QString& tree, const QString& output) {
    return {"--version", "2.1.0", "--description", "Faster start<br>Fewer crashes", "--date", "2026.12.08",
            "--base-url", kBase, "--output", output, "--quiet", tree};
}

QJsonObject ReadJson(const QString& path) { return QJsonDocument::fromJson(testtree::ReadFile(path)).object(); }

// name -> url of every manifest entry.
QMap<QString, QString> Urls(const QJsonObject& manifest) {
    QMap<QString, QString> urls;
    for (const QJsonValue& entry : manifest.value("filelist").toArray()) {
        urls.insert(entry.toObject().value("name").toString(), entry.toObject().value("url").toString());
    }
    return urls;
}

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// An even number of seconds: zip keeps times in 2-second steps.
const QDateTime kStamp = QDateTime(QDate(2024, 5, 17), QTime(10, 20, 30));

}  // namespace

class TestUpdatePack : public QObject {
    Q_OBJECT

private slots:
    void init();
    void releaseIsPackedOneArchivePerFile();
    void changedFilesGetPatchesAgainstOlderVersions();
    void archivesExtractWithInfoZip();
    void unsupportedFilesAreRefusedOrLeftOut_data();
    void unsupportedFilesAreRefusedOrLeftOut();
    void badInputIsRefusedWithoutOutput_data();
    void badInputIsRefusedWithoutOutput();
    void serviceAnswerAnnouncesTheRelease_data();
    void serviceAnswerAnnouncesTheRelease();
    void existingOutputIsReplacedOnlyWhenAsked();
    void keygenPairSignsTheReleaseAndIsNeverOverwritten();
    void webServerOfAnotherUserServesTheRelease();

private:
    // A release with nested folders, names with a space and non-ASCII letters, an empty file.
    void LayOutRelease();

    std::unique_ptr<QTemporaryDir> work_;
    QString tree_;
    QString out_;
    QMap<QString, QByteArray> release_;
};

void TestUpdatePack::init() {
    work_ = std::make_unique<QTemporaryDir>();
    QVERIFY(work_->isValid());
    tree_ = work_->path() + "/tree";
    out_ = work_->path() + "/out";
    QVERIFY(QDir().mkpath(tree_));
}

void TestUpdatePack::LayOutRelease() {
    QByteArray big;
    for (int i = 0; i < 40000; ++i) big += QByteArray::number(i * 7919 % 10007) + ' ';
    release_ = {{"Streamer.exe", "MZ program"},
                {"bin/app.dll", big},
                {"bin/plugins/codec v2.dat", QByteArray(5000, '\x5a')},
                {QString::fromUtf8("docs/说明 über.txt"), "non-ASCII"},
                {"config/empty.ini", QByteArray()}};
    for (auto it = release_.cbegin(); it != release_.cend(); ++it) {
        QVERIFY(testtree::WriteFile(tree_, it.key(), it.value()));
    }
    QVERIFY(chmod(QFile::encodeName(tree_ + "/Streamer.exe").constData(), 0755) == 0);
    QFile file(tree_ + "/bin/app.dll");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(kStamp, QFileDevice::FileModificationTime));
}

void TestUpdatePack::releaseIsPackedOneArchivePerFile() {
    LayOutRelease();
    const Result run = Pack(Defaults(tree_, out_));
    QCOMPARE(run.code, 0);

    const QJsonObject manifest = ReadJson(out_ + "/update.json");
    QCOMPARE(manifest.value("version").toString(), QString("2.1.0"));
    QCOMPARE(manifest.value("description").toString(), QString("Faster start<br>Fewer crashes"));
    QCOMPARE(manifest.value("updatedate").toString(), QString("2026.12.08"));
    const QMap<QString, QString> expectedUrls{
        {"/Streamer.exe.zip", "https://dl.example.com/rel%202/Streamer.exe.zip"},
        {"/bin/app.dll.zip", "https://dl.example.com/rel%202/bin/app.dll.zip"},
        {"/bin/plugins/codec v2.dat.zip", "https://dl.example.com/rel%202/bin/plugins/codec%20v2.dat.zip"},
        {QString::fromUtf8("/docs/说明 über.txt.zip"),
         "https://dl.example.com/rel%202/docs/%E8%AF%B4%E6%98%8E%20%C3%BCber.txt.zip"},
        {"/config/empty.ini.zip", "https://dl.example.com/rel%202/config/empty.ini.zip"}};
    QCOMPARE(Urls(manifest), expectedUrls);
    for (const QJsonValue& value : manifest.value("filelist").toArray()) {
        const QJsonObject entry = value.toObject();
        const QString relative = entry.value("name").toString().mid(1).chopped(4);
        QCOMPARE(entry.value("md5").toString(), testtree::Md5(release_.value(relative)));
        // The archive as downloaded: its SHA-256 and its bytes.
        const QByteArray archive = testtree::ReadFile(out_ + entry.value("name").toString());
        QCOMPARE(entry.value("sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(entry.value("size").toVariant().toLongLong(), qint64(archive.size()));
    }
    QVERIFY2(!QFileInfo::exists(out_ + "/update.json.sig"), "signed without --sign-key");

    // Each archive holds its one file under the path below the install root; extracted together
    // they give back the release tree, byte for byte.
    const QString unpacked = work_->path() + "/unpacked";
    // The mode each file had in the tree comes back out: a program that lost its execute bits
    // could not run, an updater among them could no longer update.
    const mode_t oldMask = umask(022);
    const auto restoreMask = qScopeGuard([oldMask] { umask(oldMask); });
    for (const QString& name : expectedUrls.keys()) {
        const QString archive = out_ + name;
        ZipHandle* handle = ZipOpenFromPath(archive.toStdWString().c_str(), nullptr);
        QVERIFY2(handle, qPrintable(archive));
        ZipItemInfo info{};
        ZipGetItemInfo(handle, -1, &info);
        QCOMPARE(info.index, 1);
        QCOMPARE(ZipGetItemInfo(handle, 0, &info), kZipSuccess);
        QCOMPARE(QString::fromWCharArray(info.name), name.mid(1).chopped(4));
        ZipClose(handle);
        // Method field of the local header (offset 8): 8 is deflate.
        const QByteArray bytes = testtree::ReadFile(archive);
        QVERIFY(bytes.size() > 10);
        QCOMPARE(int(quint8(bytes[8])) | int(quint8(bytes[9])) << 8, 8);
        QVERIFY2(ExtractZipToDir(archive.toStdWString(), unpacked.toStdWString()), qPrintable(archive));
    }
    QCOMPARE(testtree::Snapshot(unpacked), release_);
    QCOMPARE(QFileInfo(unpacked + "/bin/app.dll").lastModified(), kStamp);
    for (const auto& [path, mode] : {std::pair<QString, mode_t>{"/Streamer.exe", 0755}, {"/bin/app.dll", 0644}}) {
        struct stat status {};
        QCOMPARE(stat(QFile::encodeName(unpacked + path).constData(), &status), 0);
        QCOMPARE(QString::number(status.st_mode & 07777, 8), QString::number(mode, 8));
    }
    // No staging folder or other leftovers beside the output.
    QCOMPARE(Entries(work_->path()), QStringList({"out", "tree", "unpacked"}));
}

// Each older tree gets a patch per changed file (one per content, however many trees hold it),
// listed only when it is small enough to be worth a fetch; each rebuilds the new file.
void TestUpdatePack::changedFilesGetPatchesAgainstOlderVersions() {
    LayOutRelease();
    // Bytes no compressor shrinks: a patch between two of them is as large as the new one.
    const auto noise = [](quint32 seed) {
        QByteArray bytes(20000, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        return bytes;
    };
    const auto md5 = [](const QByteArray& bytes) { return QString(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()); };
    QVERIFY(testtree::WriteFile(tree_, "bin/noise.dat", noise(1)));
    QByteArray app1 = release_.value("bin/app.dll"), app2 = app1;
    app1.replace(1000, 50, QByteArray(50, 'x'));
    app2.replace(90000, 50, QByteArray(50, 'y'));
    const QString old1 = work_->path() + "/old1", old2 = work_->path() + "/old2", old3 = work_->path() + "/old3";
    for (const auto& [tree, app] : {std::pair{old1, app1}, std::pair{old2, app2}, std::pair{old3, app1}}) {
        QVERIFY(testtree::WriteFile(tree, "bin/app.dll", app));
        QVERIFY(testtree::WriteFile(tree, "Streamer.exe", release_.value("Streamer.exe")));  // unchanged
        QVERIFY(testtree::WriteFile(tree, "bin/noise.dat", noise(2)));
    }

    const Result run = Pack(Defaults(tree_, out_) + QStringList{"--patch-from", old1, "--patch-from", old2,
                                                                "--patch-from", old3});
    QCOMPARE(run.code, 0);

    QMap<QString, QJsonArray> patches;
    for (const QJsonValue& entry : ReadJson(out_ + "/update.json").value("filelist").toArray()) {
        const QJsonArray list = entry.toObject().value("patches").toArray();
        if (!list.isEmpty()) patches.insert(entry.toObject().value("name").toString(), list);
    }
    QCOMPARE(patches.keys(), QStringList{"/bin/app.dll.zip"});
    QSet<QString> from;
    for (const QJsonValue& value : patches.value("/bin/app.dll.zip")) {
        const QJsonObject patch = value.toObject();
        from.insert(patch.value("from").toString());
        const QString name = "/bin/app.dll." + patch.value("from").toString() + ".patch";
        QVERIFY(patch.value("url").toString().endsWith("/rel%202" + name));
        const QString path = out_ + name;
        const QByteArray bytes = testtree::ReadFile(path);
        QCOMPARE(qint64(bytes.size()), qint64(patch.value("size").toDouble()));
        QCOMPARE(QString(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()), patch.value("sha256").toString());
        const QString base = patch.value("from").toString() == md5(app1) ? old1 : old2;
        QString error;
        QVERIFY2(release::ApplyPatch(base + "/bin/app.dll", path, work_->path() + "/made", 1 << 30, &error), qPrintable(error));
        QVERIFY(testtree::ReadFile(work_->path() + "/made") == release_.value("bin/app.dll"));
    }
    QCOMPARE(from, (QSet<QString>{md5(app1), md5(app2)}));
    int patchFiles = 0;
    for (QDirIterator it(out_, {"*.patch"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++patchFiles;
    QCOMPARE(patchFiles, 2);
}

void TestUpdatePack::archivesExtractWithInfoZip() {
    if (QStandardPaths::findExecutable("unzip").isEmpty()) QSKIP("Info-ZIP unzip is not installed");
    LayOutRelease();
    QCOMPARE(Pack(Defaults(tree_, out_)).code, 0);
    const QString unpacked = work_->path() + "/unpacked";
    for (const QString& name : Urls(ReadJson(out_ + "/update.json")).keys()) {
        for (const QStringList& arguments : {QStringList{"-tqq", out_ + name},
                                             QStringList{"-qq", "-o", out_ + name, "-d", unpacked}}) {
            QProcess unzip;
            unzip.start("unzip", arguments);
            QVERIFY(unzip.waitForFinished(kWaitMs));
            QVERIFY2(unzip.exitCode() == 0, qPrintable(arguments.join(' ') + unzip.readAllStandardError()));
        }
    }
    QCOMPARE(testtree::Snapshot(unpacked), release_);
    QCOMPARE(QFileInfo(unpacked + "/bin/app.dll").lastModified(), kStamp);
}

void TestUpdatePack::unsupportedFilesAreRefusedOrLeftOut_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("link");
    QTest::newRow("name without a dot") << "bin/LICENSE" << false;
    QTest::newRow("hidden file") << "bin/.settings.ini" << false;
    QTest::newRow("file inside a hidden folder") << ".cache/data.bin" << false;
    QTest::newRow("symbolic link to a file") << "bin/alias.dll" << true;
    QTest::newRow("stored name too long for the updater's reader")
        << QString(120, 'a') + "/" + QString(120, 'b') + "/" + QString(20, 'c') + ".txt" << false;
}

void TestUpdatePack::unsupportedFilesAreRefusedOrLeftOut() {
    QFETCH(QString, path);
    QFETCH(bool, link);
    QVERIFY(testtree::WriteFile(tree_, "bin/app.dll", "program"));
    if (link) {
        QVERIFY(QFile::link(tree_ + "/bin/app.dll", tree_ + "/" + path));
    } else {
        QVERIFY(testtree::WriteFile(tree_, path, "cannot be installed"));
    }

    const Result refused = Pack(Defaults(tree_, out_));
    QVERIFY(refused.code > 0);
    QVERIFY2(refused.errors.contains(path) && refused.errors.contains("--skip-unsupported"), qPrintable(refused.errors));
    QCOMPARE(Entries(work_->path()), QStringList({"tree"}));

    const Result skipped = Pack(Defaults(tree_, out_) << "--skip-unsupported");
    QCOMPARE(skipped.code, 0);
    QVERIFY2(skipped.errors.contains(path), qPrintable(skipped.errors));
    QCOMPARE(Urls(ReadJson(out_ + "/update.json")).keys(), QStringList({"/bin/app.dll.zip"}));
    QCOMPARE(Entries(out_), QStringList({"bin", "update.json"}));
    QCOMPARE(Entries(out_ + "/bin"), QStringList({"app.dll.zip"}));
}

void TestUpdatePack::badInputIsRefusedWithoutOutput_data() {
    // In arguments, {tree} and {out} stand for a valid release tree and output folder, {work}
    // for the folder holding both. Every run also gets --quiet.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const QStringList common{"--version", "1.0", "--base-url", "http://dl.example.com/r"};
    QTest::newRow("missing tree") << (common + QStringList{"--output", "{out}", "{work}/absent"}) << "absent";
    QTest::newRow("empty tree") << (common + QStringList{"--output", "{out}", "{work}/empty"}) << "no file";
    QTest::newRow("output inside the tree") << (common + QStringList{"--output", "{tree}/out", "{tree}"}) << "inside";
    QTest::newRow("output is the tree") << (common + QStringList{"--output", "{tree}", "{tree}"}) << "inside";
    QTest::newRow("tree inside the output") << (common + QStringList{"--output", "{work}", "{tree}", "--replace"})
                                            << "inside";
    QTest::newRow("output below a file") << (common + QStringList{"--output", "{work}/file.txt/out", "{tree}"})
                                         << "cannot";
    QTest::newRow("output is a file") << (common + QStringList{"--output", "{work}/file.txt", "{tree}"})
                                      << "not a folder";
    QTest::newRow("base URL without scheme")
        << QStringList{"--version", "1.0", "--base-url", "dl.example.com/r", "--output", "{out}", "{tree}"} << "http";
    QTest::newRow("base URL with another scheme")
        << QStringList{"--version", "1.0", "--base-url", "ftp://dl.example.com/r", "--output", "{out}", "{tree}"}
        << "http";
    QTest::newRow("base URL with a query")
        << QStringList{"--version", "1.0", "--base-url", "http://dl.example.com/r?x=1", "--output", "{out}", "{tree}"}
        << "query";
    QTest::newRow("no version") << QStringList{"--base-url", "http://dl.example.com/r", "--output", "{out}", "{tree}"}
                                << "--version";
    QTest::newRow("no base URL") << QStringList{"--version", "1.0", "--output", "{out}", "{tree}"} << "--base-url";
    QTest::newRow("no output") << (common + QStringList{"{tree}"}) << "--output";
    QTest::newRow("no tree") << (common + QStringList{"--output", "{out}"}) << "tree";
    QTest::newRow("date in another form") << (common + QStringList{"--output", "{out}", "--date", "2026-12-08", "{tree}"})
                                          << "yyyy.MM.dd";
    QTest::newRow("sign key that is no key") << (common + QStringList{"--output", "{out}", "--sign-key",
                                                                      "{work}/file.txt", "{tree}"})
                                             << "no secret key";
    QTest::newRow("sign key missing")
        << (common + QStringList{"--output", "{out}", "--sign-key", "{work}/absent.key", "{tree}"}) << "cannot read";
    QTest::newRow("a file and one of its backup's name")
        << (common + QStringList{"--output", "{out}", "{work}/clash"}) << "backup";
    QTest::newRow("older tree that is no folder")
        << (common + QStringList{"--output", "{out}", "--patch-from", "{work}/file.txt", "{tree}"}) << "not a folder";
    QTest::newRow("two descriptions")
        << (common + QStringList{"--output", "{out}", "--description", "a", "--description-file", "{work}/file.txt", "{tree}"})
        << "not both";
}

void TestUpdatePack::badInputIsRefusedWithoutOutput() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QVERIFY(testtree::WriteFile(tree_, "app.dll", "program"));
    QVERIFY(testtree::WriteFile(work_->path(), "file.txt", "not a folder"));
    QVERIFY(QDir().mkpath(work_->path() + "/empty"));
    QVERIFY(testtree::WriteFile(work_->path(), "clash/bin/app.dll", "program"));
    QVERIFY(testtree::WriteFile(work_->path(), "clash/bin/App.DLL.bak", "an old program"));
    const QStringList before = Entries(work_->path());
    for (QString& argument : arguments) {
        argument.replace("{tree}", tree_).replace("{out}", out_).replace("{work}", work_->path());
    }

    const Result run = Pack(arguments << "--quiet");
    QVERIFY(run.code > 0);
    QVERIFY2(run.errors.contains("error") && run.errors.contains(message), qPrintable(run.errors));
    QCOMPARE(Entries(work_->path()), before);
    QCOMPARE(Entries(tree_), QStringList({"app.dll"}));
}

void TestUpdatePack::serviceAnswerAnnouncesTheRelease_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<bool>("forced");
    QTest::newRow("offered") << QStringList() << false;
    QTest::newRow("forced") << QStringList{"--force"} << true;
}

void TestUpdatePack::serviceAnswerAnnouncesTheRelease() {
    QFETCH(QStringList, extra);
    QFETCH(bool, forced);
    QVERIFY(testtree::WriteFile(tree_, "app.dll", "program"));
    const QString answerPath = work_->path() + "/service/answer.json";
    QCOMPARE(Pack(Defaults(tree_, out_) << "--service-answer" << answerPath << extra).code, 0);

    const QJsonObject answer = ReadJson(answerPath);
    QCOMPARE(answer.value("code").toVariant(), QVariant(0));
    QCOMPARE(answer.value("msg").toString(), QString("success"));
    const QJsonObject result = answer.value("result").toObject();
    QCOMPARE(result.value("flag"), QJsonValue(true));
    QCOMPARE(result.value("downloadUrl").toString(), QString("https://dl.example.com/rel%202/update.json"));
    QCOMPARE(result.value("forceUpdate"), QJsonValue(forced));
}

void TestUpdatePack::existingOutputIsReplacedOnlyWhenAsked() {
    QVERIFY(testtree::WriteFile(tree_, "app.dll", "version 1"));
    QVERIFY(testtree::WriteFile(tree_, "old.dat", "dropped in version 2"));
    QCOMPARE(Pack(Defaults(tree_, out_)).code, 0);
    const QMap<QString, QByteArray> first = testtree::Snapshot(out_);

    QVERIFY(QFile::remove(tree_ + "/old.dat"));
    QVERIFY(testtree::WriteFile(tree_, "app.dll", "version 2"));
    QVERIFY(testtree::WriteFile(work_->path(), "notes.html", "Second<br>release\n\n"));
    QStringList second = Defaults(tree_, out_);
    second.replace(second.indexOf("--description"), "--description-file");
    second.replace(second.indexOf("Faster start<br>Fewer crashes"), work_->path() + "/notes.html");

    const Result refused = Pack(second);
    QVERIFY(refused.code > 0);
    QVERIFY2(refused.errors.contains("--replace"), qPrintable(refused.errors));
    QCOMPARE(testtree::Snapshot(out_), first);

    QCOMPARE(Pack(second << "--replace").code, 0);
    const QJsonObject manifest = ReadJson(out_ + "/update.json");
    QCOMPARE(manifest.value("description").toString(), QString("Second<br>release"));
    QCOMPARE(Urls(manifest).keys(), QStringList({"/app.dll.zip"}));
    QCOMPARE(Entries(out_), QStringList({"app.dll.zip", "update.json"}));
    QCOMPARE(Entries(work_->path()), QStringList({"notes.html", "out", "tree"}));
}

void TestUpdatePack::keygenPairSignsTheReleaseAndIsNeverOverwritten() {
    const QString keys = work_->path() + "/keys";
    QCOMPARE(Pack({"keygen", "--output", keys}).code, 0);
    QCOMPARE(Entries(keys), QStringList({"release.key", "release.pub"}));
    struct stat status {};
    QCOMPARE(stat(QFile::encodeName(keys + "/release.key").constData(), &status), 0);
    QCOMPARE(QString::number(status.st_mode & 0777, 8), QString("600"));
    const QByteArray publicKey = testtree::ReadFile(keys + "/release.pub");
    QVERIFY2(publicKey.endsWith('\n') && publicKey.count('\n') == 1, publicKey.constData());
    QCOMPARE(QByteArray::fromBase64(publicKey.trimmed()).size(), 32);

    // A second pair would orphan every release signed with the first.
    const QByteArray secretKey = testtree::ReadFile(keys + "/release.key");
    const Result again = Pack({"keygen", "--output", keys});
    QVERIFY(again.code > 0);
    QVERIFY2(again.errors.contains("exists"), qPrintable(again.errors));
    QCOMPARE(testtree::ReadFile(keys + "/release.key"), secretKey);
    QCOMPARE(testtree::ReadFile(keys + "/release.pub"), publicKey);

    QVERIFY(testtree::WriteFile(tree_, "app.dll", "program"));
    QCOMPARE(Pack(Defaults(tree_, out_) << "--sign-key" << keys + "/release.key").code, 0);
    QCOMPARE(Entries(out_), QStringList({"app.dll.zip", "update.json", "update.json.sig"}));
    const QByteArray manifest = testtree::ReadFile(out_ + "/update.json");
    const QByteArray signature = testtree::ReadFile(out_ + "/update.json.sig");
    QVERIFY(signature.endsWith('\n') && signature.count('\n') == 1);
    QVERIFY(release::VerifySignature(manifest, signature, publicKey));
    QVERIFY(!release::VerifySignature(manifest + " ", signature, publicKey));
}

void TestUpdatePack::webServerOfAnotherUserServesTheRelease() {
    if (NginxServer::Executable().isEmpty()) QSKIP("nginx is not installed (scripts/setup-deps installs nginx-light)");
    // The release has to be readable by www-data through everything above it: the work folder
    // is opened to others, and the process umask is the usual one so that the result is known.
    QVERIFY(QFile::setPermissions(work_->path(), QFile::permissions(work_->path()) | QFile::ExeOther));
    LayOutRelease();
    const mode_t oldMask = umask(022);
    const Result run = Pack(Defaults(tree_, out_));
    umask(oldMask);
    QCOMPARE(run.code, 0);

    const QString prefix = work_->path() + "/nginx";
    QVERIFY(QDir().mkpath(prefix));
    NginxServer server;
    QVERIFY2(server.Start(prefix, out_), qPrintable(testtree::ReadFile(prefix + "/error.log")));
    for (const QString& name : {QString("/update.json"), QString("/bin/app.dll.zip")}) {
        const QPair<int, QByteArray> reply = NginxServer::Get(server.Port(), name);
        QCOMPARE(QString::number(reply.first) + ' ' + name, "200 " + name);
        QCOMPARE(reply.second, testtree::ReadFile(out_ + name));
    }

    // Behind those answers: every folder 0755 and every file 0644, the output folder included.
    QStringList paths{out_};
    for (QDirIterator it(out_, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        paths << it.next();
    }
    for (const QString& path : paths) {
        struct stat status {};
        QCOMPARE(stat(QFile::encodeName(path).constData(), &status), 0);
        QCOMPARE(QString::number(status.st_mode & 07777, 8) + ' ' + path,
                 QString(S_ISDIR(status.st_mode) ? "755 " : "644 ") + path);
    }
}

QTEST_GUILESS_MAIN(TestUpdatePack)
#include "tst_update_pack.moc"
