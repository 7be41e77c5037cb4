#include "bench_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr std::size_t kChunk = 1 << 20;
// 2023-11-14 UTC: archives of the tree then store the same times whenever they are made.
constexpr time_t kFixedTime = 1700000000;

// Words of one to four syllables; Word() picks low indices more often, as real text repeats
// its common words.
class Text {
public:
    Text(Content content, std::uint64_t seed) : content_(content), rng_(seed) {
        static const std::vector<std::string> words = [] {
            static const char* const kSyllables[] = {"ka", "lo", "mi", "ren", "to", "sa", "vel", "dor",
                                                     "in", "ex", "pre", "con", "ri", "mon", "el", "ar",
                                                     "qui", "nor", "fe", "lux", "tion", "ment", "ous", "ly"};
            Rng rng(0x766F636162ull);
            std::vector<std::string> list(512);
            for (std::string& word : list) {
                for (std::uint64_t s = rng.Between(1, 4); s > 0; --s) word += kSyllables[rng.Below(24)];
            }
            return list;
        }();
        words_ = &words;
    }

    // Whole lines until out holds at least want bytes.
    void Fill(std::string& out, std::size_t want) {
        while (out.size() < want) {
            if (content_ == Content::Log) {
                char stamp[32];
                seconds_ += rng_.Below(3);
                std::snprintf(stamp, sizeof stamp, "2024-06-11 %02u:%02u:%02u ", unsigned(seconds_ / 3600 % 24),
                              unsigned(seconds_ / 60 % 60), unsigned(seconds_ % 60));
                out.append(stamp).append(rng_.Below(4) ? "INFO [" : "WARN [").append(Word()).append("] ");
            } else if (content_ == Content::Json) {
                out.append("  {\"id\": ").append(std::to_string(rng_.Below(100000))).append(", \"name\": \"");
                out.append(Word()).append("\", \"text\": \"");
            } else if (content_ == Content::Ini) {
                out.append(Word()).append("_").append(Word()).append(" = ");
            }
            for (std::uint64_t i = rng_.Between(3, 12); i > 0; --i) out.append(Word()).append(i > 1 ? " " : "");
            out += content_ == Content::Json ? "\"},\n" : content_ == Content::Prose ? ".\n" : "\n";
        }
    }

private:
    const std::string& Word() { return (*words_)[rng_.Below(rng_.Below(words_->size()) + 1)]; }

    const std::vector<std::string>* words_;
    Content content_;
    Rng rng_;
    std::uint64_t seconds_ = 8 * 3600;
};

bool WriteFile(const fs::path& path, const TreeFile& file) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Rng rng(file.seed);
    Text text(file.content, file.seed);
    std::string chunk;
    for (std::uint64_t left = file.size; out && left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        chunk.clear();
        if (file.content == Content::Random) {
            chunk.resize((n + 7) & ~std::size_t{7});
            for (std::size_t at = 0; at < n; at += 8) {
                const std::uint64_t word = rng.Next();
                std::memcpy(&chunk[at], &word, 8);
            }
        } else {
            text.Fill(chunk, n);
        }
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

std::vector<TreeFile> PlanTree(const TreeShape& shape) {
    static const char* const kTops[] = {"app/bin", "app/bin/plugins", "app/res", "app/lang", "data", "docs"};
    static const char* const kNames[] = {"lib", "res", "locale", "themes", "assets", "cache", "modules", "x"};
    static const char* const kTextExt[] = {".log", ".json", ".ini", ".txt"};
    static const char* const kRandomExt[] = {".bin", ".dll", ".pak", ".png", ".dat"};
    Rng rng(shape.seed);
    std::vector<std::string> folders(std::begin(kTops), std::end(kTops));
    std::vector<int> depth(folders.size(), 0);
    while (folders.size() < std::max<std::size_t>(6, shape.files / 10)) {
        std::size_t parent = rng.Below(folders.size());
        if (depth[parent] >= 4) parent = rng.Below(6);
        folders.push_back(folders[parent] + "/" + kNames[rng.Below(8)] + std::to_string(folders.size()));
        depth.push_back(depth[parent] + 1);
    }

    std::vector<TreeFile> files(shape.files);
    std::uint64_t drawn = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        TreeFile& file = files[i];
        const std::uint64_t pick = rng.Below(100);
        file.size = pick < shape.emptyPercent ? 0
                    : pick < 60               ? rng.Between(256, 32 << 10)
                    : pick < 92               ? rng.Between(32 << 10, 256 << 10)
                                              : rng.Between(256 << 10, 13 << 18);
        drawn += file.size;
        file.seed = shape.seed * 1000003 + i;
        const bool text = rng.Below(100) < shape.textPercent;
        const std::size_t kind = rng.Below(text ? 4 : 5);
        file.content = text ? static_cast<Content>(kind + 1) : Content::Random;
        char name[24];
        std::snprintf(name, sizeof name, "/f%05zu", i);
        file.path = folders[rng.Below(folders.size())] + name + (text ? kTextExt[kind] : kRandomExt[kind]);
    }
    // Scale to the requested total; the last file takes the rounding.
    const double scale = drawn ? static_cast<double>(shape.bytes) / static_cast<double>(drawn) : 0;
    std::uint64_t scaled = 0;
    for (TreeFile& file : files) {
        file.size = &file == &files.back() ? std::max(shape.bytes, scaled) - scaled
                                           : static_cast<std::uint64_t>(static_cast<double>(file.size) * scale);
        scaled += file.size;
    }
    return files;
}

