// Extraction: whole archives into a folder, single items to paths, handles and memory, and
// how failures show (result codes, no file left behind, nothing outside the folder).
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "file_io.h"
#include "zip_test_support.h"

using ztest::Archive;
using ztest::Entry;

namespace {

constexpr std::uint64_t kDefaultDosTime = ztest::FileTimeFromUnix(1735732800);

TEST_F(ZipTest, WholeArchiveLandsUnderTheFolderWithContentsAndTimes) {
    Entry big = FileEntry("data/big.bin", MixedData(300000, 1));
    big.localExtra = ztest::ExtendedTimestamp(3, 1600000000, 1600000100);
    Archive a;
    a.entries = {FolderEntry("data/"), big, FileEntry("data/stored.txt", "stored bytes", 0),
                 FileEntry("deep/a/b/c.txt", "nested"), FileEntry("empty-stored", "", 0),
                 FileEntry("empty-deflated", "", 8), FolderEntry("only/folder/"),
                 FileEntry("\xE6\x9B\xB4\xE6\x96\xB0.txt", "chinese name")};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";

    ASSERT_TRUE(ExtractZipToDir(W(zip), W(out)));

    EXPECT_EQ(Tree(out), (std::set<std::string>{"data/", "data/big.bin", "data/stored.txt", "deep/", "deep/a/",
                                                "deep/a/b/", "deep/a/b/c.txt", "empty-stored", "empty-deflated",
                                                "only/", "only/folder/", "\xE6\x9B\xB4\xE6\x96\xB0.txt"}));
    const ztest::FileTimes bigTimes = ztest::GetFileTimes(W(out / "data/big.bin"));
    ASSERT_TRUE(bigTimes.ok);
    EXPECT_EQ(bigTimes.modification, ztest::FileTimeFromUnix(1600000000));
    EXPECT_EQ(bigTimes.access, ztest::FileTimeFromUnix(1600000100));
    for (const char* name : {"empty-stored", "empty-deflated", "data/stored.txt"}) {
        EXPECT_EQ(ztest::GetFileTimes(W(out / name)).modification, kDefaultDosTime) << name;
    }
    // Contents last: reading may move the access times.
    EXPECT_EQ(Read(out / "data/big.bin"), big.data);
    EXPECT_EQ(Read(out / "data/stored.txt"), "stored bytes");
    EXPECT_EQ(Read(out / "deep/a/b/c.txt"), "nested");
    EXPECT_EQ(fs::file_size(out / "empty-deflated"), 0u);
}

TEST_F(ZipTest, ArchiveWithoutItemsIsASuccessThatWritesNoFiles) {
    const fs::path zip = WriteArchive(Archive{});
    const fs::path out = dir_ / "out";
    EXPECT_TRUE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_TRUE(Tree(out).empty());
}

TEST_F(ZipTest, EmptyFolderNameCreatesNothingBeyondTheRoot) {
    Archive a;
    a.entries = {FolderEntry("")};
    const fs::path out = dir_ / "out";
    EXPECT_TRUE(ExtractZipToDir(W(WriteArchive(a)), W(out)));
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(Tree(out).empty());
}

TEST_F(ZipTest, FolderNamedWithTrailingSeparatorButNoFolderBitIsAFolder) {
    // Some archivers mark folders only by the trailing '/' (DOS host, attributes 0).
    Entry folder = FileEntry("plain/", "", 0);
    folder.host = ztest::kHostDos;
    folder.externalAttributes = 0;
    Archive a;
    a.entries = {folder, FileEntry("plain/f.txt", "f")};
    const fs::path out = dir_ / "out";
    EXPECT_TRUE(ExtractZipToDir(W(WriteArchive(a)), W(out)));
    EXPECT_EQ(Tree(out), (std::set<std::string>{"plain/", "plain/f.txt"}));
}

// A file where a folder item's folder belongs keeps the folder from being made. The item fails
// instead of passing for a folder that is not there; with the folder bit alone the name finds
// the file, which still is no folder.
class FolderBlockedByFile : public ZipTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FolderBlockedByFile, FailsWithNoFileAndLeavesTheFile) {
    Archive a;
    a.entries = {FolderEntry(GetParam())};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    Write("out/blocked", "in the way");
    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ZipSetExtractDir(h, W(out).c_str()), kZipSuccess);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(ZipExtractToPath(h, 0, info.name), kZipNoFile);
    ZipClose(h);
    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_EQ(Read(out / "blocked"), "in the way");
}

