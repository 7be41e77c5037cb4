// Scratch folders, shell commands, the sample tree and tree snapshots for the interop tests.
// POSIX only: the peer tools are run through /bin/sh and file facts come from stat.
#include "interop_support.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace interop {

static_assert(sizeof(wchar_t) == 4, "the interop tests expect UTF-32 wide characters");

namespace {

// Lets the tree be removed even where extraction left read-only files and folders behind.
bool ExitedCleanly(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string InFolder(const fs::path& dir, const std::string& command) {
    return "export LC_ALL=C.UTF-8; cd " + ShellQuote(dir.string()) + " && " + command;
}

void SetModified(const fs::path& path, std::int64_t seconds) {
    const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string TextBlock(std::size_t size, std::uint32_t seed) {
    std::string out;
    for (std::uint32_t line = 0; out.size() < size; ++line) {
        out += "entry " + std::to_string(seed) + "." + std::to_string(line) +
               ": component=updater channel=stable checksum pending\n";
    }
    out.resize(size);
    return out;
}

}  // namespace

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool HaveTool(const std::string& program) {
    return ExitedCleanly(std::system(("command -v " + ShellQuote(program) + " >/dev/null 2>&1").c_str()));
}

bool Shell(const fs::path& dir, const std::string& command) {
    return ExitedCleanly(std::system(InFolder(dir, command).c_str()));
}

bool ShellOutput(const fs::path& dir, const std::string& command, std::string* output) {
    output->clear();
    FILE* pipe = popen(InFolder(dir, command).c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
    return ExitedCleanly(pclose(pipe));
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        if (extra < 0 || i + extra >= text.size()) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}

std::wstring Wide(const fs::path& path) { return FromUtf8(path.string()); }

std::string MixedBytes(std::size_t size, std::uint32_t seed) {
    constexpr std::size_t kBlock = 48 * 1024;
    std::mt19937 random(seed);
    std::string out;
    out.reserve(size + kBlock);
    for (std::uint32_t block = 0; out.size() < size; ++block) {
        switch (block % 3) {
            case 0:
                for (std::size_t i = 0; i < kBlock; ++i) out += static_cast<char>(random() & 0xFF);
                break;
            case 1:
                out += TextBlock(kBlock, block);
                break;
            default:
                for (std::size_t i = 0; i < kBlock; ++i) out += static_cast<char>((i % 7) * (block & 0x1F));
                break;
        }
    }
    out.resize(size);
    return out;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteSampleTree(const fs::path& root) {
    struct File {
        const char* path;
        std::string bytes;
        std::int64_t modified;
    };
    const File files[] = {
        {"tree/readme.txt", TextBlock(2000, 1), kSummerTime},
        {"tree/empty.txt", "", kWinterTime},
        {"tree/locked.txt", "settings owned by the administrator\n", kSummerTime + 2},
        {"tree/中文名.txt", "更新说明：第一版\n", kWinterTime + 4},
        {"tree/docs/guide.md", TextBlock(40000, 2), kWinterTime + 6},
        {"tree/docs/deep/nested/leaf.txt", "leaf\n", kSummerTime + 8},
        {"tree/docs/说明/配置.ini", "[general]\nlanguage=zh\n", kSummerTime + 10},
        {"tree/data/big.bin", MixedBytes(3 * 1024 * 1024, 7), kSummerTime + 12},
        {"tree/data/blank.dat", "", kSummerTime + 14},
    };
    for (const char* folder : {"tree/empty_dir", "tree/data/empty_sub/inner"}) {
        fs::create_directories(root / folder);
    }
    for (const File& f : files) {
        const fs::path path = root / f.path;
        fs::create_directories(path.parent_path());
        WriteFile(path, f.bytes);
        SetModified(path, f.modified);
    }
    fs::permissions(root / "tree/locked.txt",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

Snapshot TakeSnapshot(const fs::path& root) {
    Snapshot out;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        struct stat st {};
        const fs::path& path = it->path();
        const std::string name = path.lexically_relative(root).generic_string();
        if (lstat(path.c_str(), &st) != 0) {
            ADD_FAILURE() << "cannot stat " << path;
            continue;
        }
        Node node;
        if (S_ISDIR(st.st_mode)) {
            node.kind = Node::Kind::Folder;
        } else if (S_ISREG(st.st_mode)) {
            node.kind = Node::Kind::File;
            node.bytes = ReadFile(path);
            node.modified = st.st_mtim.tv_sec;
            node.readOnly = (st.st_mode & 0222) == 0;
        }
        out[name] = node;
    }
    return out;
}

namespace {

const char* KindName(Node::Kind kind) {
    switch (kind) {
        case Node::Kind::File:
            return "file";
        case Node::Kind::Folder:
            return "folder";
        default:
            return "neither file nor folder";
    }
}

// Describes where two byte strings part, without printing megabytes.
std::string ContentDifference(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    std::ostringstream out;
    out << "sizes " << a.size() << " vs " << b.size() << ", first difference at byte " << i;
    return out.str();
}

// exactTime: the modification seconds must match. Otherwise actual is a round trip of source
// through DOS times: within their 2-second steps, possibly shifted by offsetSlack seconds.
void ExpectSameFile(const std::string& name, const Node& actual, const Node& reference, bool exactTime,
                    std::int64_t offsetSlack = 0) {
    EXPECT_EQ(actual.kind, reference.kind)
        << name << ": " << KindName(actual.kind) << " where the reference has a " << KindName(reference.kind);
    if (actual.kind != Node::Kind::File || reference.kind != Node::Kind::File) return;
    EXPECT_TRUE(actual.bytes == reference.bytes) << name << ": content differs, "
                                                 << ContentDifference(actual.bytes, reference.bytes);
    if (exactTime) {
        EXPECT_EQ(actual.modified, reference.modified) << name << ": modification time (Unix seconds)";
    } else {
        const std::int64_t off = std::llabs(actual.modified - reference.modified);
        EXPECT_TRUE(off <= 2 || std::llabs(off - offsetSlack) <= 2)
            << name << ": modification time " << actual.modified << " vs source " << reference.modified;
    }
    EXPECT_EQ(actual.readOnly, reference.readOnly) << name << ": read-only state";
}

}  // namespace

void ExpectSameTree(const Snapshot& actual, const Snapshot& reference) {
    for (const auto& [name, node] : reference) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            ADD_FAILURE() << name << ": missing (reference has a " << KindName(node.kind) << ")";
            continue;
        }
        ExpectSameFile(name, found->second, node, true);
    }
    for (const auto& [name, node] : actual) {
        if (reference.count(name) == 0) ADD_FAILURE() << name << ": not in the reference tree";
    }
}

void ExpectReproducesSource(const Snapshot& reference, const Snapshot& source, std::int64_t offsetSlack) {
    ASSERT_FALSE(source.empty());
    for (const auto& [name, node] : source) {
        const auto found = reference.find(name);
        if (found == reference.end()) {
            ADD_FAILURE() << name << ": the reference extraction lacks this source path";
            continue;
        }
        ExpectSameFile(name, found->second, node, false, offsetSlack);
    }
}

}  // namespace interop
