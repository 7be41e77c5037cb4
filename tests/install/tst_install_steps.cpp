// Tests of the two install steps over real archives made by Info-ZIP zip: what is extracted,
// what is installed where, the ".bak" backups, and the rollback after a failed copy.
#include <QDir>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "durable_file.h"
#include "info_zip.h"
#include "install_journal.h"
#include "install_pipeline.h"
#include "install_steps.h"
#include "release_files.h"
#include "test_tree.h"
#include "zip_builder.h"

#include <filesystem>
#include <memory>
#include <system_error>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using install::StepResult;

namespace install {
// Readable recovery outcomes in failure messages.
char* toString(Recovery recovery) {
    switch (recovery) {
    case Recovery::NothingFound: return qstrdup("NothingFound");
    case Recovery::Undone: return qstrdup("Undone");
    case Recovery::LeftAlone: return qstrdup("LeftAlone");
    case Recovery::Failed: return qstrdup("Failed");
    }
    return qstrdup("?");
}
}  // namespace install

Q_DECLARE_METATYPE(install::Recovery)

// Set for the crash drill's child process (see main).
constexpr char kInstallChild[] = "TST_INSTALL_STEPS_CHILD";
using Files = QMap<QString, QByteArray>;

namespace install {
// Readable step results in failure messages; QTest finds this by argument-dependent lookup.
char* toString(StepResult result) {
    switch (result) {
    case StepResult::NothingFound: return qstrdup("NothingFound");
    case StepResult::Done: return qstrdup("Done");
    case StepResult::Failed: return qstrdup("Failed");
    }
    return qstrdup("?");
}
}  // namespace install

namespace {

// Every folder below root (hidden ones too), relative, so tests can tell that a run left no
// folder behind.
QSet<QString> Folders(const QString& root) {
    QSet<QString> out;
    const QDir base(root);
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) out.insert(base.relativeFilePath(it.next()));
    return out;
}

// Owner, group and other permission bits of a file as a POSIX mode.
int Mode(const QString& path) {
    const int p = int(QFile::permissions(path));
    return ((p >> 12) & 7) << 6 | ((p >> 4) & 7) << 3 | (p & 7);
}

bool SetMode(const QString& path, int mode) {
    const int p = (mode >> 6 & 7) << 12 | (mode >> 3 & 7) << 4 | (mode & 7);
    return QFile::setPermissions(path, QFile::Permissions(p));
}

bool WriteTree(const QString& root, const Files& files) {
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!testtree::WriteFile(root, it.key(), it.value())) return false;
    }
    return true;
}

// A symbolic link at link to target (on Windows a real one, not a shell shortcut as QFile::link
// makes). False where links cannot be made (Wine, for one).
bool MakeSymlink(const QString& target, const QString& link) {
    std::error_code error;
    const std::filesystem::path to = target.toStdWString();
    if (QFileInfo(target).isDir()) {
        std::filesystem::create_directory_symlink(to, link.toStdWString(), error);
    } else {
        std::filesystem::create_symlink(to, link.toStdWString(), error);
    }
    return !error;
}

// Marks every file below root read-only (on Windows the read-only attribute, which keeps a file
// from being deleted until it is cleared).
bool MakeReadOnly(const QString& root) {
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (!QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther)) {
            return false;
        }
    }
    return true;
}

// The read-only, hidden and system attributes of a file (Windows; nothing elsewhere).
enum Mark : unsigned { kReadOnly = 1, kHidden = 2, kSystem = 4 };
#ifdef Q_OS_WIN
static_assert(kReadOnly == FILE_ATTRIBUTE_READONLY && kHidden == FILE_ATTRIBUTE_HIDDEN && kSystem == FILE_ATTRIBUTE_SYSTEM,
              "the attribute bits");
unsigned Marks(const QString& path) {
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()));
    return attributes == INVALID_FILE_ATTRIBUTES ? ~0u : attributes & (kReadOnly | kHidden | kSystem);
}
bool SetMarks(const QString& path, unsigned marks) {
    return SetFileAttributesW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                              marks != 0 ? marks : FILE_ATTRIBUTE_NORMAL);
}
#else
unsigned Marks(const QString&) { return 0; }
bool SetMarks(const QString&, unsigned marks) { return marks == 0; }
#endif

}  // namespace

class TestInstallSteps : public QObject {
    Q_OBJECT

private:
    QString work() const { return temp_->path() + "/download"; }
    QString root() const { return temp_->path() + "/root"; }
    // Packs files (relative path -> bytes) into an archive at work() + "/" + archive, the items
    // stored under their relative paths.
    void MakeArchive(const QString& archive, const Files& files);

    std::unique_ptr<QTemporaryDir> temp_;
    int staged_ = 0;

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void extractionUnpacksEveryArchiveIntoTheDownloadDirectory();
    void failedArchivesAreRemovedAndReportedEachWithItsOwnReason();
    void archivesSharingAFileUnpackAsOneThreadWould();
    void archiveDeclaringMoreThanTheFreeSpaceIsRefusedBeforeWriting();
    void nothingToDoLeavesTheInstallRootAlone_data();
    void nothingToDoLeavesTheInstallRootAlone();

