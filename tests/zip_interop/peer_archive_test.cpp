// Archives written by tools nobody here wrote (Info-ZIP zip, Python's zipfile, bsdtar, 7-Zip) must
// come out of our engine exactly as Info-ZIP unzip extracts them: same paths, bytes, times, modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "interop_support.h"
#include "scratch_dir.h"
#include "zip_archive.h"

namespace {

using interop::fs::path;
using ztest::ScratchDir;
using interop::Shell;
using interop::ShellOutput;
using interop::ShellQuote;
using interop::TakeSnapshot;
using interop::ToUtf8;
using interop::Wide;

struct ZipCloser {
    void operator()(ZipHandle* handle) const { ZipClose(handle); }
};
using OpenArchive = std::unique_ptr<ZipHandle, ZipCloser>;

std::string Hex(ZipResult code) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(8) << std::setfill('0') << code;
    return out.str();
}

bool IsFolderName(const std::wstring& name) { return !name.empty() && name.back() == L'/'; }

// An archive writer run in the folder holding the sample tree's "tree" folder.
struct Maker {
    const char* name;
    const char* tool;     // program that must be installed
    const char* command;  // {out}: the archive to write
    const char* password = nullptr;  // set: the files are encrypted under it
    bool streamed = false;           // the files carry data descriptors
    // The maker turns times into DOS times with today's UTC offset, as Windows does, so files
    // from the other side of a daylight-saving change come out an hour off their source.
    bool dosTimesAtTodaysOffset = false;
};

void PrintTo(const Maker& maker, std::ostream* out) { *out << maker.name; }

// Makers that write an extended-timestamp ("UT") block run 8 hours east of the tests' zone
// (TZ=JST-9): their DOS times are then hours off for the reader, and only the block's UTC times
// restore the right ones. The others write DOS times alone and run in the tests' zone.
const Maker kMakers[] = {
    {"InfoZipDeflate", "zip", "TZ=JST-9 zip -q -r {out} tree"},
    {"InfoZipStored", "zip", "TZ=JST-9 zip -q -r -0 {out} tree"},
    {"InfoZipDosTimesOnly", "zip", "zip -q -r -X {out} tree"},
    // Writing into a pipe keeps zip from seeking back, so sizes and CRC follow the data.
    {"InfoZipStreamed", "zip", "TZ=JST-9 zip -q -r - tree | cat > {out}", nullptr, true},
    {"InfoZipEncrypted", "zip", "TZ=JST-9 zip -q -r -P secret {out} tree", "secret", true},
    {"PythonZipfile", "python3", "python3 {script} tree {out}"},
    {"Bsdtar", "bsdtar", "TZ=JST-9 bsdtar -a -cf {out} tree", nullptr, true},
    {"BsdtarStored", "bsdtar", "TZ=JST-9 bsdtar --format zip --options zip:compression=store -cf {out} tree"},
    {"SevenZip", "7z", "7z a -tzip -bd -bso0 -bsp0 {out} tree", nullptr, false, true},
    {"SevenZipStored", "7z", "7z a -tzip -mx=0 -bd -bso0 -bsp0 {out} tree", nullptr, false, true},
};

std::string Expand(std::string command, const path& archive) {
    const std::pair<std::string, std::string> fields[] = {
        {"{out}", ShellQuote(archive.string())},
        {"{script}", ShellQuote(INTEROP_PYTHON_MAKER)},
    };
    for (const auto& [key, value] : fields) {
        for (auto at = command.find(key); at != std::string::npos; at = command.find(key, at + value.size())) {
            command.replace(at, key.size(), value);
        }
    }
    return command;
}

std::string PasswordOption(const char* password) {
    return password ? "-P " + ShellQuote(password) + " " : "";
}

