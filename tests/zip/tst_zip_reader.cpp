// Reader behaviour: opening (prefix, comment, broken end records), item information (name
// cleaning, attributes, times), lookup by name, handle checks and result texts.
#include <cstring>
#include <thread>

#include "file_io.h"

#include "zip_test_support.h"

using ztest::Archive;
using ztest::Entry;

namespace {

// 2025-01-01 12:00:00, the builder's default DOS time; tests run with TZ=UTC.
constexpr std::uint64_t kDefaultDosTime = ztest::FileTimeFromUnix(1735732800);

struct TextCase {
    ZipResult code;
    const wchar_t* text;
};

class ResultText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ResultText, GivesTheFixedMessageOfEachCode) {
    wchar_t buffer[128];
    const std::uint32_t length = ZipResultText(GetParam().code, buffer, 128);
    EXPECT_STREQ(buffer, GetParam().text);
    EXPECT_EQ(length, std::wcslen(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, ResultText,
    ::testing::Values(TextCase{0x00000000, L"Success"}, TextCase{0x00000100, L"Culdn't duplicate handle"},
                      TextCase{0x00000200, L"Couldn't create/open file"},
                      TextCase{0x00000300, L"Failed to allocate memory"},
                      TextCase{0x00000400, L"Error writing to file"},
                      TextCase{0x00000500, L"File not found in the zipfile"},
                      TextCase{0x00000600, L"Still more data to unzip"},
                      TextCase{0x00000700, L"Zipfile is corrupt or not a zipfile"},
                      TextCase{0x00000800, L"Error reading file"},
                      TextCase{0x00001000, L"Correct password required"},
                      TextCase{0x00010000, L"Caller: faulty arguments"},
                      TextCase{0x00020000, L"Caller: can only get memory of a memory zipfile"},
                      TextCase{0x00030000, L"Caller: not enough space allocated for memory zipfile"},
                      TextCase{0x00040000, L"Caller: there was a previous error"},
                      TextCase{0x00050000, L"Caller: additions to the zip have already been ended"},
                      TextCase{0x00060000, L"Zip-bug: the anticipated size turned out wrong"},
                      TextCase{0x00070000, L"Caller: the file had already been partially unzipped"},
                      TextCase{0x00080000, L"Caller: mixing creation and opening of zip"},
                      TextCase{0x01000000, L"Zip-bug: internal initialisation not completed"},
                      TextCase{0x02000000, L"Zip-bug: trying to seek the unseekable"},
                      TextCase{0x04000000, L"Zip-bug: tried to change mind, but not allowed"},
                      TextCase{0x05000000, L"Zip-bug: an internal error during flation"},
                      TextCase{0x00000002, L"unknown zip result code"},
                      TextCase{0x00000900, L"unknown zip result code"}));

TEST(ResultTextBuffer, IsCutToFitAndStillReportsTheFullLength) {
    wchar_t buffer[5] = {L'x', L'x', L'x', L'x', L'x'};
    EXPECT_EQ(ZipResultText(kZipSuccess, buffer, 5), 7u);
    EXPECT_STREQ(buffer, L"Succ");
    EXPECT_EQ(ZipResultText(kZipSuccess, nullptr, 0), 7u);
    EXPECT_EQ(ZipResultText(kZipSuccess, buffer, 0), 7u);
    EXPECT_EQ(buffer[0], L'S');  // size 0: nothing written
}

TEST_F(ZipTest, FailedOpenLeavesItsReasonInTheLastResult) {
    EXPECT_EQ(ZipOpenFromPath(W(dir_ / "missing.zip").c_str(), nullptr), nullptr);
    EXPECT_EQ(ZipLastResult, kZipNoFile);
    wchar_t buffer[64];
    ZipResultText(kZipUseLastResult, buffer, 64);
    EXPECT_STREQ(buffer, L"Couldn't create/open file");
}

// Archives are extracted on several threads at once: each caller reads the outcome of its own
// last call, whatever other threads did in between.
TEST_F(ZipTest, LastResultIsThatOfTheCallersOwnThread) {
    EXPECT_EQ(ZipOpenFromPath(W(dir_ / "missing.zip").c_str(), nullptr), nullptr);
    ZipResult seenByOther = kZipSuccess;
    std::thread other([&] {
        EXPECT_EQ(ZipGetItemInfo(nullptr, -1, nullptr), kZipArgs);
        seenByOther = ZipLastResult;
    });
    other.join();
    EXPECT_EQ(seenByOther, kZipArgs);
    EXPECT_EQ(ZipLastResult, kZipNoFile);
    wchar_t buffer[64];
    ZipResultText(kZipUseLastResult, buffer, 64);
    EXPECT_STREQ(buffer, L"Couldn't create/open file");
}

TEST(HandleChecks, NullAndForeignHandlesAreRefused) {
    ZipItemInfo info;
    info.index = 77;
    EXPECT_EQ(ZipGetItemInfo(nullptr, -1, &info), kZipArgs);
    EXPECT_EQ(info.index, 0);
    EXPECT_EQ(ZipLastResult, kZipArgs);

    ZipHandle foreign{2, nullptr};
    std::int32_t index = 0;
    EXPECT_EQ(ZipGetItemInfo(&foreign, -1, &info), kZipMixed);
    EXPECT_EQ(ZipFindItem(&foreign, L"a", false, &index, nullptr), kZipMixed);
    EXPECT_EQ(ZipExtractToPath(&foreign, 0, L"a"), kZipMixed);
    char piece[4];
    EXPECT_EQ(ZipExtractToMemory(&foreign, 0, piece, 4), kZipMixed);
    EXPECT_EQ(ZipSetExtractDir(&foreign, L"x"), kZipMixed);
    EXPECT_EQ(ZipClose(&foreign), kZipMixed);
    EXPECT_EQ(ZipClose(nullptr), kZipArgs);
}

TEST(Open, ArchiveOfOnlyAnEndRecordHasNoItems) {
    const std::string bytes = ztest::Build(Archive{});
    ASSERT_EQ(bytes.size(), 22u);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    EXPECT_EQ(ZipGetItemInfo(h, -1, &info), kZipSuccess);
    EXPECT_EQ(info.index, 0);
    EXPECT_EQ(ZipGetItemInfo(h, 0, &info), kZipArgs);
    EXPECT_EQ(ZipClose(h), kZipSuccess);
}

struct FramingCase {
    const char* name;
    std::size_t prefix;
    std::size_t comment;
};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, ArchiveIsFoundBehindPrefixAndBeforeComment) {
    Archive a;
    a.prefix = std::string(GetParam().prefix, 'P');
    a.comment = std::string(GetParam().comment, 'c');
    a.entries = {FileEntry("one.txt", "first item"), FileEntry("dir/two.txt", MixedData(40000, 2))};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 1, &info), kZipSuccess);
    EXPECT_STREQ(info.name, L"dir/two.txt");
    std::string out(info.size, '\0');
    EXPECT_EQ(ZipExtractToMemory(h, 1, &out[0], info.size), kZipSuccess);
    EXPECT_EQ(out, MixedData(40000, 2));
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(Cases, Framing,
                         ::testing::Values(FramingCase{"plain", 0, 0}, FramingCase{"stub1000", 1000, 0},
                                           FramingCase{"comment2000", 0, 2000},
                                           FramingCase{"both", 1000, 2000},
                                           FramingCase{"longComment", 0, 60000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ZipTest, ArchiveStartsAtTheHandlesPositionInsideALargerFile) {
    // The handle stands on the archive; what lies before it belongs to someone else.
    Archive a;
    a.entries = {FileEntry("a.txt", "payload")};
    const fs::path p = Write("embedded.bin", std::string(777, 'j') + ztest::Build(a));
    const zipio::Handle file = zipio::OpenForRead(W(p).c_str());
    ASSERT_TRUE(zipio::IsValid(file));
    ASSERT_EQ(zipio::Seek(file, 777, zipio::SeekFrom::Begin), 777);
    ZipHandle* h = ZipOpenFromHandle(file, nullptr);
    ASSERT_NE(h, nullptr);
    // Moving the caller's handle in between does not disturb the reader.
    zipio::Seek(file, 3, zipio::SeekFrom::Begin);
    char out[7];
    EXPECT_EQ(ZipExtractToMemory(h, 0, out, 7), kZipSuccess);
    EXPECT_EQ(std::string(out, 7), "payload");
    EXPECT_EQ(ZipClose(h), kZipSuccess);
    // The reader never closes a caller's handle.
    EXPECT_EQ(zipio::Seek(file, 0, zipio::SeekFrom::Begin), 0);
    zipio::Close(file);
}

struct BrokenEndCase {
    const char* name;
    void (*apply)(Archive&);
};

class BrokenEndRecord : public ::testing::TestWithParam<BrokenEndCase> {};

TEST_P(BrokenEndRecord, IsRefusedAtOpen) {
    Archive a;
    a.entries = {FileEntry("a.txt", "abc")};
    GetParam().apply(a);
    const std::string bytes = ztest::Build(a);
    EXPECT_EQ(OpenMemory(bytes), nullptr);
    EXPECT_EQ(ZipLastResult, kZipNoFile);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenEndRecord,
    ::testing::Values(BrokenEndCase{"otherDisk", [](Archive& a) { a.diskNumber = 1; }},
                      BrokenEndCase{"countsDiffer", [](Archive& a) { a.itemsOnDisk = 2; }},
                      BrokenEndCase{"directoryPastRecord", [](Archive& a) { a.centralDirSize = 5000; }},
                      BrokenEndCase{"offsetPastRecord", [](Archive& a) { a.centralDirOffset = 0xFFFFFF00u; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Zip64 end records in front of the end record: zip writes them when it reads from a pipe into a
// file. They are part of the archive, not a prefix; but an archive that really needs their
// 64-bit values, or whose locator points at no Zip64 end record, is refused when opened.
struct Zip64EndCase {
    const char* name;
    void (*apply)(Archive&);
    ZipResult open;     // kZipSuccess or the refusal
    ZipResult item;     // item 0's information, then its data into memory, when the archive opens
};

void PrintTo(const Zip64EndCase& c, std::ostream* out) { *out << c.name; }

class Zip64EndRecords : public ZipTest, public ::testing::WithParamInterface<Zip64EndCase> {};

TEST_P(Zip64EndRecords, AreReadAsPartOfTheArchive) {
    const Zip64EndCase& c = GetParam();
    Archive a;
    a.entries = {FileEntry("a.txt", "first item"), FileEntry("b.txt", MixedData(3000, 4))};
    c.apply(a);
    const std::string bytes = ztest::Build(a);
    // Once from memory, once from a file whose handle stands on the archive behind foreign bytes.
    const fs::path p = Write("embedded.bin", std::string(333, 'j') + bytes);
    const zipio::Handle file = zipio::OpenForRead(W(p).c_str());
    ASSERT_TRUE(zipio::IsValid(file));
    ASSERT_EQ(zipio::Seek(file, 333, zipio::SeekFrom::Begin), 333);
    for (const bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "from a file handle" : "from memory");
        ZipHandle* h = fromFile ? ZipOpenFromHandle(file, nullptr) : OpenMemory(bytes);
        EXPECT_EQ(ZipLastResult, c.open);
        if (c.open != kZipSuccess) {
            EXPECT_EQ(h, nullptr);
            if (h) ZipClose(h);
            continue;
        }
        ASSERT_NE(h, nullptr);
        ZipItemInfo info;
        ASSERT_EQ(ZipGetItemInfo(h, -1, &info), kZipSuccess);
        EXPECT_EQ(info.index, 2);
        char out[64] = {};
        ZipResult item = ZipGetItemInfo(h, 0, &info);
        if (item == kZipSuccess) item = ZipExtractToMemory(h, 0, out, sizeof out);
        EXPECT_EQ(item, c.item);
        if (item == kZipSuccess) {
            EXPECT_STREQ(info.name, L"a.txt");
            EXPECT_EQ(std::string(out), "first item");
            std::string second(3000, '\0');
            EXPECT_EQ(ZipExtractToMemory(h, 1, &second[0], 3000), kZipSuccess);
            EXPECT_EQ(second, MixedData(3000, 4));
        }
        EXPECT_EQ(ZipClose(h), kZipSuccess);
    }
    zipio::Close(file);
}

// The first item's sizes as a writer marks them when they need 64 bits: 0xFFFFFFFF in the central
// record and the real values in a Zip64 extra field (tag 1).
void SizesInZip64Extra(Archive& a) {
    a.zip64End = true;
    Entry& e = a.entries[0];
    e.dataDescriptor = true;
    e.centralSize = e.centralCompressedSize = 0xFFFFFFFFu;
    e.centralExtra = ztest::U16(1) + ztest::U16(16) + ztest::U64(10) + ztest::U64(12);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Zip64EndRecords,
    ::testing::Values(
        Zip64EndCase{"none", [](Archive&) {}, kZipSuccess, kZipSuccess},
        Zip64EndCase{"records", [](Archive& a) { a.zip64End = true; }, kZipSuccess, kZipSuccess},
        Zip64EndCase{"recordsAndComment",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.comment = "streamed";
                     },
                     kZipSuccess, kZipSuccess},
        Zip64EndCase{"recordsBehindPrefix",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.prefix = std::string(1000, 'P');
                     },
                     kZipSuccess, kZipSuccess},
        Zip64EndCase{"sizesInLocalZip64Extra",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.entries[0].localZip64Sizes = true;
                         a.entries[1].localZip64Sizes = true;
                         a.entries[1].localExtra = ztest::ExtendedTimestamp(1, 0);
                     },
                     kZipSuccess, kZipSuccess},
        Zip64EndCase{"localZip64SizesDisagree",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.entries[0].localZip64Sizes = true;
                         a.entries[0].localSize = 11;
                     },
                     kZipSuccess, kZipCorrupt},
        Zip64EndCase{"prefixWithoutRecords", [](Archive& a) { a.prefix = std::string(76, 'P'); }, kZipSuccess,
                     kZipSuccess},
        Zip64EndCase{"locatorPointsPastTheFile",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.zip64EndOffset = 0xFFFFFFFFFFFF0000ull;
                     },
                     kZipNoFile, kZipSuccess},
        Zip64EndCase{"locatorPointsAtTheFirstItem",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.zip64EndOffset = 0;
                     },
                     kZipNoFile, kZipSuccess},
        Zip64EndCase{"moreThan65535Items",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.itemsOnDisk = a.itemsTotal = 0xFFFF;
                         a.zip64Items = 70000;
                     },
                     kZipNoFile, kZipSuccess},
        Zip64EndCase{"directoryBeyond4GiB",
                     [](Archive& a) {
                         a.zip64End = true;
                         a.centralDirOffset = 0xFFFFFFFFu;
                         a.zip64CentralDirOffset = 0x100000000ull;
                     },
                     kZipNoFile, kZipSuccess},
        Zip64EndCase{"itemSizesIn64Bits", SizesInZip64Extra, kZipSuccess, kZipFlate}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Open, BytesWithoutEndRecordAreNotAnArchive) {
    for (const std::string& bytes : {std::string(), std::string("PK"), std::string(5000, 'x'),
                                     std::string("PK\x05\x06", 4)}) {
        EXPECT_EQ(OpenMemory(bytes), nullptr) << bytes.size();
        EXPECT_EQ(ZipLastResult, kZipNoFile);
    }
}