    void updateInstallsNewFilesAndKeepsBackups();
    void walksSkipUndottedHiddenAndLinkedFiles_data();
    void walksSkipUndottedHiddenAndLinkedFiles();
    void everyUpdateReplacesThePreviousBackup();
    void whatLiesAtAStagingNameIsReplacedNotWrittenThrough_data();
    void whatLiesAtAStagingNameIsReplacedNotWrittenThrough();
    void readOnlyFilesAndBackupsAreReplaced();
    void archiveTimeAndAttributesReachTheInstalledFile_data();
    void archiveTimeAndAttributesReachTheInstalledFile();
    void downloadPathRepeatedInsideTheTreeKeepsItsPlace();
    void missingInstallRootIsCreated_data();
    void missingInstallRootIsCreated();
    void targetThroughALinkFailsAndRestoresTheOldInstallation_data();
    void targetThroughALinkFailsAndRestoresTheOldInstallation();
    void failedCopyRestoresTheOldInstallation_data();
    void failedCopyRestoresTheOldInstallation();
    void onlyFilesTheManifestVouchesForAreInstalled_data();
    void onlyFilesTheManifestVouchesForAreInstalled();
    void signedUpdateUnpacksOnlyArchivesWithTheirSignedSha256_data();
    void signedUpdateUnpacksOnlyArchivesWithTheirSignedSha256();
    void installStoppedAtAnyRenameIsUndoneAtTheNextStart();
    void journalsNotToUndoAreNotActedOn_data();
    void journalsNotToUndoAreNotActedOn();
    void replacedExecutableStaysExecutable_data();
    void replacedExecutableStaysExecutable();
    void updatedProgramStillRuns();
};

void TestInstallSteps::initTestCase() {
    if (!infozip::Available()) QSKIP("Info-ZIP zip is not installed");
}

void TestInstallSteps::init() {
    temp_ = std::make_unique<QTemporaryDir>();
    QVERIFY(temp_->isValid());
    QVERIFY(QDir().mkpath(work()));
    QVERIFY(QDir().mkpath(root()));
}

void TestInstallSteps::cleanup() { temp_.reset(); }

void TestInstallSteps::MakeArchive(const QString& archive, const Files& files) {
    const QString staging = temp_->path() + "/staging" + QString::number(++staged_);
    QVERIFY(WriteTree(staging, files));
    QVERIFY(infozip::MakeArchive(work() + "/" + archive, staging, files.keys()));
}

void TestInstallSteps::extractionUnpacksEveryArchiveIntoTheDownloadDirectory() {
    MakeArchive("app.zip", {{"bin/app.dll", "app v2"}});
    // An archive below a subfolder still extracts into the download directory itself.
    MakeArchive("sub/deep/plugin.zip", {{"plugins/p.dll", "plugin v2"}});
    // The name filter ignores letter case.
    MakeArchive("NOTES.ZIP", {{"notes.txt", "notes v2"}});
    QVERIFY(testtree::WriteFile(work(), "update.json", "{}"));
    QVERIFY(testtree::WriteFile(work(), "bin/app.dll", "app from an earlier update"));

    QStringList handed;
    const StepResult result = install::ExtractArchives(work(), [&](const QString& a) { handed << a; });

    QCOMPARE(result, StepResult::Done);
    QCOMPARE(handed.size(), 3);
    // The manifest stays for the check; the archives are gone.
    const Files expected{{"bin/app.dll", "app v2"}, {"plugins/p.dll", "plugin v2"}, {"notes.txt", "notes v2"},
                         {"update.json", "{}"}};
    QCOMPARE(testtree::Snapshot(work()), expected);
}

// Several archives may hold the same file (one holding several listed files, another one of
// them too). Unpacked at the same time, the second open of that file is a sharing violation on
// Windows; the result must be a one-thread unpack's: in walk order, the last archive's copy.
void TestInstallSteps::archivesSharingAFileUnpackAsOneThreadWould() {
    Files unpacked;
    const std::string shared(512 * 1024, 's');
    for (int i = 0; i < 8; ++i) {
        ztest::Archive archive;
        ztest::Entry own;
        own.name = "bin/own" + std::to_string(i) + ".dll";
        own.data = std::string(256 * 1024, char('a' + i));
        ztest::Entry common;
        common.name = "bin/shared.dll";
        common.data = shared;
        archive.entries = {common, own};
        QVERIFY(testtree::WriteFile(work(), QString("bin/own%1.dll.zip").arg(i), QByteArray::fromStdString(ztest::Build(archive))));
        unpacked.insert(QString::fromStdString(own.name), QByteArray::fromStdString(own.data));
    }
    unpacked.insert("bin/shared.dll", QByteArray::fromStdString(shared));
    QMap<QString, QString> failures;
    QCOMPARE(install::ExtractArchives(work(), {}, &failures), StepResult::Done);
    QCOMPARE(failures, (QMap<QString, QString>()));
    QCOMPARE(testtree::Snapshot(work()), unpacked);
}