// The values of one field over all items of `unzip -Zv` ("extended local header", ...).
std::vector<std::string> ZipinfoValues(const std::string& verbose, const std::string& field) {
    std::vector<std::string> values;
    std::istringstream lines(verbose);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(field + ":");
        if (at == std::string::npos || line.find_first_not_of(' ') != at) continue;
        std::string value = line.substr(at + field.size() + 1);
        value.erase(0, value.find_first_not_of(' '));
        values.push_back(value);
    }
    return values;
}

// One item line of `unzip -Zl`: mode, version, host, size, type, compressed size, method, date,
// time, name.
struct Listed {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t compressedSize = 0;
};

std::vector<Listed> ParseZipinfoListing(const std::string& text) {
    std::vector<Listed> items;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, version, host, type, method, date, time;
        Listed item;
        if (!(fields >> mode >> version >> host >> item.size >> type >> item.compressedSize >> method >> date >>
              time) ||
            mode.size() != 10) {
            continue;
        }
        std::getline(fields, item.name);
        item.name.erase(0, item.name.find_first_not_of(' '));
        items.push_back(item);
    }
    return items;
}

// Every item written through the handle API, as an installer holding the password does it.
::testing::AssertionResult ExtractWithPassword(const path& archive, const path& dest, const char* password) {
    OpenArchive zip(ZipOpenFromPath(Wide(archive).c_str(), password));
    if (!zip) return ::testing::AssertionFailure() << "open failed with " << Hex(ZipLastResult);
    if (ZipSetExtractDir(zip.get(), Wide(dest).c_str()) != kZipSuccess) {
        return ::testing::AssertionFailure() << "extract folder refused";
    }
    ZipItemInfo summary{};
    if (ZipGetItemInfo(zip.get(), -1, &summary) != kZipSuccess) {
        return ::testing::AssertionFailure() << "no summary";
    }
    for (std::int32_t i = 0; i < summary.index; ++i) {
        ZipItemInfo info{};
        if (ZipGetItemInfo(zip.get(), i, &info) != kZipSuccess) {
            return ::testing::AssertionFailure() << "no info for item " << i;
        }
        const ZipResult result = ZipExtractToPath(zip.get(), i, info.name);
        if (result != kZipSuccess) {
            return ::testing::AssertionFailure() << ToUtf8(info.name) << " failed with " << Hex(result);
        }
    }
    return ::testing::AssertionSuccess();
}

// Item index in pieces of `piece` bytes: kZipMore must come with a full piece, kZipSuccess with
// the rest of the item's size; the item must end within the calls its size allows.
::testing::AssertionResult ReadInPieces(ZipHandle* zip, std::int32_t index, std::uint32_t size,
                                        std::uint32_t piece, std::string* out) {
    out->clear();
    std::vector<char> buffer(piece);
    std::uint32_t remaining = size;
    for (std::uint32_t call = 0; call <= size / piece + 1; ++call) {
        const ZipResult result = ZipExtractToMemory(zip, index, buffer.data(), piece);
        if (result == kZipMore) {
            if (remaining < piece) {
                return ::testing::AssertionFailure() << "kZipMore with only " << remaining << " bytes left";
            }
            out->append(buffer.data(), piece);
            remaining -= piece;
        } else if (result == kZipSuccess) {
            if (remaining > piece) {
                return ::testing::AssertionFailure() << "ended with " << remaining << " bytes undelivered";
            }
            out->append(buffer.data(), remaining);
            return ::testing::AssertionSuccess();
        } else {
            return ::testing::AssertionFailure() << "piece " << call << " failed with " << Hex(result);
        }
    }
    return ::testing::AssertionFailure() << "still kZipMore after every byte of the item's size";
}

// Builds the sample tree and has the maker archive it; skips when a tool is missing.
class PeerArchive : public ::testing::TestWithParam<Maker> {
protected:
    void SetUp() override {
        const Maker& maker = GetParam();
        if (!interop::HaveTool("unzip")) GTEST_SKIP() << "Info-ZIP unzip is not installed: no reference";
        if (!interop::HaveTool(maker.tool)) GTEST_SKIP() << maker.tool << " is not installed";
        source_ = scratch_.path() / "source";
        archive_ = scratch_.path() / "peer.zip";
        interop::WriteSampleTree(source_);
        ASSERT_TRUE(Shell(source_, Expand(maker.command, archive_))) << maker.command;
    }