struct NameCase {
    const char* stored;
    const wchar_t* cleaned;
};

class NameCleaning : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameCleaning, DropsDrivesLeadingSeparatorsAndParentRuns) {
    Archive a;
    a.entries = {FileEntry(GetParam().stored, "x")};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_STREQ(info.name, GetParam().cleaned);
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameCleaning,
    ::testing::Values(NameCase{"C:\\win\\a.txt", L"win\\a.txt"}, NameCase{"\\\\server\\share\\f", L"server\\share\\f"},
                      NameCase{"/etc/x", L"etc/x"}, NameCase{"a/../b", L"b"}, NameCase{"a/../../b", L"../b"},
                      NameCase{"fred\\..\\..\\x", L"..\\x"}, NameCase{"x:/y:/z", L"z"},
                      NameCase{"a\\../b/..\\c", L"c"},
                      NameCase{"x/../../../evil.txt", L"evil.txt"}, NameCase{"ok/..\\..\\evil.txt", L"evil.txt"}, NameCase{"plain/name.txt", L"plain/name.txt"},
                      NameCase{"\xE6\x9B\xB4\xE6\x96\xB0/\xE8\xAF\xB4\xE6\x98\x8E.txt", L"\u66F4\u65B0/\u8BF4\u660E.txt"},
                      NameCase{"bad\xFF.txt", L"bad\uFFFD.txt"}));