void TestInstallSteps::failedArchivesAreRemovedAndReportedEachWithItsOwnReason() {
    // Archives are unpacked on several threads at once; among many good ones, three fail for
    // different reasons, so a reason taken from another thread's call would show.
    Files unpacked{{"update.json", "{}"}};
    for (int i = 0; i < 40; ++i) {
        ztest::Archive archive;
        ztest::Entry entry;
        entry.name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".dll";
        entry.data = std::string(1000 + 997 * i, char('a' + i % 26));
        archive.entries.push_back(entry);
        const QString name = QString::fromStdString(entry.name);
        QVERIFY(testtree::WriteFile(work(), name + ".zip", QByteArray::fromStdString(ztest::Build(archive))));
        unpacked.insert(name, QByteArray::fromStdString(entry.data));
    }
    QVERIFY(testtree::WriteFile(work(), "update.json", "{}"));
    QVERIFY(testtree::WriteFile(work(), "garbage.dll.zip", QByteArray(3000, 'x')));
    ztest::Entry damaged;
    damaged.name = "crc.dll";
    damaged.data = std::string(5000, 'c');
    damaged.centralCrc = 0x12345678u;
    damaged.localCrc = 0x12345678u;
    ztest::Entry secret;
    secret.name = "d1/secret.dll";
    secret.data = "locked away";
    secret.password = "not given";
    for (const ztest::Entry& entry : {damaged, secret}) {
        ztest::Archive archive;
        archive.entries.push_back(entry);
        QVERIFY(testtree::WriteFile(work(), QString::fromStdString(entry.name) + ".zip",
                                    QByteArray::fromStdString(ztest::Build(archive))));
    }

    // The steps hand over canonical paths; take them while the files still exist.
    const QString canonicalWork = QFileInfo(work()).canonicalFilePath();
    QStringList handed;
    QMap<QString, QString> failures;
    const StepResult result = install::ExtractArchives(work(), [&](const QString& a) { handed << a; }, &failures);

    QCOMPARE(result, StepResult::Failed);
    QCOMPARE(handed.size(), 43);
    // The engine opens no file without an end record, and says so.
    const QMap<QString, QString> expected{
        {canonicalWork + "/garbage.dll.zip", "Couldn't create/open file"},
        {canonicalWork + "/crc.dll.zip", "Zipfile is corrupt or not a zipfile"},
        {canonicalWork + "/d1/secret.dll.zip", "Correct password required"}};
    QCOMPARE(failures, expected);
    // Every archive was attempted and has served, the failed ones too (a retry downloads them
    // anew); the good ones are unpacked and nothing of the failed ones is.
    QCOMPARE(testtree::Snapshot(work()), unpacked);
}

void TestInstallSteps::archiveDeclaringMoreThanTheFreeSpaceIsRefusedBeforeWriting() {
    // Items declaring just under 4 GiB each (the engine reads no Zip64 sizes) with next to no
    // data, enough of them to exceed the free space: a bomb, without filling the disk to test it.
    // A genuine file comes first, so extraction that starts before checking leaves it behind.
    constexpr std::uint32_t kDeclared = 0xFFFF0000u;
    const qint64 available = QStorageInfo(work()).bytesAvailable();
    QVERIFY(available >= 0);
    const qint64 items = available / kDeclared + 2;
    if (items > 65000) QSKIP("more free space than one archive can declare");
    ztest::Archive bomb;
    ztest::Entry first;
    first.name = "first.dll";
    first.data = "genuine";
    bomb.entries.push_back(first);
    for (qint64 i = 0; i < items; ++i) {
        ztest::Entry e;
        e.name = "big/" + std::to_string(i) + ".bin";
        e.centralSize = kDeclared;
        e.localSize = kDeclared;
        bomb.entries.push_back(e);
    }
    QVERIFY(testtree::WriteFile(work(), "bomb.zip", QByteArray::fromStdString(ztest::Build(bomb))));

    QElapsedTimer clock;
    clock.start();
    const StepResult result = install::ExtractArchives(work());
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(result, StepResult::Failed);
    QVERIFY2(elapsed < 1000, qPrintable(QString("took %1 ms").arg(elapsed)));
    // Refused like a corrupt archive: removed, and nothing of it written.
    QCOMPARE(testtree::Snapshot(work()), Files{});
    QCOMPARE(Folders(work()), QSet<QString>{});
}

void TestInstallSteps::nothingToDoLeavesTheInstallRootAlone_data() {
    QTest::addColumn<Files>("download");
    QTest::newRow("empty download directory") << Files{};
    QTest::newRow("only the manifest") << Files{{"update.json", "{}"}};
    QTest::newRow("only files the walks skip") << Files{{"README", "x"}, {".hidden.dll", "x"}, {".cache/a.zip", "x"}};
}

void TestInstallSteps::nothingToDoLeavesTheInstallRootAlone() {
    QFETCH(Files, download);
    QVERIFY(WriteTree(work(), download));
    QVERIFY(testtree::WriteFile(root(), "bin/app.dll", "installed"));
    const Files before = testtree::Snapshot(root());

    QCOMPARE(install::ExtractArchives(work()), StepResult::NothingFound);
    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::NothingFound);

    QCOMPARE(testtree::Snapshot(root()), before);
}

void TestInstallSteps::updateInstallsNewFilesAndKeepsBackups() {
    QVERIFY(WriteTree(root(), {{"bin/app.dll", "app v1"}, {"bin/other.dll", "other v1"}, {"notes.txt", "notes v1"}}));
    QVERIFY(QDir().mkpath(root() + "/app/updater"));
    MakeArchive("app.zip", {{"bin/app.dll", "app v2"}});
    MakeArchive("plugin.zip", {{"plugins/new/p.dll", "plugin v2"}});
    MakeArchive("notes.zip", {{"notes.txt", "notes v2"}});
    QVERIFY(testtree::WriteFile(work(), "update.json", "{}"));

    QCOMPARE(install::ExtractArchives(work()), StepResult::Done);
    // The updater names the root from its own folder, two levels down, and leaves the ".." in.
    const QString spelledRoot = root() + "/app/updater/../..";
    QStringList targets;
    install::CopyHooks hooks;
    hooks.afterCopy = [&](bool copied, const QString&, const QString& target) {
        QVERIFY(copied);
        targets << target;
    };
    QCOMPARE(install::ReplaceFiles(work(), spelledRoot, hooks), StepResult::Done);

    const Files installed{{"bin/app.dll", "app v2"},      {"bin/app.dll.bak", "app v1"},
                          {"bin/other.dll", "other v1"},  {"notes.txt", "notes v2"},
                          {"notes.txt.bak", "notes v1"},  {"plugins/new/p.dll", "plugin v2"}};
    QCOMPARE(testtree::Snapshot(root()), installed);
    targets.sort();
    const QStringList expectedTargets{spelledRoot + "/bin/app.dll", spelledRoot + "/notes.txt",
                                      spelledRoot + "/plugins/new/p.dll"};
    QCOMPARE(targets, expectedTargets);
    // The step itself keeps the unpacked tree and the manifest, which is never installed.
    const Files kept{{"bin/app.dll", "app v2"}, {"plugins/new/p.dll", "plugin v2"}, {"notes.txt", "notes v2"},
                     {"update.json", "{}"}};
    QCOMPARE(testtree::Snapshot(work()), kept);
}