    ScratchDir scratch_;
    path source_;
    path archive_;
};

TEST_P(PeerArchive, ExtractsTheTreeAsUnzipDoes) {
    const Maker& maker = GetParam();
    const path reference = scratch_.path() / "unzip";
    const path ours = scratch_.path() / "ours";
    ASSERT_TRUE(Shell(scratch_.path(), "unzip -o -q " + PasswordOption(maker.password) + ShellQuote(archive_.string()) +
                                         " -d " + ShellQuote(reference.string())));
    const interop::Snapshot expected = TakeSnapshot(reference);
    interop::ExpectReproducesSource(expected, TakeSnapshot(source_), maker.dosTimesAtTodaysOffset ? 3600 : 0);

    if (maker.password) {
        ASSERT_TRUE(ExtractWithPassword(archive_, ours, maker.password));
    } else {
        ASSERT_TRUE(ExtractZipToDir(Wide(archive_), Wide(ours)));
    }
    interop::ExpectSameTree(TakeSnapshot(ours), expected);
}

TEST_P(PeerArchive, ListsAndDeliversItemsAsUnzipDoes) {
    const Maker& maker = GetParam();
    const std::string quoted = ShellQuote(archive_.string());
    std::string listing, verbose;
    ASSERT_TRUE(ShellOutput(scratch_.path(), "unzip -Zl " + quoted, &listing));
    ASSERT_TRUE(ShellOutput(scratch_.path(), "unzip -Zv " + quoted, &verbose));
    const std::vector<Listed> listed = ParseZipinfoListing(listing);
    // One item per file and folder of the sample tree.
    ASSERT_EQ(listed.size(), TakeSnapshot(source_).size()) << listing;
    if (maker.streamed) {
        const auto descriptors = ZipinfoValues(verbose, "extended local header");
        ASSERT_GT(std::count(descriptors.begin(), descriptors.end(), "yes"), 0) << "the maker wrote no data descriptor";
    }
    if (maker.password) {
        const auto security = ZipinfoValues(verbose, "file security status");
        ASSERT_GT(std::count(security.begin(), security.end(), "encrypted"), 0) << "the maker encrypted nothing";
    }

    OpenArchive zip(ZipOpenFromPath(Wide(archive_).c_str(), maker.password));
    ASSERT_TRUE(zip) << Hex(ZipLastResult);
    ZipItemInfo summary{};
    ASSERT_EQ(ZipGetItemInfo(zip.get(), -1, &summary), kZipSuccess);
    ASSERT_EQ(summary.index, static_cast<std::int32_t>(listed.size()));

    for (std::int32_t i = 0; i < summary.index; ++i) {
        const Listed& item = listed[static_cast<std::size_t>(i)];
        SCOPED_TRACE(item.name);
        ZipItemInfo info{};
        ASSERT_EQ(ZipGetItemInfo(zip.get(), i, &info), kZipSuccess);
        EXPECT_EQ(info.index, i);
        EXPECT_EQ(ToUtf8(info.name), item.name);
        EXPECT_EQ(info.size, item.size);
        EXPECT_EQ(info.compressedSize, item.compressedSize);

        std::int32_t found = -1;
        EXPECT_EQ(ZipFindItem(zip.get(), info.name, false, &found, nullptr), kZipSuccess);
        EXPECT_EQ(found, i);
        std::wstring upper = info.name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](wchar_t c) { return c < 0x80 ? static_cast<wchar_t>(std::towupper(c)) : c; });
        found = -1;
        EXPECT_EQ(ZipFindItem(zip.get(), upper.c_str(), true, &found, nullptr), kZipSuccess);
        EXPECT_EQ(found, i);

        if (IsFolderName(info.name)) continue;
        std::string expected, ours;
        ASSERT_TRUE(ShellOutput(scratch_.path(),
                            "unzip -p " + PasswordOption(maker.password) + quoted + " " + ShellQuote(item.name),
                            &expected));
        ASSERT_EQ(expected.size(), item.size);
        // An odd piece size, so that pieces straddle the engine's own buffer boundaries.
        ASSERT_TRUE(ReadInPieces(zip.get(), i, info.size, 4093, &ours));
        EXPECT_TRUE(ours == expected) << "content differs from unzip -p";
    }
}