struct AttributeCase {
    const char* name;
    std::uint16_t host;
    std::uint32_t external;
    std::uint32_t expected;
};

class Attributes : public ::testing::TestWithParam<AttributeCase> {};

TEST_P(Attributes, FollowTheHostsConvention) {
    Entry e = FileEntry("f", "");
    e.host = GetParam().host;
    e.externalAttributes = GetParam().external;
    Archive a;
    a.entries = {e};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(info.attributes, GetParam().expected);
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Attributes,
    ::testing::Values(AttributeCase{"unixFile", 3, 0100644u << 16, 0x20},
                      AttributeCase{"unixFolder", 3, 040755u << 16, 0x30},
                      AttributeCase{"unixReadOnly", 3, 0100444u << 16, 0x21},
                      AttributeCase{"dosFolder", 0, 0x10, 0x10}, AttributeCase{"dosAllBits", 0, 0x37, 0x37},
                      AttributeCase{"ntfsReadOnlyArchive", 11, 0x21, 0x21},
                      AttributeCase{"vfatHiddenSystem", 14, 0x06, 0x06},
                      AttributeCase{"macintoshIsDosLike", 7, 0x01, 0x01},
                      AttributeCase{"unixIgnoresDosHalf", 3, (0100644u << 16) | 0x01, 0x20}),
    [](const auto& info) { return std::string(info.param.name); });