void TestInstallSteps::walksSkipUndottedHiddenAndLinkedFiles_data() {
    QTest::addColumn<QString>("skipped");
    QTest::newRow("name without a dot") << "bin/LICENSE";
    QTest::newRow("hidden file") << ".hidden.dll";
    QTest::newRow("file in a hidden folder") << ".cache/a.dll";
    QTest::newRow("file in a hidden folder further down") << "bin/.git/a.dll";
    QTest::newRow("symbolic link") << "link.dll";
    QTest::newRow("hidden archive") << ".update.zip";
    QTest::newRow("archive in a hidden folder") << "sub/.cache/update.zip";
    QTest::newRow("symbolic link to an archive") << "link.zip";
}

void TestInstallSteps::walksSkipUndottedHiddenAndLinkedFiles() {
    QFETCH(QString, skipped);
    QVERIFY(testtree::WriteFile(work(), "bin/app.dll", "app v2"));
    const bool viaLink = skipped.startsWith("link.");
    const QString real = viaLink ? temp_->path() + "/elsewhere/real" + skipped.mid(4) : work() + "/" + skipped;
    if (skipped.endsWith(".zip")) {
        QVERIFY(testtree::WriteFile(temp_->path(), "staging/packed.dll", "from a skipped archive"));
        QVERIFY(infozip::MakeArchive(real, temp_->path() + "/staging", {"packed.dll"}));
    } else {
        QVERIFY(testtree::WriteFile(QFileInfo(real).absolutePath(), QFileInfo(real).fileName(), "skipped"));
    }
    if (viaLink && !MakeSymlink(real, work() + "/" + skipped)) QSKIP("symbolic links cannot be made here");

    QCOMPARE(install::ExtractArchives(work()), StepResult::NothingFound);
    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);

    QVERIFY(QFileInfo(real).isFile());
    QCOMPARE(testtree::Snapshot(root()), (Files{{"bin/app.dll", "app v2"}}));
}

void TestInstallSteps::everyUpdateReplacesThePreviousBackup() {
    QByteArray previous;
    for (const QByteArray version : {"v1", "v2", "v3", "v4"}) {
        QVERIFY(QDir(work()).removeRecursively());
        MakeArchive("app.zip", {{"bin/app.dll", version}});
        QCOMPARE(install::ExtractArchives(work()), StepResult::Done);
        QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);

        Files expected{{"bin/app.dll", version}};
        if (!previous.isEmpty()) expected.insert("bin/app.dll.bak", previous);
        QCOMPARE(testtree::Snapshot(root()), expected);
        previous = version;
    }
}

void TestInstallSteps::whatLiesAtAStagingNameIsReplacedNotWrittenThrough_data() {
    QTest::addColumn<bool>("link");
    QTest::newRow("a file a killed run left") << false;
    QTest::newRow("a link to a file elsewhere") << true;
}

// Each file is written beside its target as "." + name + ".installing" before it is renamed.
void TestInstallSteps::whatLiesAtAStagingNameIsReplacedNotWrittenThrough() {
    QFETCH(bool, link);
    const QString elsewhere = temp_->path() + "/elsewhere.txt";
    QVERIFY(testtree::WriteFile(temp_->path(), "elsewhere.txt", "not ours"));
    QVERIFY(WriteTree(root(), {{"bin/app.dll", "app v1"}}));
    const QString staging = root() + "/bin/.app.dll.installing";
    if (link) {
        if (!MakeSymlink(elsewhere, staging)) QSKIP("symbolic links cannot be made here");
    } else {
        QVERIFY(testtree::WriteFile(root(), "bin/.app.dll.installing", "half of app v2"));
    }
    QVERIFY(WriteTree(work(), {{"bin/app.dll", "app v2"}}));

    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);

    QCOMPARE(testtree::Snapshot(root()), (Files{{"bin/app.dll", "app v2"}, {"bin/app.dll.bak", "app v1"}}));
    QCOMPARE(testtree::ReadFile(elsewhere), QByteArray("not ours"));
}

// Installers and users mark program files read-only; an update replaces them all the same, and
// the backup of the update before goes once this one succeeded.
void TestInstallSteps::readOnlyFilesAndBackupsAreReplaced() {
    QVERIFY(WriteTree(root(), {{"bin/app.dll", "v2"}, {"bin/app.dll.bak", "v1"}}));
    QVERIFY(WriteTree(work(), {{"bin/app.dll", "v3"}}));
    QVERIFY(MakeReadOnly(root()) && MakeReadOnly(work()));
    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);
    QCOMPARE(testtree::Snapshot(root()), (Files{{"bin/app.dll", "v3"}, {"bin/app.dll.bak", "v2"}}));
}

