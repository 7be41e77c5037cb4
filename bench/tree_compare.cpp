#include "tree_compare.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace bench {
namespace {

// Relative path -> kind ('d' folder, 'f' file, 'o' other) and, for files, size.
using Listing = std::map<std::string, std::pair<char, std::uint64_t>>;

bool List(const std::string& root, Listing* entries, std::string* error) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        const char kind = fs::is_directory(status) ? 'd' : fs::is_regular_file(status) ? 'f' : 'o';
        (*entries)[it->path().lexically_relative(root).generic_string()] = {kind, kind == 'f' ? it->file_size(ec) : 0};
    }
    if (ec) *error = "cannot read " + root + ": " + ec.message();
    return !ec;
}

// Empty when both files hold the same bytes, else where they first differ.
std::string FirstDifference(const std::string& left, const std::string& right) {
    std::ifstream a(left, std::ios::binary);
    std::ifstream b(right, std::ios::binary);
    std::vector<char> bufA(1 << 20), bufB(1 << 20);
    for (std::uint64_t offset = 0; a && b;) {
        a.read(bufA.data(), bufA.size());
        b.read(bufB.data(), bufB.size());
        if (a.gcount() != b.gcount()) return "sizes differ";
        const auto n = a.gcount();
        const auto at = std::mismatch(bufA.begin(), bufA.begin() + n, bufB.begin()).first - bufA.begin();
        if (at < n) return "bytes differ from offset " + std::to_string(offset + at);
        offset += n;
    }
    return a.eof() && b.eof() ? "" : "cannot read";
}

}  // namespace

bool CompareTrees(const std::string& left, const std::string& right, std::size_t maxDifferences,
                  std::vector<std::string>* differences, TreeSummary* summary) {
    std::size_t found = 0;
    auto note = [&](const std::string& line) {
        if (found++ < maxDifferences) differences->push_back(line);
    };
    Listing a, b;
    std::string error;
    if (!List(left, &a, &error) || !List(right, &b, &error)) {
        differences->push_back(error);
        return false;
    }
    *summary = TreeSummary{};
    for (const auto& [name, entry] : b) {
        if (!a.count(name)) note("only in " + right + ": " + name);
    }
    for (const auto& [name, entry] : a) {
        const auto other = b.find(name);
        if (other == b.end()) {
            note("only in " + left + ": " + name);
        } else if (entry.first != other->second.first) {
            note(name + ": of another kind");
        } else if (entry.first == 'd') {
            ++summary->folders;
        } else if (entry.first == 'f') {
            ++summary->files;
            summary->bytes += entry.second;
            const std::string why = FirstDifference(left + "/" + name, right + "/" + name);
            if (!why.empty()) note(name + ": " + why);
        }
    }
    if (found > maxDifferences) differences->push_back("... and " + std::to_string(found - maxDifferences) + " more");
    return found == 0;
}

}  // namespace bench