INSTANTIATE_TEST_SUITE_P(Names, FolderBlockedByFile, ::testing::Values("blocked/", "blocked"));

TEST_F(ZipTest, UnusableArchivesAndArgumentsReportFailure) {
    const std::wstring out = W(dir_ / "out");
    EXPECT_FALSE(ExtractZipToDir(W(dir_ / "missing.zip"), out));
    EXPECT_FALSE(ExtractZipToDir(W(Write("junk.zip", std::string(4096, 'j'))), out));
    EXPECT_FALSE(ExtractZipToDir(L"", out));
    Archive a;
    a.entries = {FileEntry("a", "a")};
    EXPECT_FALSE(ExtractZipToDir(W(WriteArchive(a)), L""));
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// Names that try to leave the extraction folder. Nothing may appear outside it, and the archive
// as a whole reports failure so the caller does not install it.
class Traversal : public ZipTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Traversal, IsRefusedAndWritesNothingOutside) {
    Archive a;
    a.entries = {FileEntry(GetParam(), "escaped")};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "a" / "b" / "out";
    fs::create_directories(out);
    const auto before = Tree(dir_);

    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_EQ(Tree(dir_), before);
}

INSTANTIATE_TEST_SUITE_P(Names, Traversal,
                         ::testing::Values("../evil.txt", "a/../../evil.txt", "fred\\..\\..\\evil.txt", "..",
                                           "../", "a/.. /evil.txt", "a/.../evil.txt", "C:..\\evil.txt"));

TEST_F(ZipTest, ExtractToPathRefusesRelativePathsThatClimbOut) {
    Archive a;
    a.entries = {FileEntry("a.txt", "content")};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    const fs::path root = dir_ / "root";
    ASSERT_EQ(ZipSetExtractDir(h, W(root).c_str()), kZipSuccess);
    EXPECT_EQ(ZipExtractToPath(h, 0, L"sub/../../x.txt"), kZipArgs);
    EXPECT_FALSE(fs::exists(dir_ / "x.txt"));
    // An absolute path is the caller's explicit choice of place.
    const fs::path chosen = dir_ / "chosen" / "y.txt";
    EXPECT_EQ(ZipExtractToPath(h, 0, W(chosen).c_str()), kZipSuccess);
    EXPECT_EQ(Read(chosen), "content");
    ZipClose(h);
}

// Archives whose item data is damaged in some way. The failure is reported with a result code
// and the target file does not survive: a partial file would later pass for the real one.
struct DamageCase {
    const char* name;
    void (*apply)(Entry&);
    ZipResult expected;
};

class DamagedItem : public ZipTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedItem, FailsAndLeavesNoFile) {
    Entry e = FileEntry("dir/item.bin", MixedData(50000, 3));
    GetParam().apply(e);
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";

    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ZipSetExtractDir(h, W(out).c_str()), kZipSuccess);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(ZipExtractToPath(h, 0, info.name), GetParam().expected);
    EXPECT_EQ(ZipLastResult, GetParam().expected);
    EXPECT_FALSE(fs::exists(out / "dir/item.bin"));
    ZipClose(h);

    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_FALSE(fs::exists(out / "dir/item.bin"));
}