void TestInstallSteps::archiveTimeAndAttributesReachTheInstalledFile_data() {
    QTest::addColumn<unsigned>("archived");  // the unpacked file's marks, as the archive gave them
    QTest::addColumn<unsigned>("replaced");
    QTest::addColumn<unsigned>("installed");
    QTest::newRow("the archive's time") << 0u << 0u << 0u;
#ifdef Q_OS_WIN
    QTest::newRow("the archive's attributes") << (kReadOnly | kHidden | kSystem) << 0u << (kReadOnly | kHidden | kSystem);
    QTest::newRow("an archive saying nothing keeps the replaced file's") << 0u << (kReadOnly | kHidden) << (kReadOnly | kHidden);
    QTest::newRow("the archive's win over the replaced file's") << unsigned(kHidden) << unsigned(kReadOnly) << unsigned(kHidden);
#endif
}

// A file installed hidden must still be found by the walk, or it would be fetched on every run.
void TestInstallSteps::archiveTimeAndAttributesReachTheInstalledFile() {
    QFETCH(unsigned, archived);
    QFETCH(unsigned, replaced);
    QFETCH(unsigned, installed);
    const QString source = work() + "/bin/app.dll";
    const QString target = root() + "/bin/app.dll";
    QVERIFY(WriteTree(root(), {{"bin/app.dll", "v1"}}));
    QVERIFY(WriteTree(work(), {{"bin/app.dll", "v2"}}));
    const QDateTime time = QDateTime::fromString("2024-05-06T07:08:10Z", Qt::ISODate);
    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime));
    file.close();
    QVERIFY(SetMarks(source, archived) && SetMarks(target, replaced));

    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);

    QCOMPARE(testtree::ReadFile(target), QByteArray("v2"));
    QCOMPARE(QFileInfo(target).lastModified().toUTC(), time);
    QCOMPARE(Marks(target), installed);
    QStringList walked;
    for (const QFileInfo& info : release::WalkFiles(root())) walked << release::FileKey(info.filePath(), root());
    QVERIFY2(walked.contains("/bin/app.dll"), qPrintable(walked.join(' ')));
}

void TestInstallSteps::downloadPathRepeatedInsideTheTreeKeepsItsPlace() {
    // Only the leading download directory is cut off: the same text deeper in the path is part
    // of the file's place below the install root.
    const QString nested = work().mid(1) + "/f.txt";
    QVERIFY(testtree::WriteFile(work(), nested, "deep"));
    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);
    QCOMPARE(testtree::Snapshot(root()), (Files{{nested, "deep"}}));
}

void TestInstallSteps::missingInstallRootIsCreated_data() {
    QTest::addColumn<bool>("relative");
    QTest::newRow("absolute root") << false;
    QTest::newRow("root relative to the current folder") << true;
}

void TestInstallSteps::missingInstallRootIsCreated() {
    QFETCH(bool, relative);
    QVERIFY(testtree::WriteFile(work(), "bin/app.dll", "app v2"));
    const QString previous = QDir::currentPath();
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    QVERIFY(QDir::setCurrent(temp_->path()));
    const QString fresh = relative ? QString("fresh") : temp_->path() + "/fresh";

    QCOMPARE(install::ReplaceFiles(work(), fresh), StepResult::Done);

    QCOMPARE(testtree::Snapshot(temp_->path() + "/fresh"), (Files{{"bin/app.dll", "app v2"}}));
}

void TestInstallSteps::targetThroughALinkFailsAndRestoresTheOldInstallation_data() {
    QTest::addColumn<QString>("linked");  // the folder of the install root that is a link
    QTest::newRow("top folder") << "data";
    QTest::newRow("nested folder") << "data/skins";
}

// Nothing is written, renamed or created where the link points, and what was installed before
// the refused file is taken back.
void TestInstallSteps::targetThroughALinkFailsAndRestoresTheOldInstallation() {
    QFETCH(QString, linked);
    const QString outside = temp_->path() + "/outside";
    QVERIFY(WriteTree(outside, {{"skins/blue.png", "blue v1"}}));
    QVERIFY(WriteTree(root(), {{"a.dll", "a v1"}, {"data/readme.txt", "readme v1"}}));
    QDir(root() + "/" + linked).removeRecursively();
    if (!MakeSymlink(linked == "data" ? outside : outside + "/skins", root() + "/" + linked)) {
        QSKIP("symbolic links cannot be made here");
    }
    QVERIFY(WriteTree(work(), {{"a.dll", "a v2"}, {"data/skins/blue.png", "blue v2"}, {"data/skins/red.png", "red"}}));
    const Files before = testtree::Snapshot(root());
    const Files outsideBefore = testtree::Snapshot(outside);

    QStringList sources = install::UnpackedFiles(work());
    sources.sort();  // a.dll first: its replacement has to be undone
    QCOMPARE(install::ReplaceFiles(work(), root(), sources), StepResult::Failed);
    QCOMPARE(testtree::Snapshot(root()), before);
    QCOMPARE(testtree::Snapshot(outside), outsideBefore);
}

