// The shared log: writers that append at once through handles of their own never split one
// another's lines, and the rotation keeps the bound and the number of old files whoever does it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"
#include "shared_log.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SharedLog, WritersAtOnceNeverSplitALineAndRotationKeepsTwoOldFiles) {
    const ztest::ScratchDir scratch("shared-log");
    const fs::path path = scratch.path() / "update.log";
    constexpr std::uint64_t kBound = 16 * 1024;
    constexpr int kWriters = 3, kLines = 3000;
    // Each writer has a handle of its own, as another process would.
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            platform::SharedLog log(path.u8string(), kBound, 2);
            for (int i = 0; i < kLines; ++i) {
                const std::string line = "writer " + std::to_string(w) + " line " + std::to_string(i) + " " +
                                         std::string(static_cast<std::size_t>(20 + i % 50), 'a' + w) + " end\n";
                ASSERT_TRUE(log.Append(line));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(scratch.path())) files.push_back(entry.path().filename().u8string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"update.log", "update.log.1", "update.log.2"}));

    // Oldest file first, each line whole, and no line of a writer lost between the files kept:
    // its line numbers run on without a gap to its last line (or all went with the oldest file).
    const std::regex whole("writer ([0-2]) line ([0-9]+) (a+|b+|c+) end");
    std::vector<std::vector<int>> seen(kWriters);
    for (const char* name : {"update.log.2", "update.log.1", "update.log"}) {
        // Only a full file is rotated (a second writer rotating after the first would push a
        // young one away); a writer whose file was just renamed may add its one line more to it.
        const std::uint64_t size = fs::file_size(scratch.path() / name);
        if (std::string(name) != "update.log") {
            EXPECT_GE(size, kBound) << name;
        }
        EXPECT_LT(size, kBound + kWriters * 200) << name;
        for (const std::string& line : Lines(scratch.path() / name)) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, whole)) << name << ": " << line;
            const int w = std::stoi(match[1].str());
            EXPECT_EQ(match[3].str()[0], 'a' + w) << line;
            seen[w].push_back(std::stoi(match[2].str()));
        }
    }
    for (int w = 0; w < kWriters; ++w) {
        if (seen[w].empty()) continue;
        EXPECT_EQ(seen[w].back(), kLines - 1) << "writer " << w;
        for (std::size_t i = 1; i < seen[w].size(); ++i) {
            ASSERT_EQ(seen[w][i], seen[w][i - 1] + 1) << "writer " << w;
        }
    }
}

TEST(SharedLog, AFolderThatIsNotThereIsNoFailureOfTheCaller) {
    const ztest::ScratchDir scratch("shared-log");
    platform::SharedLog log((scratch.path() / "missing" / "update.log").u8string(), 1024, 2);
    EXPECT_FALSE(log.Append("line\n"));
    EXPECT_FALSE(fs::exists(scratch.path() / "missing"));
}

}  // namespace