// The same falsification in the central and local records keeps the headers consistent, so
// only the data itself can tell.
INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedItem,
    ::testing::Values(DamageCase{"crcMismatch",
                                 [](Entry& e) {
                                     e.centralCrc = 0x12345678;
                                     e.localCrc = 0x12345678;
                                 },
                                 kZipCorrupt},
                      DamageCase{"storedCrcMismatch",
                                 [](Entry& e) {
                                     e.method = 0;
                                     e.centralCrc = 0x1;
                                     e.localCrc = 0x1;
                                 },
                                 kZipCorrupt},
                      DamageCase{"sizeClaimsMore",
                                 [](Entry& e) {
                                     e.centralSize = 60000;
                                     e.localSize = 60000;
                                 },
                                 kZipCorrupt},
                      DamageCase{"sizeClaimsLess",
                                 [](Entry& e) {
                                     e.centralSize = 20000;
                                     e.localSize = 20000;
                                 },
                                 kZipCorrupt},
                      DamageCase{"storedDataCutShort",
                                 [](Entry& e) {
                                     e.method = 0;
                                     e.centralSize = 60000;
                                     e.localSize = 60000;
                                 },
                                 kZipFlate},
                      DamageCase{"notDeflateData",
                                 [](Entry& e) {
                                     // Stored bytes labelled as deflated: 0xFF... is an invalid block type.
                                     e.data = std::string(100, '\xFF');
                                     e.method = 0;
                                     e.centralMethod = 8;
                                     e.localMethod = 8;
                                 },
                                 kZipFlate}),
    [](const auto& info) { return std::string(info.param.name); });

// A small deflate stream of zeros that would inflate to 4 MiB, declared as 64 KiB: the
// engine must stop writing at the declared size rather than trust the stream, or a few
// kilobytes of archive fill the disk.
TEST_F(ZipTest, ItemInflatingPastItsDeclaredSizeWritesNoMoreThanThatSize) {
    constexpr std::uint32_t kDeclared = 64 * 1024;
    Entry e = FileEntry("bomb.bin", std::string(4 * 1024 * 1024, '\0'));
    e.centralSize = kDeclared;
    e.localSize = kDeclared;
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";

    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ZipSetExtractDir(h, W(out).c_str()), kZipSuccess);
    // Into the caller's own file nothing is removed afterwards, so what was written shows.
    const fs::path kept = dir_ / "kept.bin";
    const zipio::Handle file = zipio::CreateForWrite(W(kept).c_str(), kZipAttrArchive, zipio::kNoMode);
    ASSERT_TRUE(zipio::IsValid(file));
    EXPECT_EQ(ZipExtractToHandle(h, 0, file), kZipCorrupt);
    zipio::Close(file);
    EXPECT_LE(fs::file_size(kept), kDeclared);
    // Extracted by path, the partial file is removed.
    EXPECT_EQ(ZipExtractToPath(h, 0, L"bomb.bin"), kZipCorrupt);
    EXPECT_FALSE(fs::exists(out / "bomb.bin"));
    ZipClose(h);
}

TEST_F(ZipTest, FlippedByteInCompressedDataIsNeverReportedAsSuccess) {
    Entry e = FileEntry("f.bin", MixedData(20000, 4));
    Archive a;
    a.entries = {e};
    const std::string good = ztest::Build(a);
    const std::size_t dataStart = 30 + e.name.size();
    const std::size_t dataLength = ztest::Deflate(e.data).size();
    for (std::size_t i = 0; i < dataLength; i += 97) {
        std::string bad = good;
        bad[dataStart + i] = static_cast<char>(bad[dataStart + i] ^ 0x40);
        ZipHandle* h = OpenMemory(bad);
        ASSERT_NE(h, nullptr);
        std::string out(e.data.size(), '\0');
        const ZipResult r = ZipExtractToMemory(h, 0, &out[0], static_cast<std::uint32_t>(out.size()));
        // Success is only acceptable if the bytes are really right (a flip in unused bits).
        if (r == kZipSuccess) {
            EXPECT_EQ(out, e.data) << "byte " << i;
        }
        ZipClose(h);
    }
}

TEST_F(ZipTest, ReadOnlyItemIsCreatedReadOnlyAndCannotBeReplacedLater) {
    Entry e = FileEntry("locked.txt", "original");
    e.externalAttributes = 0100444u << 16;
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";

    ASSERT_TRUE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_TRUE(ztest::IsReadOnly(W(out / "locked.txt")));
    EXPECT_EQ(Read(out / "locked.txt"), "original");

    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ZipSetExtractDir(h, W(out).c_str());
    EXPECT_EQ(ZipExtractToPath(h, 0, L"locked.txt"), kZipNoFile);
    ZipClose(h);
    // The refused extraction must not remove or damage the file that is there.
    EXPECT_EQ(Read(out / "locked.txt"), "original");
    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out)));
}