struct TimeCase {
    const char* name;
    std::uint16_t dosDate, dosTime;
    std::string localExtra;
    std::uint64_t modification, access, creation;
};

class ItemTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ItemTimes, ComeFromDosTimeAndExtendedTimestamps) {
    Entry e = FileEntry("t", "data");
    e.dosDate = GetParam().dosDate;
    e.dosTime = GetParam().dosTime;
    e.localExtra = GetParam().localExtra;
    Archive a;
    a.entries = {e};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(info.modificationTime, GetParam().modification);
    EXPECT_EQ(info.accessTime, GetParam().access);
    EXPECT_EQ(info.creationTime, GetParam().creation);
    ZipClose(h);
}

using ztest::ExtendedTimestamp;
using ztest::FileTimeFromUnix;
constexpr std::uint64_t kEarliestDos = FileTimeFromUnix(315532800);  // 1980-01-01 00:00:00

INSTANTIATE_TEST_SUITE_P(
    Cases, ItemTimes,
    ::testing::Values(
        TimeCase{"dosOnly", 0x5A21, 0x6000, "", kDefaultDosTime, kDefaultDosTime, kDefaultDosTime},
        TimeCase{"dosOddSecondsDoubled", 0x5A21, 0x6011, "", kDefaultDosTime + 34 * 10000000ULL,
                 kDefaultDosTime + 34 * 10000000ULL, kDefaultDosTime + 34 * 10000000ULL},
        TimeCase{"modificationOnly", 0x5A21, 0x6000, ExtendedTimestamp(1, 1000000000), FileTimeFromUnix(1000000000),
                 kDefaultDosTime, kDefaultDosTime},
        TimeCase{"allThree", 0x5A21, 0x6000, ExtendedTimestamp(7, 100, 200, 300), FileTimeFromUnix(100),
                 FileTimeFromUnix(200), FileTimeFromUnix(300)},
        TimeCase{"accessAndCreation", 0x5A21, 0x6000, ExtendedTimestamp(6, 0, 200, 300), kDefaultDosTime,
                 FileTimeFromUnix(200), FileTimeFromUnix(300)},
        TimeCase{"unixEpoch", 0x5A21, 0x6000, ExtendedTimestamp(1, 0), 116444736000000000ULL, kDefaultDosTime,
                 kDefaultDosTime},
        TimeCase{"negativeUnixTime", 0x5A21, 0x6000, ExtendedTimestamp(1, -86400), FileTimeFromUnix(-86400),
                 kDefaultDosTime, kDefaultDosTime},
        TimeCase{"afterAnotherBlock", 0x5A21, 0x6000,
                 std::string("\x0a\x00\x04\x00wxyz", 8) + ExtendedTimestamp(1, 5000), FileTimeFromUnix(5000),
                 kDefaultDosTime, kDefaultDosTime},
        // The flags promise three times but the block holds one: only that one is taken.
        TimeCase{"timesCutOffByBlockSize", 0x5A21, 0x6000,
                 std::string("UT\x05\x00\x07", 5) + ztest::U32(4000) + ztest::U32(8000), FileTimeFromUnix(4000),
                 kDefaultDosTime, kDefaultDosTime},
        TimeCase{"timeCutOffByFieldEnd", 0x5A21, 0x6000, std::string("UT\x09\x00\x01\x01\x02", 7), kDefaultDosTime,
                 kDefaultDosTime, kDefaultDosTime},
        TimeCase{"zeroDosValue", 0, 0, "", kEarliestDos, kEarliestDos, kEarliestDos},
        TimeCase{"month13", static_cast<std::uint16_t>((45 << 9) | (13 << 5) | 1), 0, "", kEarliestDos, kEarliestDos,
                 kEarliestDos},
        TimeCase{"february30", static_cast<std::uint16_t>((45 << 9) | (2 << 5) | 30), 0, "", kEarliestDos,
                 kEarliestDos, kEarliestDos},
        TimeCase{"hour25", 0x5A21, static_cast<std::uint16_t>(25 << 11), "", kEarliestDos, kEarliestDos,
                 kEarliestDos},
        TimeCase{"leapDay2024", static_cast<std::uint16_t>((44 << 9) | (2 << 5) | 29), 0, "",
                 FileTimeFromUnix(1709164800), FileTimeFromUnix(1709164800), FileTimeFromUnix(1709164800)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ItemInfo, SummaryCountsItemsAndIndexesAreChecked) {
    Archive a;
    for (int i = 0; i < 5; ++i) a.entries.push_back(FileEntry("f" + std::to_string(i), std::string(i, 'z')));
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, -1, &info), kZipSuccess);
    EXPECT_EQ(info.index, 5);
    EXPECT_EQ(ZipGetItemInfo(h, 5, &info), kZipArgs);
    EXPECT_EQ(ZipGetItemInfo(h, -2, &info), kZipArgs);
    // Walking backwards restarts at the first record and still lands on the right item.
    for (int i = 4; i >= 0; --i) {
        ASSERT_EQ(ZipGetItemInfo(h, i, &info), kZipSuccess);
        EXPECT_EQ(info.index, i);
        EXPECT_EQ(info.size, static_cast<std::uint32_t>(i));
        EXPECT_EQ(info.name, L"f" + std::to_wstring(i));
    }
    ZipClose(h);
}