void TestInstallSteps::failedCopyRestoresTheOldInstallation_data() {
    QTest::addColumn<int>("blockedCall");
    QTest::addColumn<Files>("earlier");
    QTest::addColumn<bool>("readOnly");  // every file, installed and downloaded, marked read-only
    // When set, this file is blocked instead, once every file is written and flushed, before
    // any is put in place (a file of a folder the step creates would keep that folder).
    QTest::addColumn<QString>("blockedWhenPlacing");
    const Files noBackups;
    const Files backups{{"bin/a.dll.bak", "a v0"}, {"bin/b.dll.bak", "b v0"}, {"c.txt.bak", "c v0"}};
    Files asideTaken = backups;
    asideTaken.insert("bin/a.dll.bak.prev", "someone else's file");
    // Five files are installed; the blocked one is counted in walk order.
    const QString whenWriting;
    QTest::newRow("last file blocked") << 5 << noBackups << false << whenWriting;
    QTest::newRow("last file blocked, backups from an earlier update") << 5 << backups << false << whenWriting;
    QTest::newRow("last file blocked, a stray file beside an old backup") << 5 << asideTaken << false << whenWriting;
    QTest::newRow("middle file blocked, backups from an earlier update") << 3 << backups << false << whenWriting;
    QTest::newRow("first file blocked") << 1 << backups << false << whenWriting;
    QTest::newRow("last file blocked, every file read-only") << 5 << backups << true << whenWriting;
    // Files placed before the blocked one have to be taken back; the blocked one and those after
    // it are still under their staging names, which must go too.
    QTest::newRow("installed file blocked when placing, backups from an earlier update") << 0 << backups << false
                                                                                         << "c.txt";
    QTest::newRow("installed file blocked when placing, every file read-only") << 0 << backups << true << "bin/b.dll";
    QTest::newRow("new file blocked when placing") << 0 << noBackups << false << "d.ini";
}

void TestInstallSteps::failedCopyRestoresTheOldInstallation() {
    QFETCH(int, blockedCall);
    QFETCH(Files, earlier);
    QFETCH(bool, readOnly);
    QFETCH(QString, blockedWhenPlacing);
    const bool whenPlacing = !blockedWhenPlacing.isEmpty();
    QVERIFY(WriteTree(root(), {{"bin/a.dll", "a v1"}, {"bin/b.dll", "b v1"}, {"c.txt", "c v1"}}));
    QVERIFY(WriteTree(root(), earlier));
    const Files download{{"bin/a.dll", "a v2"},
                         {"bin/b.dll", "b v2"},
                         {"c.txt", "c v2"},
                         {"d.ini", "d v2"},
                         {"new/deep/n.dll", "n v2"}};
    QVERIFY(WriteTree(work(), download));
    if (readOnly) QVERIFY(MakeReadOnly(root()) && MakeReadOnly(work()));
    const Files rootBefore = testtree::Snapshot(root());
    const QSet<QString> foldersBefore = Folders(root());

    // A non-empty folder in the target's place: the copy cannot replace it, even as root.
    QString blocked, stash, blockerTop;
    QStringList handed;
    QList<bool> outcomes;
    const auto block = [&](const QString& source) {
        blocked = root() + source.mid(QFileInfo(work()).canonicalFilePath().size());
        if (QFileInfo(blocked).isFile()) {
            stash = temp_->path() + "/stash";
            QVERIFY(QFile::rename(blocked, stash));
        }
        for (QString d = QFileInfo(blocked).absolutePath(); !QFileInfo::exists(d); d = QFileInfo(d).absolutePath()) {
            blockerTop = d;
        }
        QVERIFY(testtree::WriteFile(blocked, "inside.txt", "blocker"));
    };
    install::CopyHooks hooks;
    hooks.beforeCopy = [&](const QString& source) {
        handed << source;
        if (!whenPlacing && handed.size() == blockedCall) block(source);
    };
    hooks.beforePlacing = [&] {
        QVERIFY(whenPlacing);
        block(QFileInfo(work()).canonicalFilePath() + "/" + blockedWhenPlacing);
    };
    hooks.afterCopy = [&](bool copied, const QString&, const QString&) { outcomes << copied; };

    const StepResult result = install::ReplaceFiles(work(), root(), hooks);

    // Take the blocker away again; what is left must be exactly the old installation.
    QVERIFY(!blocked.isEmpty());
    QVERIFY(QDir(blockerTop.isEmpty() ? blocked : blockerTop).removeRecursively());
    if (!stash.isEmpty()) QVERIFY(QFile::rename(stash, blocked));
    QCOMPARE(result, StepResult::Failed);
    QList<bool> expectedOutcomes;
    const int written = whenPlacing ? download.size() : blockedCall - 1;
    for (int i = 0; i < written; ++i) expectedOutcomes << true;
    if (!whenPlacing) expectedOutcomes << false;
    QCOMPARE(outcomes, expectedOutcomes);
    // Hidden files count too: no staging file may be left.
    QCOMPARE(testtree::Snapshot(root()), rootBefore);
    QCOMPARE(Folders(root()), foldersBefore);
    QCOMPARE(testtree::Snapshot(work()), download);
}