TEST_F(ZipTest, ExistingWritableFileIsReplaced) {
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    Write("out/f.txt", "old content that is longer than the new");
    Archive a;
    a.entries = {FileEntry("f.txt", "new")};
    ASSERT_TRUE(ExtractZipToDir(W(WriteArchive(a)), W(out)));
    EXPECT_EQ(Read(out / "f.txt"), "new");
}

struct PasswordCase {
    const char* name;
    const char* password;
    bool dataDescriptor;
    std::uint16_t method;
    ZipResult expected;
};

class Encrypted : public ZipTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(Encrypted, NeedsTheRightPassword) {
    Entry e = FileEntry("secret.txt", MixedData(40000, 5), GetParam().method);
    e.password = "s3cret";
    e.dataDescriptor = GetParam().dataDescriptor;
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";
    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), GetParam().password);
    ASSERT_NE(h, nullptr);
    ZipSetExtractDir(h, W(out).c_str());
    EXPECT_EQ(ZipExtractToPath(h, 0, L"secret.txt"), GetParam().expected);
    if (GetParam().expected == kZipSuccess) {
        EXPECT_EQ(Read(out / "secret.txt"), e.data);
    } else {
        EXPECT_FALSE(fs::exists(out / "secret.txt"));
    }
    // The same through memory.
    std::string piece(e.data.size(), '\0');
    EXPECT_EQ(ZipExtractToMemory(h, 0, &piece[0], static_cast<std::uint32_t>(piece.size())), GetParam().expected);
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Encrypted,
    ::testing::Values(PasswordCase{"right", "s3cret", false, 8, kZipSuccess},
                      PasswordCase{"rightStored", "s3cret", false, 0, kZipSuccess},
                      PasswordCase{"rightWithDescriptor", "s3cret", true, 8, kZipSuccess},
                      PasswordCase{"wrong", "secret", false, 8, kZipPassword},
                      PasswordCase{"wrongWithDescriptor", "Secret", true, 8, kZipPassword},
                      PasswordCase{"missing", nullptr, false, 8, kZipPassword}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ZipTest, EmptyEncryptedItemStillNeedsThePassword) {
    Entry e = FileEntry("empty.txt", "", 0);
    e.password = "s3cret";
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path out = dir_ / "out";
    for (const char* password : {static_cast<const char*>(nullptr), "wrong1", "s3cret"}) {
        ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), password);
        ASSERT_NE(h, nullptr);
        ZipSetExtractDir(h, W(out).c_str());
        const bool right = password && std::string(password) == "s3cret";
        EXPECT_EQ(ZipExtractToPath(h, 0, L"empty.txt"), right ? kZipSuccess : kZipPassword);
        EXPECT_EQ(fs::exists(out / "empty.txt"), right);
        ZipClose(h);
    }
    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out / "other")));
}