struct LocalMismatchCase {
    const char* name;
    void (*apply)(Entry&);
};

class LocalHeaderMismatch : public ::testing::TestWithParam<LocalMismatchCase> {};

TEST_P(LocalHeaderMismatch, MakesTheItemCorrupt) {
    Entry e = FileEntry("item.txt", "contents of the item");
    GetParam().apply(e);
    Archive a;
    a.entries = {e, FileEntry("fine.txt", "ok")};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    EXPECT_EQ(ZipGetItemInfo(h, 0, &info), kZipCorrupt);
    // The reader stays usable for the other items.
    EXPECT_EQ(ZipGetItemInfo(h, 1, &info), kZipSuccess);
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalHeaderMismatch,
    ::testing::Values(LocalMismatchCase{"method", [](Entry& e) { e.localMethod = 0; }},
                      LocalMismatchCase{"unsupportedMethod", [](Entry& e) {
                          e.localMethod = 12;
                          e.centralMethod = 12;
                      }},
                      LocalMismatchCase{"crc", [](Entry& e) { e.localCrc = 1; }},
                      LocalMismatchCase{"size", [](Entry& e) { e.localSize = 3; }},
                      LocalMismatchCase{"nameLength", [](Entry& e) { e.localName = "item.tx"; }},
                      LocalMismatchCase{"offsetPointsElsewhere", [](Entry& e) { e.localHeaderOffset = 3; }},
                      LocalMismatchCase{"offsetPastEnd", [](Entry& e) { e.localHeaderOffset = 0x7FFFFFF0; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Damage that leaves the second of two central records unreadable, given where both start.
struct CentralDamageCase {
    const char* name;
    void (*apply)(std::string& bytes, std::size_t first, std::size_t second);
};

class BrokenCentralRecord : public ZipTest, public ::testing::WithParamInterface<CentralDamageCase> {};

// Every way to an item behind a record that cannot be read says the archive is corrupt; the
// items before it stay readable.
TEST_P(BrokenCentralRecord, MakesTheItemCorrupt) {
    Archive a;
    a.entries = {FileEntry("first.txt", "one"), FileEntry("second.txt", "two")};
    std::string bytes = ztest::Build(a);
    const std::string signature("PK\x01\x02", 4);
    const std::size_t first = bytes.find(signature);
    const std::size_t second = bytes.find(signature, first + 4);
    ASSERT_NE(second, std::string::npos);
    GetParam().apply(bytes, first, second);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    EXPECT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(ZipGetItemInfo(h, 1, &info), kZipCorrupt);
    char piece[8];
    EXPECT_EQ(ZipExtractToMemory(h, 1, piece, sizeof piece), kZipCorrupt);
    ASSERT_EQ(ZipSetExtractDir(h, W(dir_).c_str()), kZipSuccess);
    EXPECT_EQ(ZipExtractToPath(h, 1, L"second.txt"), kZipCorrupt);
    EXPECT_FALSE(fs::exists(dir_ / "second.txt"));
    ZipClose(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenCentralRecord,
    ::testing::Values(CentralDamageCase{"signature",
                                        [](std::string& b, std::size_t, std::size_t second) { b[second] = 'X'; }},
                      // The name would run past the end of the archive.
                      CentralDamageCase{"nameLength",
                                        [](std::string& b, std::size_t, std::size_t second) {
                                            b[second + 28] = b[second + 29] = '\xFF';
                                        }},
                      // A wrong length in the record before leads the walk into the middle of this one.
                      CentralDamageCase{"earlierCommentLength",
                                        [](std::string& b, std::size_t first, std::size_t) { b[first + 32] = 7; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ItemInfo, DataDescriptorItemsAreNotComparedWithTheirZeroedLocalFields) {
    Entry e = FileEntry("streamed.txt", MixedData(30000, 9));
    e.dataDescriptor = true;
    Archive a;
    a.entries = {e};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    std::string out(info.size, '\0');
    EXPECT_EQ(ZipExtractToMemory(h, 0, &out[0], info.size), kZipSuccess);
    EXPECT_EQ(out, e.data);
    ZipClose(h);
}

TEST(ItemInfo, NameTooLongForTheBufferIsRefusedNotCut) {
    Archive a;
    a.entries = {FileEntry(std::string(259, 'n'), "fits"), FileEntry(std::string(260, 'n'), "too long"),
                 // 100 Chinese characters: 300 bytes stored, but only 100 wide characters.
                 FileEntry([] {
                     std::string s;
                     for (int i = 0; i < 100; ++i) s += "\xE6\x96\x87";
                     return s;
                 }(), "fits too")};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    EXPECT_EQ(ZipGetItemInfo(h, 0, &info), kZipSuccess);
    EXPECT_EQ(std::wcslen(info.name), 259u);
    EXPECT_EQ(ZipGetItemInfo(h, 1, &info), kZipCorrupt);
    EXPECT_EQ(ZipGetItemInfo(h, 2, &info), kZipSuccess);
    EXPECT_EQ(std::wcslen(info.name), 100u);
    ZipClose(h);
}

TEST(ItemInfo, NameWithAnEmbeddedNulIsRefused) {
    Archive a;
    a.entries = {FileEntry(std::string("good.txt\0.exe", 13), "x")};
    const std::string bytes = ztest::Build(a);
    ZipHandle* h = OpenMemory(bytes);
    ASSERT_NE(h, nullptr);
    ZipItemInfo info;
    EXPECT_EQ(ZipGetItemInfo(h, 0, &info), kZipCorrupt);
    ZipClose(h);
}

class FindItem : public ::testing::Test {
protected:
    void SetUp() override {
        Archive a;
        a.entries = {FileEntry("Readme.TXT", "r"), FileEntry("bin/update.exe", "u"),
                     FileEntry("\xE8\xAF\xB4\xE6\x98\x8E.txt", "s")};
        bytes_ = ztest::Build(a);
        h_ = OpenMemory(bytes_);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override { ZipClose(h_); }
    std::string bytes_;
    ZipHandle* h_ = nullptr;
};

TEST_F(FindItem, MatchesStoredNamesExactlyOrIgnoringAsciiCase) {
    std::int32_t index = -5;
    ZipItemInfo info;
    EXPECT_EQ(ZipFindItem(h_, L"bin/update.exe", false, &index, &info), kZipSuccess);
    EXPECT_EQ(index, 1);
    EXPECT_STREQ(info.name, L"bin/update.exe");
    EXPECT_EQ(ZipFindItem(h_, L"readme.txt", false, &index, nullptr), kZipNotFound);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(ZipFindItem(h_, L"readme.txt", true, &index, nullptr), kZipSuccess);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(ZipFindItem(h_, L"\u8BF4\u660E.txt", false, &index, nullptr), kZipSuccess);
    EXPECT_EQ(index, 2);
    // A prefix of a stored name is not that name.
    EXPECT_EQ(ZipFindItem(h_, L"bin/update", false, &index, nullptr), kZipNotFound);
}

TEST_F(FindItem, MissLeavesZeroedInfoAndTheCursorUsable) {
    ZipItemInfo info;
    ASSERT_EQ(ZipGetItemInfo(h_, 2, &info), kZipSuccess);
    std::int32_t index = 0;
    EXPECT_EQ(ZipFindItem(h_, L"nope", false, &index, &info), kZipNotFound);
    EXPECT_EQ(info.index, -1);
    EXPECT_EQ(info.name[0], L'\0');
    EXPECT_EQ(ZipFindItem(h_, std::wstring(300, L'a').c_str(), false, &index, nullptr), kZipNotFound);
    char out[1];
    EXPECT_EQ(ZipExtractToMemory(h_, 1, out, 1), kZipSuccess);
    EXPECT_EQ(out[0], 'u');
}

}  // namespace
