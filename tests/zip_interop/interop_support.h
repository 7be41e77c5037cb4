// Fixtures for checking the zip engine against independent archive tools: scratch folders, shell
// commands, the sample tree the tools archive, and snapshots of extracted trees to compare.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace interop {

namespace fs = std::filesystem;

// text quoted for /bin/sh.
std::string ShellQuote(const std::string& text);

// Whether program is on PATH.
bool HaveTool(const std::string& program);

// Runs command with /bin/sh in folder dir, under a UTF-8 locale so that the tools keep non-ASCII
// names as UTF-8. True when it exits with status 0.
bool Shell(const fs::path& dir, const std::string& command);
// As Shell, and collects the command's standard output into *output.
bool ShellOutput(const fs::path& dir, const std::string& command, std::string* output);

// UTF-8 <-> wide text, written here rather than borrowed from the engine under test.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::wstring Wide(const fs::path& path);

// Modification times of the sample tree (Unix seconds, UTC): one in summer and one in winter
// time, so that a reader that mishandles daylight saving for DOS times is off by an hour. Both
// are even, since DOS times have 2-second steps.
constexpr std::int64_t kSummerTime = 1626344430;  // 2021-07-15 10:20:30 UTC
constexpr std::int64_t kWinterTime = 1578643200;  // 2020-01-10 08:00:00 UTC

// Writes root/tree: nested folders, empty files, empty folders, Chinese names, a read-only file
// and a 3 MiB file of alternating random, text and repetitive blocks that crosses many
// read and inflate buffers.
void WriteSampleTree(const fs::path& root);

// Bytes mixing incompressible and compressible runs, the same for the same seed.
std::string MixedBytes(std::size_t size, std::uint32_t seed);

void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);

// What an extraction left on disk, by path relative to the extraction root ('/'-separated).
struct Node {
    enum class Kind { File, Folder, Other } kind = Kind::Other;
    std::string bytes;
    std::int64_t modified = 0;  // Unix seconds
    bool readOnly = false;      // no write bit at all
};
using Snapshot = std::map<std::string, Node>;

Snapshot TakeSnapshot(const fs::path& root);

// Every path, kind, content, modification second and read-only state of actual equals the
// reference's; failures name the path and the difference.
void ExpectSameTree(const Snapshot& actual, const Snapshot& reference);

// The reference extraction reproduced the source tree, with modification times within DOS
// precision (2 s) of the source's or exactly offsetSlack seconds off them; so comparing with the
// reference means something.
void ExpectReproducesSource(const Snapshot& reference, const Snapshot& source, std::int64_t offsetSlack);

}  // namespace interop