// One header in 256 passes the check byte under the keys no password leaves; the check alone
// would then let a missing password through to decrypt garbage.
TEST_F(ZipTest, MissingPasswordIsRefusedEvenWhereTheHeaderWouldPassWithoutOne) {
    Entry e = FileEntry("secret.txt", MixedData(3000, 11));
    Archive a;
    std::string bytes;
    // The last header byte decrypts to itself exactly when both key streams agree there, whatever
    // its value: varying the data (and so the check byte) would never help, varying the password does.
    const std::size_t header = 30 + e.name.size();
    for (int n = 0; n < 4096 && bytes.empty(); ++n) {
        e.password = "s3cret" + std::to_string(n);
        a.entries = {e};
        bytes = ztest::Build(a);
        // The check byte is the top byte of the CRC-32, at 17 in the local header.
        if (ztest::Decrypt("", bytes.substr(header, 12))[11] != bytes[17]) bytes.clear();
    }
    ASSERT_FALSE(bytes.empty());
    const fs::path out = dir_ / "out";
    ZipHandle* h = ZipOpenFromPath(W(Write("lucky.zip", bytes)).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ZipSetExtractDir(h, W(out).c_str());
    EXPECT_EQ(ZipExtractToPath(h, 0, L"secret.txt"), kZipPassword);
    EXPECT_FALSE(fs::exists(out / "secret.txt"));
    char piece[64];
    EXPECT_EQ(ZipExtractToMemory(h, 0, piece, sizeof piece), kZipPassword);
    ZipClose(h);
}

TEST(ExtractToMemory, DeliversPiecesUntilTheLastOne) {
    const std::string data = MixedData(5000, 6);
    Archive a;
    a.entries = {FileEntry("a", "first"), FileEntry("b", data)};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    std::string collected;
    char piece[1536];
    ZipResult r = kZipMore;
    int calls = 0;
    while (r == kZipMore && calls++ < 10) {
        r = ZipExtractToMemory(h, 1, piece, sizeof piece);
        const std::size_t n = std::min(sizeof piece, data.size() - collected.size());
        collected.append(piece, n);
    }
    EXPECT_EQ(r, kZipSuccess);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(collected, data);
    // Asking for another item starts that one from its beginning.
    char first[5];
    EXPECT_EQ(ZipExtractToMemory(h, 0, first, 5), kZipSuccess);
    EXPECT_EQ(std::string(first, 5), "first");
    EXPECT_EQ(ZipExtractToMemory(h, 2, first, 5), kZipArgs);
    EXPECT_EQ(ZipExtractToMemory(h, 0, nullptr, 5), kZipArgs);
    ZipClose(h);
}

TEST(ExtractToMemory, CrcMismatchSurfacesAtTheLastPiece) {
    Entry e = FileEntry("a", MixedData(3000, 7));
    e.centralCrc = 7;
    e.localCrc = 7;
    Archive a;
    a.entries = {e};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    char piece[1024];
    EXPECT_EQ(ZipExtractToMemory(h, 0, piece, sizeof piece), kZipMore);
    EXPECT_EQ(ZipExtractToMemory(h, 0, piece, sizeof piece), kZipMore);
    EXPECT_EQ(ZipExtractToMemory(h, 0, piece, sizeof piece), kZipCorrupt);
    ZipClose(h);
}

TEST_F(ZipTest, ExtractToHandleWritesBytesAndTimesIntoTheCallersFile) {
    Entry e = FileEntry("x.bin", MixedData(70000, 8));
    e.localExtra = ztest::ExtendedTimestamp(1, 1234567890);
    Archive a;
    a.entries = {FolderEntry("folder/"), e};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    const fs::path target = dir_ / "target.bin";
    const zipio::Handle file = zipio::CreateForWrite(W(target).c_str(), 0, zipio::kNoMode);
    ASSERT_TRUE(zipio::IsValid(file));
    EXPECT_EQ(ZipExtractToHandle(h, 0, file), kZipSuccess);  // a folder writes nothing
    EXPECT_EQ(ZipExtractToHandle(h, 1, file), kZipSuccess);
    zipio::Close(file);
    ZipClose(h);
    EXPECT_EQ(Read(target), e.data);
    EXPECT_EQ(ztest::GetFileTimes(W(target)).modification, ztest::FileTimeFromUnix(1234567890));
}

TEST_F(ZipTest, PathsTooLongForTheBuffersAreRefusedNotCut) {
    Archive a;
    a.entries = {FileEntry(std::string(200, 'n') + ".txt", "long name")};
    const fs::path zip = WriteArchive(a);
    // Root plus name exceed 259 characters together.
    const fs::path out = dir_ / std::string(80, 'r');
    ZipHandle* h = ZipOpenFromPath(W(zip).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ZipSetExtractDir(h, W(out).c_str()), kZipSuccess);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(ZipExtractToPath(h, 0, info.name), kZipNoFile);
    // A folder name that leaves no room for any item is refused when it is set.
    EXPECT_EQ(ZipSetExtractDir(h, std::wstring(259, L'd').c_str()), kZipArgs);
    ZipClose(h);
    EXPECT_FALSE(ExtractZipToDir(W(zip), W(out)));
    EXPECT_TRUE(Tree(out).empty());
}

TEST_F(ZipTest, StopsAtTheFirstFailingItem) {
    Entry bad = FileEntry("2-bad.txt", "bad");
    bad.centralCrc = 1;
    bad.localCrc = 1;
    Archive a;
    a.entries = {FileEntry("1-good.txt", "good"), bad, FileEntry("3-after.txt", "after")};
    const fs::path out = dir_ / "out";
    EXPECT_FALSE(ExtractZipToDir(W(WriteArchive(a)), W(out)));
    EXPECT_EQ(Tree(out), std::set<std::string>{"1-good.txt"});
    EXPECT_EQ(ZipLastResult, kZipCorrupt);
}

TEST_F(ZipTest, TruncatedArchivesFailWithoutCrashing) {
    Archive a;
    a.entries = {FileEntry("a/one.txt", MixedData(5000, 10)), FileEntry("two.txt", "second", 0)};
    const std::string whole = ztest::Build(a);
    const fs::path out = dir_ / "out";
    for (std::size_t cut = 0; cut < whole.size(); cut += 37) {
        const fs::path zip = Write("cut.zip", whole.substr(0, cut));
        EXPECT_FALSE(ExtractZipToDir(W(zip), W(out))) << "cut at " << cut;
    }
    // Whatever landed lies inside the folder, and only complete items are there.
    for (const std::string& p : Tree(out)) {
        if (p == "a/one.txt") {
            EXPECT_EQ(Read(out / p), a.entries[0].data);
        } else if (p == "two.txt") {
            EXPECT_EQ(Read(out / p), "second");
        } else {
            EXPECT_EQ(p, "a/");
        }
    }
}

TEST_F(ZipTest, BackslashSeparatedNamesBuildFolders) {
    Archive a;
    a.entries = {FileEntry("win\\style\\name.txt", "w")};
    const fs::path out = dir_ / "out";
    ASSERT_TRUE(ExtractZipToDir(W(WriteArchive(a)), W(out)));
    EXPECT_EQ(Read(out / "win" / "style" / "name.txt"), "w");
}

}  // namespace