bool WriteTree(const std::string& root, const std::vector<TreeFile>& files, std::string* error) {
    for (const TreeFile& file : files) {
        const fs::path path = fs::path(root) / file.path;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        if (ec || !WriteFile(path, file)) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    return true;
}

bool FixTimes(const std::string& root) {
    std::vector<std::string> paths{root};
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        paths.push_back(it->path().string());
    }
    // All listed first: listing a folder would change its access time again.
    const timespec times[2] = {{kFixedTime, 0}, {kFixedTime, 0}};
    for (const std::string& path : paths) {
        if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return false;
    }
    return !ec;
}

bool EnsureTree(const std::string& root, const std::vector<TreeFile>& files, const std::string& what, bool* made,
                std::string* error) {
    std::ifstream in(root + ".done");
    std::string line;
    *made = !std::getline(in, line) || line != what;
    std::printf("  tree         %s %zu files in %s\n", *made ? "generating" : "reused", files.size(), root.c_str());
    if (!*made) return true;
    std::error_code ec;
    fs::remove(root + ".done", ec);
    fs::remove_all(root, ec);
    if (!WriteTree(root, files, error)) return false;
    sync();
    std::ofstream(root + ".done") << what << "\n";
    return true;
}

Versions MakeVersions(unsigned files, unsigned sizeMib, unsigned changedPercent) {
    Versions v;
    const std::size_t changed = std::max<std::size_t>(1, std::size_t{files} * changedPercent / 100);
    v.added = changed / 10;
    const std::uint64_t bytes = (std::uint64_t{sizeMib} << 20) * (files + v.added) / files;
    v.newFiles = PlanTree({20240611, files + v.added, bytes, 67, 1});
    v.oldFiles.assign(v.newFiles.begin(), v.newFiles.begin() + files);
    // The rewritten files: non-empty ones (an empty file rewritten empty would not differ), each
    // of them drawn with the odds that give the wanted number (selection sampling).
    Rng rng(99);
    std::size_t left = std::count_if(v.oldFiles.begin(), v.oldFiles.end(), [](const auto& f) { return f.size > 0; });
    for (std::size_t i = 0, wanted = changed - v.added; i < files; ++i) {
        TreeFile& file = v.newFiles[i];
        if (file.size == 0 || rng.Below(left--) >= wanted - v.modified) continue;
        ++v.modified;
        file.seed += 1ull << 40;
        file.size = std::max<std::uint64_t>(1, file.size - file.size / 10 + rng.Below(file.size / 5 + 1));
    }
    for (std::size_t i = 0; i < v.newFiles.size(); ++i) {
        if (i < files) v.oldBytes += v.oldFiles[i].size;
        if (i >= files || v.newFiles[i].seed != v.oldFiles[i].seed) v.changedBytes += v.newFiles[i].size;
    }
    return v;
}

}  // namespace bench