INSTANTIATE_TEST_SUITE_P(Makers, PeerArchive, ::testing::ValuesIn(kMakers),
                         [](const ::testing::TestParamInfo<Maker>& info) { return std::string(info.param.name); });

// A single item zip reads from its standard input. Writing into a pipe, it cannot seek back to
// the local header, so it writes a data descriptor, by default with 8-byte sizes and a Zip64
// local extra field. Reading from a pipe into a file, it cannot know the size in advance and
// writes a Zip64 end record and locator before the end record, however small the item.
struct StdinCase {
    const char* name;
    const char* command;  // writes stdin.zip from input.bin
    bool descriptor;
    bool zip64End;
};

void PrintTo(const StdinCase& c, std::ostream* out) { *out << c.name; }

class StdinArchive : public ::testing::TestWithParam<StdinCase> {};

TEST_P(StdinArchive, ExtractsTheStreamAsUnzipDoes) {
    for (const char* tool : {"zip", "unzip"}) {
        if (!interop::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    ScratchDir scratch;
    const path input = scratch.path() / "input.bin";
    const path archive = scratch.path() / "stdin.zip";
    interop::WriteFile(input, interop::MixedBytes(1024 * 1024 + 123, 11));
    ASSERT_TRUE(Shell(scratch.path(), GetParam().command));
    // The locator's signature sits 20 bytes before the end record (the archive has no comment).
    const std::string bytes = interop::ReadFile(archive);
    ASSERT_GT(bytes.size(), 42u);
    ASSERT_EQ(bytes.compare(bytes.size() - 42, 4, "PK\x06\x07") == 0, GetParam().zip64End);
    std::string verbose;
    ASSERT_TRUE(ShellOutput(scratch.path(), "unzip -Zv stdin.zip", &verbose));
    ASSERT_EQ(ZipinfoValues(verbose, "extended local header"),
              std::vector<std::string>{GetParam().descriptor ? "yes" : "no"});

    ASSERT_TRUE(Shell(scratch.path(), "unzip -o -q stdin.zip -d unzip"));
    const interop::Snapshot expected = TakeSnapshot(scratch.path() / "unzip");
    ASSERT_EQ(expected.count("-"), 1u);
    ASSERT_TRUE(expected.at("-").bytes == interop::ReadFile(input));

    ASSERT_TRUE(ExtractZipToDir(Wide(archive), Wide(scratch.path() / "ours")));
    interop::ExpectSameTree(TakeSnapshot(scratch.path() / "ours"), expected);
}

INSTANTIATE_TEST_SUITE_P(ZipFromStdin, StdinArchive,
                         ::testing::Values(
                             StdinCase{"Zip64Descriptor", "zip -q - - < input.bin | cat > stdin.zip", true, false},
                             StdinCase{"PlainDescriptor", "zip -q -fz- - - < input.bin | cat > stdin.zip", true, false},
                             StdinCase{"PipeIntoFile", "cat input.bin | zip -q - - > stdin.zip", false, true}),
                         [](const ::testing::TestParamInfo<StdinCase>& info) { return std::string(info.param.name); });

// The sample tree encrypted by zip -P: what happens without the right password.
class EncryptedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        if (!interop::HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
        interop::WriteSampleTree(scratch_.path() / "source");
        archive_ = scratch_.path() / "locked.zip";
        const std::string command = "zip -q -r -P secret " + ShellQuote(archive_.string()) + " tree";
        ASSERT_TRUE(Shell(scratch_.path() / "source", command));
    }

    // The information of every (encrypted) file item.
    std::vector<ZipItemInfo> Files(ZipHandle* zip) {
        std::vector<ZipItemInfo> files;
        ZipItemInfo summary{};
        EXPECT_EQ(ZipGetItemInfo(zip, -1, &summary), kZipSuccess);
        for (std::int32_t i = 0; i < summary.index; ++i) {
            ZipItemInfo info{};
            EXPECT_EQ(ZipGetItemInfo(zip, i, &info), kZipSuccess);
            if (!IsFolderName(info.name)) files.push_back(info);
        }
        EXPECT_GE(files.size(), 9u);
        return files;
    }

    ScratchDir scratch_;
    path archive_;
};

TEST_F(EncryptedArchive, MissingPasswordIsReportedAndWritesNothing) {
    OpenArchive zip(ZipOpenFromPath(Wide(archive_).c_str(), nullptr));
    ASSERT_TRUE(zip) << Hex(ZipLastResult);
    const path target = scratch_.path() / "out";
    ASSERT_EQ(ZipSetExtractDir(zip.get(), Wide(target).c_str()), kZipSuccess);
    char buffer[512];
    for (const ZipItemInfo& info : Files(zip.get())) {
        SCOPED_TRACE(ToUtf8(info.name));
        EXPECT_EQ(ZipExtractToMemory(zip.get(), info.index, buffer, sizeof buffer), kZipPassword);
        EXPECT_EQ(ZipExtractToPath(zip.get(), info.index, info.name), kZipPassword);
        EXPECT_FALSE(interop::fs::exists(target / ToUtf8(info.name)));
    }
}

TEST_F(EncryptedArchive, WrongPasswordsAreRefusedAndWriteNothing) {
    // The cipher's 12-byte header checks only one byte, so a wrong password gets past it once in
    // 256 tries and fails later on the data instead (CRC-32 or inflate); an empty item has no data
    // left to fail on and extracts, empty, as it would with the right password.
    const char* wrong[] = {"Secret", "secret ", "", "terces", "s", "secre", "password", "secret\n"};
    int attempts = 0;
    int refusedByCheck = 0;
    for (const char* password : wrong) {
        OpenArchive zip(ZipOpenFromPath(Wide(archive_).c_str(), password));
        ASSERT_TRUE(zip) << Hex(ZipLastResult);
        const path target = scratch_.path() / "out";
        ASSERT_EQ(ZipSetExtractDir(zip.get(), Wide(target).c_str()), kZipSuccess);
        for (const ZipItemInfo& info : Files(zip.get())) {
            SCOPED_TRACE(ToUtf8(info.name) + " with password \"" + password + "\"");
            const ZipResult result = ZipExtractToPath(zip.get(), info.index, info.name);
            ++attempts;
            if (result == kZipPassword) {
                ++refusedByCheck;
                EXPECT_FALSE(interop::fs::exists(target / ToUtf8(info.name)));
            } else if (info.size == 0) {
                EXPECT_EQ(result, kZipSuccess) << Hex(result);
            } else {
                EXPECT_TRUE(result == kZipCorrupt || result == kZipFlate) << Hex(result);
                EXPECT_FALSE(interop::fs::exists(target / ToUtf8(info.name)));
            }
        }
    }
    ASSERT_GE(attempts, 72);
    // Five or more lucky check bytes in 72 tries happen about once in 100,000 runs.
    EXPECT_GE(refusedByCheck, attempts - 4);
}

TEST_F(EncryptedArchive, ExtractZipToDirFailsWithoutLeavingFiles) {
    const path dest = scratch_.path() / "out";
    EXPECT_FALSE(ExtractZipToDir(Wide(archive_), Wide(dest)));
    std::error_code ec;
    for (interop::fs::recursive_directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec)) {
        EXPECT_TRUE(it->is_directory()) << it->path() << " left behind";
    }
}

}  // namespace
