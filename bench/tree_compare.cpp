// Tree comparison for the benchmark's correctness check: lists both trees, then compares the
// lists and the bytes of every file present in both.
#include "tree_compare.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

namespace fs = std::filesystem;

namespace bench {
namespace {

enum class Kind { Folder, File, Other };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Folder: return "folder";
        case Kind::File: return "file";
        default: return "link or special file";
    }
}

struct Entry {
    Kind kind;
    std::uint64_t size;
};

bool ListTree(const std::string& root, std::map<std::string, Entry>* entries, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) {
        *error = root + " is not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    const fs::recursive_directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        const fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        Entry entry{Kind::Other, 0};
        if (fs::is_directory(status)) {
            entry.kind = Kind::Folder;
        } else if (fs::is_regular_file(status)) {
            entry.kind = Kind::File;
            entry.size = it->file_size(ec);
            if (ec) break;
        }
        (*entries)[path.lexically_relative(root).generic_string()] = entry;
    }
    if (ec) {
        *error = "cannot read " + root + ": " + ec.message();
        return false;
    }
    return true;
}

// Byte-for-byte comparison of two files already known to have the same size.
bool SameBytes(const std::string& left, const std::string& right, std::string* why) {
    std::ifstream a(left, std::ios::binary);
    std::ifstream b(right, std::ios::binary);
    if (!a || !b) {
        *why = "cannot open for reading";
        return false;
    }
    constexpr std::size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> bufA(new char[kChunk]);
    std::unique_ptr<char[]> bufB(new char[kChunk]);
    std::uint64_t offset = 0;
    for (;;) {
        a.read(bufA.get(), kChunk);
        b.read(bufB.get(), kChunk);
        const std::streamsize gotA = a.gcount();
        const std::streamsize gotB = b.gcount();
        if (gotA != gotB) {
            *why = "lengths differ while reading";
            return false;
        }
        if (gotA == 0) return true;
        if (std::memcmp(bufA.get(), bufB.get(), static_cast<std::size_t>(gotA)) != 0) {
            const auto mismatch = std::mismatch(bufA.get(), bufA.get() + gotA, bufB.get());
            *why = "bytes differ from offset " + std::to_string(offset + (mismatch.first - bufA.get()));
            return false;
        }
        offset += static_cast<std::uint64_t>(gotA);
    }
}

}  // namespace

bool SummarizeTree(const std::string& root, TreeSummary* summary, std::string* error) {
    std::map<std::string, Entry> entries;
    if (!ListTree(root, &entries, error)) return false;
    *summary = TreeSummary{};
    for (const auto& item : entries) {
        switch (item.second.kind) {
            case Kind::Folder: ++summary->folders; break;
            case Kind::File:
                ++summary->files;
                summary->bytes += item.second.size;
                break;
            default: ++summary->others; break;
        }
    }
    return true;
}

bool CompareTrees(const std::string& left, const std::string& right, std::size_t maxDifferences,
                  std::vector<std::string>* differences, TreeSummary* summary) {
    differences->clear();
    std::size_t found = 0;
    auto note = [&](const std::string& line) {
        if (found++ < maxDifferences) differences->push_back(line);
    };

    std::map<std::string, Entry> a;
    std::map<std::string, Entry> b;
    std::string error;
    if (!ListTree(left, &a, &error) || !ListTree(right, &b, &error)) {
        differences->push_back(error);
        return false;
    }

    *summary = TreeSummary{};
    auto ia = a.begin();
    auto ib = b.begin();
    while (ia != a.end() || ib != b.end()) {
        if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
            note("only in " + left + ": " + ia->first);
            ++ia;
            continue;
        }
        if (ia == a.end() || ib->first < ia->first) {
            note("only in " + right + ": " + ib->first);
            ++ib;
            continue;
        }
        const std::string& name = ia->first;
        const Entry& ea = ia->second;
        const Entry& eb = ib->second;
        if (ea.kind != eb.kind) {
            note(name + ": " + KindName(ea.kind) + " vs " + KindName(eb.kind));
        } else if (ea.kind == Kind::File) {
            ++summary->files;
            summary->bytes += ea.size;
            std::string why;
            if (ea.size != eb.size) {
                note(name + ": " + std::to_string(ea.size) + " vs " + std::to_string(eb.size) +
                     " bytes");
            } else if (!SameBytes(left + "/" + name, right + "/" + name, &why)) {
                note(name + ": " + why);
            }
        } else if (ea.kind == Kind::Folder) {
            ++summary->folders;
        } else {
            ++summary->others;
        }
        ++ia;
        ++ib;
    }
    if (found > maxDifferences) {
        differences->push_back("... and " + std::to_string(found - maxDifferences) + " more");
    }
    return found == 0;
}

}  // namespace bench
