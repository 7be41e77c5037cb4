// The benchmark archive: a deterministic tree of text-like, random and empty files in nested
// folders, zipped with Info-ZIP zip and kept in a cache folder for later runs.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct BenchArchive {
    std::string path;
    bool reused = false;           // found in the cache rather than built now
    std::uint64_t removedEntries = 0;  // files and folders of a stale generated tree deleted
    double generateSeconds = 0;    // writing the source tree (when built now)
    double zipSeconds = 0;         // running zip over it (when built now)
};

// Returns the archive for a tree of about sizeMib MiB under dataDir, building it when the
// cache does not hold it yet. The same sizeMib always gives the same file names and bytes.
bool EnsureBenchArchive(const std::string& dataDir, unsigned sizeMib, BenchArchive* archive,
                        std::string* error);

}  // namespace bench
