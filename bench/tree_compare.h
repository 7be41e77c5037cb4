// Compares two extracted folder trees entry by entry: the same relative paths, the same kinds
// (folder, file, link or other), and for files the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct TreeSummary {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;  // below the root
    std::uint64_t bytes = 0;    // of the files
};

// True when both trees hold the same entries with the same contents, *summary then counting
// them. Otherwise false, with up to maxDifferences lines in *differences (relative paths).
bool CompareTrees(const std::string& left, const std::string& right, std::size_t maxDifferences,
                  std::vector<std::string>* differences, TreeSummary* summary);

}  // namespace bench