#ifndef _WIN32
// POSIX permission bits of extracted files. Items from Unix hosts keep their recorded mode, as
// Info-ZIP unzip does (umask applied, set-id and sticky bits dropped), so a shipped program stays
// runnable; items from other hosts record no mode and get the read-only rule alone. Replacing an
// existing file gives it the recorded mode too, but leaves its mode alone where none is recorded.
struct ModeCase {
    const char* name;
    std::uint16_t host;
    std::uint32_t externalAttributes;
    const char* fresh;     // octal mode under umask 027
    const char* replaced;  // over an existing file of mode 0600
};

static std::string OctalMode(const fs::path& p) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(fs::status(p).permissions()));
    return text;
}

class ItemMode : public ZipTest, public ::testing::WithParamInterface<ModeCase> {};

// Sets the process's umask for one test and puts the old one back.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : before_(::umask(mask)) {}
    ~UmaskScope() { ::umask(before_); }

private:
    mode_t before_;
};

TEST_P(ItemMode, FollowsTheRecordedUnixModeUnderTheUmask) {
    const ModeCase& c = GetParam();
    Entry e = FileEntry("bin/tool", "#!/bin/sh\n");
    e.host = c.host;
    e.externalAttributes = c.externalAttributes;
    Archive a;
    a.entries = {e};
    const fs::path zip = WriteArchive(a);
    const fs::path tool = dir_ / "out/bin/tool";
    const UmaskScope umask(027);

    ASSERT_TRUE(ExtractZipToDir(W(zip), W(dir_ / "out")));
    EXPECT_EQ(OctalMode(tool), c.fresh);

    fs::permissions(tool, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(ExtractZipToDir(W(zip), W(dir_ / "out")));
    EXPECT_EQ(OctalMode(tool), c.replaced);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ItemMode,
    ::testing::Values(ModeCase{"UnixExecutable", ztest::kHostUnix, 0100755u << 16, "750", "750"},
                      ModeCase{"UnixSetUid", ztest::kHostUnix, 0104755u << 16, "750", "750"},
                      ModeCase{"UnixSetGidSticky", ztest::kHostUnix, 0103775u << 16, "750", "750"},
                      ModeCase{"UnixPlain", ztest::kHostUnix, 0100644u << 16, "640", "640"},
                      ModeCase{"DosArchiveBit", ztest::kHostDos, 0x20, "640", "600"},
                      ModeCase{"NtfsArchiveBit", ztest::kHostNtfs, 0x20, "640", "600"}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });
#endif