void TestInstallSteps::onlyFilesTheManifestVouchesForAreInstalled_data() {
    QTest::addColumn<Files>("unpacked");
    QTest::addColumn<QStringList>("produced");   // the files the extracted archives stood for
    QTest::addColumn<QStringList>("installed");  // what may be installed, in path order; empty: refused
    const QByteArray app = "app v2";
    const QStringList none;
    QTest::newRow("every file named, with its MD5")
        << Files{{"bin/app.dll", app}} << QStringList{"/bin/app.dll"} << QStringList{"/bin/app.dll"};
    QTest::newRow("one archive, two listed files") << Files{{"bin/app.dll", app}, {"res/logo.png", "logo"}}
                                                   << QStringList{"/bin/app.dll"}
                                                   << QStringList{"/bin/app.dll", "/res/logo.png"};
    QTest::newRow("other content") << Files{{"bin/app.dll", "app v1"}} << QStringList{"/bin/app.dll"} << none;
    QTest::newRow("a file no entry names")
        << Files{{"bin/app.dll", app}, {"plugins/inject.dll", "x"}} << QStringList{"/bin/app.dll"} << none;
    QTest::newRow("an archive that produced nothing") << Files{} << QStringList{"/bin/app.dll"} << none;
    QTest::newRow("an archive that produced another letter case")
        << Files{{"BIN/APP.DLL", app}} << QStringList{"/bin/app.dll"} << none;
    QTest::newRow("the marker is left out")
        << Files{{"bin/app.dll", app}, {"local.ini", ""}} << none << QStringList{"/bin/app.dll"};
    QTest::newRow("the manifest is no file to install")
        << Files{{"bin/app.dll", app}, {"update.json", "{}"}} << none << QStringList{"/bin/app.dll"};
    QTest::newRow("nor is its signature")
        << Files{{"bin/app.dll", app}, {"update.json.sig", "c2ln\n"}} << none << QStringList{"/bin/app.dll"};
}

void TestInstallSteps::onlyFilesTheManifestVouchesForAreInstalled() {
    QFETCH(Files, unpacked);
    QFETCH(QStringList, produced);
    QFETCH(QStringList, installed);
    QVERIFY(WriteTree(work(), unpacked));
    // Upper-case digits: a digest is a digest in either case.
    const QMap<QString, QString> manifest{{"/bin/app.dll", testtree::Md5("app v2").toUpper()},
                                          {"/res/logo.png", testtree::Md5("logo")}};
    const QString canonicalWork = QFileInfo(work()).canonicalFilePath();
    QStringList sources;
    const bool ok = install::CheckUnpacked(canonicalWork, manifest, QSet<QString>(produced.begin(), produced.end()),
                                           {"/local.ini"}, &sources);
    QCOMPARE(ok, !installed.isEmpty());
    if (!ok) return;
    for (QString& source : sources) source.remove(0, canonicalWork.size());
    sources.sort();
    QCOMPARE(sources, installed);
}

void TestInstallSteps::signedUpdateUnpacksOnlyArchivesWithTheirSignedSha256_data() {
    QTest::addColumn<QString>("signedFor");  // what the signed manifest gives for the archive
    QTest::newRow("its own SHA-256, in upper case") << "own";
    QTest::newRow("the SHA-256 of other bytes") << "other";
    QTest::newRow("an entry without SHA-256") << "none";
    QTest::newRow("no entry for the archive") << "unnamed";
}

// The archive holds exactly the file the MD5 vouches for in every row: only the SHA-256 of the
// archive's bytes tells them apart, and a refused archive never reaches the zip reader.
void TestInstallSteps::signedUpdateUnpacksOnlyArchivesWithTheirSignedSha256() {
    QFETCH(QString, signedFor);
    MakeArchive("bin/app.dll.zip", {{"bin/app.dll", "app v2"}});
    const QByteArray archive = testtree::ReadFile(work() + "/bin/app.dll.zip");
    const auto sha256 = [](const QByteArray& bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    QMap<QString, QString> signedSha256{{"/other.dll.zip", sha256("other")}};
    if (signedFor == "own") signedSha256.insert("/bin/app.dll.zip", sha256(archive).toUpper());
    if (signedFor == "other") signedSha256.insert("/bin/app.dll.zip", sha256(archive + "x"));
    if (signedFor == "none") signedSha256.insert("/bin/app.dll.zip", QString());

    install::Installation installation(work(), root(), {{"/bin/app.dll", testtree::Md5("app v2")}});
    installation.RequireArchiveSha256(signedSha256);
    const bool matches = signedFor == "own";
    QCOMPARE(installation.Unpack(), matches ? StepResult::Done : StepResult::Failed);
    QCOMPARE(QFileInfo::exists(work() + "/bin/app.dll"), matches);
    QCOMPARE(installation.Replace(), matches ? StepResult::Done : StepResult::Failed);
    const Files installed = matches ? Files{{"bin/app.dll", "app v2"}} : Files{};
    QCOMPARE(testtree::Snapshot(root()), installed);
}

// The crash drill: an install run in a child process stops after its Nth rename, for every N, and
// the undo a starting program makes leaves the old version exactly, backups included. The child
// is this program, told by kInstallChild which folders to install from and to.
void TestInstallSteps::installStoppedAtAnyRenameIsUndoneAtTheNextStart() {
    QVERIFY(WriteTree(root(), {{"bin/a.dll", "a v1"}, {"bin/a.dll.bak", "a v0"}, {"c.txt", "c v1"}}));
    QVERIFY(WriteTree(work(), {{"bin/a.dll", "a v2"}, {"c.txt", "c v2"}, {"new/deep/n.dll", "n v2"}}));
    const Files before = testtree::Snapshot(root());
    const QSet<QString> foldersBefore = Folders(root());
    for (int stop = 1;; ++stop) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(kInstallChild, work() + "|" + root());
        environment.insert(install::kStopAfterRenameVariable, QString::number(stop));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0) {
            // Every rename done: 3 for a.dll (its earlier backup aside first), 2 for c.txt, 1 for n.dll.
            QCOMPARE(stop, 7);
            QCOMPARE(install::RecoverInterruptedInstall(root()), install::Recovery::NothingFound);
            QCOMPARE(testtree::Snapshot(root()), (Files{{"bin/a.dll", "a v2"}, {"bin/a.dll.bak", "a v1"},
                                                        {"c.txt", "c v2"}, {"c.txt.bak", "c v1"}, {"new/deep/n.dll", "n v2"}}));
            return;
        }
        QVERIFY2(testtree::Snapshot(root()) != before, qPrintable(QString("stopped after rename %1").arg(stop)));
        QCOMPARE(install::RecoverInterruptedInstall(root()), install::Recovery::Undone);
        QCOMPARE(testtree::Snapshot(root()), before);
        QCOMPARE(Folders(root()), foldersBefore);
    }
}

