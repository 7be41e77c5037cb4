// The benchmarks' test trees: the same shape always gives the same names and bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Bump when the plan or the bytes change, so that cached trees and archives are made anew.
constexpr int kTreeVersion = 2;

// splitmix64: small, fast, and the same sequence everywhere for a given seed.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
    std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + Below(hi - lo + 1); }

private:
    std::uint64_t state_;
};

// Random bytes do not compress; text is lines of words from a fixed vocabulary, compressing
// about as well as the logs, settings and scripts of an application.
enum class Content { Random, Log, Json, Ini, Prose };

struct TreeFile {
    std::string path;  // relative, "/" separators
    std::uint64_t size = 0;
    Content content = Content::Random;
    std::uint64_t seed = 0;  // of the bytes
};

struct TreeShape {
    std::uint64_t seed = 1;
    std::size_t files = 0;
    std::uint64_t bytes = 0;    // the sizes are scaled to add up to this
    unsigned textPercent = 0;   // share of text files, the rest random bytes
    unsigned emptyPercent = 1;  // share of empty files
};

// Plans the files of a tree: about ten per folder, the folders up to four levels below a few
// top folders of an installed application ("app/bin", "data", ...), the sizes skewed (three in
// five below 32 KiB, one in twelve up to some MiB). Every name has a dot and none is hidden.
std::vector<TreeFile> PlanTree(const TreeShape& shape);

// Writes each file below root, creating folders; false with the failing path in *error.
bool WriteTree(const std::string& root, const std::vector<TreeFile>& files, std::string* error);

// Gives root and everything below it one fixed access and modification time.
bool FixTimes(const std::string& root);

// Writes the files below root, and root + ".done" saying what they are, unless that marker says
// so already; *made tells which. Flushes what it wrote, so that no writeback runs under a timing.
bool EnsureTree(const std::string& root, const std::vector<TreeFile>& files, const std::string& what, bool* made,
                std::string* error);

// An installed old version and a new one that differs in a share of its files.
struct Versions {
    std::vector<TreeFile> oldFiles, newFiles;
    std::size_t modified = 0, added = 0;
    std::uint64_t oldBytes = 0, changedBytes = 0;  // changed: of the new version, what differs
};

// The old version: `files` files, two thirds text, one third random bytes. Of the changed
// share (changedPercent of files), nine tenths are files of the old version rewritten (new bytes,
// the size within +-10 %) and one tenth files only the new version has.
Versions MakeVersions(unsigned files, unsigned sizeMib, unsigned changedPercent);

}  // namespace bench
