// Compares two extracted folder trees entry by entry: the same relative paths, the same kinds
// (folder, file, link), and for files the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct TreeSummary {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;   // below the root, the root itself not counted
    std::uint64_t others = 0;    // links and special files
    std::uint64_t bytes = 0;     // sum of the regular files' sizes
};

// Walks a tree without following links. False (with a reason in *error) when it cannot be read.
bool SummarizeTree(const std::string& root, TreeSummary* summary, std::string* error);

// True when both trees hold the same entries with the same contents. Otherwise false, with up
// to maxDifferences human-readable lines in *differences (paths relative to the roots).
bool CompareTrees(const std::string& left, const std::string& right, std::size_t maxDifferences,
                  std::vector<std::string>* differences, TreeSummary* summary);

}  // namespace bench