void TestInstallSteps::journalsNotToUndoAreNotActedOn_data() {
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<bool>("held");
    QTest::addColumn<install::Recovery>("recovery");
    // Were it undone, the journal below would move app.dll to its staging name and lose it.
    const QByteArray placed = R"({"files":[{"target":"/app.dll","replaces":false,"aside":""}],"folders":[]})";
    QTest::newRow("held by an install still running") << placed << true << install::Recovery::LeftAlone;
    QTest::newRow("cut short before it was flushed") << placed.left(placed.size() / 2) << false << install::Recovery::Undone;
    QTest::newRow("naming a file outside the install root")
        << QByteArray(R"({"files":[{"target":"/../outside.dll","replaces":false,"aside":""}],"folders":[]})") << false
        << install::Recovery::Undone;
}

void TestInstallSteps::journalsNotToUndoAreNotActedOn() {
    QFETCH(QByteArray, journal);
    QFETCH(bool, held);
    QFETCH(install::Recovery, recovery);
    QVERIFY(WriteTree(root(), {{"app.dll", "app v2"}}));
    QVERIFY(testtree::WriteFile(temp_->path(), "outside.dll", "not ours"));
    const QString path = root() + "/" + install::kJournalName;
    std::unique_ptr<platform::HeldFile> holder = platform::HeldFile::Create(path.toStdString(), journal.toStdString());
    QVERIFY(holder);
    if (!held) holder.reset();

    QCOMPARE(install::RecoverInterruptedInstall(root()), recovery);

    QCOMPARE(QFileInfo::exists(path), held);
    if (held) QVERIFY(holder->Remove());
    QCOMPARE(testtree::Snapshot(root()), (Files{{"app.dll", "app v2"}}));
    QCOMPARE(testtree::ReadFile(temp_->path() + "/outside.dll"), QByteArray("not ours"));
}

void TestInstallSteps::replacedExecutableStaysExecutable_data() {
    QTest::addColumn<int>("oldMode");
    QTest::addColumn<int>("newMode");
    QTest::addColumn<int>("installedMode");
    // An archive from a host that records no mode unpacks the new program without execute bits;
    // it takes the old one's bits then, or no later update could start. Otherwise the new mode holds.
    QTest::newRow("executable replaced by a file without execute bits") << 0750 << 0644 << 0750;
    QTest::newRow("executable replaced by an executable") << 0755 << 0700 << 0700;
    QTest::newRow("plain file replaced by an executable") << 0644 << 0755 << 0755;
    QTest::newRow("plain file replaced by a plain file") << 0644 << 0600 << 0600;
}

void TestInstallSteps::replacedExecutableStaysExecutable() {
#ifdef Q_OS_WIN
    QSKIP("Windows tells programs by their names, not by mode bits");
#endif
    QFETCH(int, oldMode);
    QFETCH(int, newMode);
    QFETCH(int, installedMode);
    QVERIFY(WriteTree(root(), {{"update.exe", "v1"}}));
    QVERIFY(WriteTree(work(), {{"update.exe", "v2"}}));
    QVERIFY(SetMode(root() + "/update.exe", oldMode));
    QVERIFY(SetMode(work() + "/update.exe", newMode));

    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);
    QCOMPARE(testtree::ReadFile(root() + "/update.exe"), QByteArray("v2"));
    QCOMPARE(QString::number(Mode(root() + "/update.exe"), 8), QString::number(installedMode, 8));
}

void TestInstallSteps::updatedProgramStillRuns() {
#ifdef Q_OS_WIN
    QSKIP("Windows tells programs by their names, not by mode bits");
#endif
    // The updater replaces itself: the program that lands must start next time.
    QVERIFY(WriteTree(root(), {{"update.exe", "#!/bin/sh\necho v1\n"}}));
    QVERIFY(SetMode(root() + "/update.exe", 0755));
    const QString staging = temp_->path() + "/staging";
    QVERIFY(WriteTree(staging, {{"update.exe", "#!/bin/sh\necho v2\n"}}));
    QVERIFY(SetMode(staging + "/update.exe", 0755));
    QVERIFY(infozip::MakeArchive(work() + "/update.exe.zip", staging, {"update.exe"}));

    QCOMPARE(install::ExtractArchives(work()), StepResult::Done);
    QCOMPARE(install::ReplaceFiles(work(), root()), StepResult::Done);
    for (const QString& program : {work() + "/update.exe", root() + "/update.exe"}) {
        QProcess run;
        run.start(program, QStringList());
        QVERIFY2(run.waitForFinished(30000), qPrintable(program + ": " + run.errorString()));
        QCOMPARE(run.exitCode(), 0);
        QCOMPARE(run.readAllStandardOutput(), QByteArray("v2\n"));
    }
}

// The crash drill's child: installs one folder over another (kInstallChild: "from|to") and exits
// 0 when the install is done, unless the drill stops it first.
int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList child = qEnvironmentVariable(kInstallChild).split('|');
    if (child.size() == 2) return install::ReplaceFiles(child.at(0), child.at(1)) == StepResult::Done ? 0 : 1;
    TestInstallSteps test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_install_steps.moc"
