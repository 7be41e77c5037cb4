// Benchmark driver: times extraction of one large archive by our engine (zip_extract), by
// Info-ZIP unzip and by bsdtar, checks that our output matches unzip's, and prints the ratios.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench_archive.h"
#include "bench_process.h"
#include "tree_compare.h"

#ifndef ZIP_BENCH_BUILD_TYPE
#define ZIP_BENCH_BUILD_TYPE "unknown"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatioUnzip = 0.9;
constexpr double kGoalPeakMib = 16.0;
// How long ext4 may keep stepping over freed inodes: a minute once their inode-table block is
// on disk, five more while new inodes keep that block dirty; with a margin. Files created
// sooner after a mass deletion cost up to several times the kernel time.
constexpr int kSettleSeconds = 370;

struct Options {
    unsigned rounds = 5;
    unsigned sizeMib = 200;
    bool keep = false;
    bool wait = true;
    std::string dataDir;
    std::string extractor;
};

struct Tool {
    std::string name;
    std::function<std::vector<std::string>(const std::string& archive, const std::string& out)> command;
    std::string outDir;                 // the latest run's output folder
    std::vector<bench::ChildRun> runs;  // timed rounds only
};

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: zip_bench [--rounds N] [--size-mib N] [--keep] [--no-wait] [--data-dir DIR] "
                 "[--extractor PATH]\n"
                 "  --rounds N     timed rounds per tool, after one warm-up (default 5)\n"
                 "  --size-mib N   uncompressed size of the archive's content (default 200)\n"
                 "  --keep         keep the last round's extracted trees under DIR/out\n"
                 "  --no-wait      start at once even when an earlier run deleted its outputs\n"
                 "                 less than %d s ago (the figures then carry extra kernel time)\n"
                 "  --data-dir DIR cache folder for the archive and the outputs (default bench-data)\n"
                 "  --extractor P  our extraction program (default: zip_extract beside zip_bench)\n",
                 kSettleSeconds);
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--keep") {
            options->keep = true;
        } else if (arg == "--no-wait") {
            options->wait = false;
        } else if (arg == "--rounds" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 1000, &options->rounds)) return false;
        } else if (arg == "--size-mib" && hasValue) {
            // Sizes stay well below 4 GiB: the archive holds no 64-bit size records.
            if (!bench::ParseUnsigned(argv[++i], 1, 3000, &options->sizeMib)) return false;
        } else if (arg == "--data-dir" && hasValue) {
            options->dataDir = argv[++i];
        } else if (arg == "--extractor" && hasValue) {
            options->extractor = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

std::string DefaultExtractor() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "zip_extract";
    return (self.parent_path() / "zip_extract").string();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n == 0) return 0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename Field>
std::vector<double> Collect(const std::vector<bench::ChildRun>& runs, Field field) {
    std::vector<double> values;
    for (const bench::ChildRun& run : runs) values.push_back(static_cast<double>(field(run)));
    return values;
}

// Notes in the stamp file, which WaitAfterDeletions reads, that removedEntries files and
// folders were just deleted: from a thousand on; a few hundred freed inodes make no
// measurable difference.
void NoteDeletion(std::uintmax_t removedEntries, const std::string& stamp) {
    if (removedEntries < 1000 || removedEntries == static_cast<std::uintmax_t>(-1)) return;
    sync();
    if (std::FILE* f = std::fopen(stamp.c_str(), "w")) std::fclose(f);
}

void DeleteTree(const std::string& path, const std::string& stamp) {
    std::error_code ec;
    NoteDeletion(fs::remove_all(path, ec), stamp);
}

// Holds the runs back until kSettleSeconds have passed since the last deletion noted in stamp,
// by this run or an earlier one.
void WaitAfterDeletions(const std::string& stamp) {
    std::error_code ec;
    const fs::file_time_type noted = fs::last_write_time(stamp, ec);
    if (ec) return;
    const auto age = fs::file_time_type::clock::now() - noted;
    const auto settle = std::chrono::seconds(kSettleSeconds);
    if (age >= settle || age < std::chrono::seconds(0)) return;
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(settle - age) + std::chrono::seconds(1);
    std::printf("waiting %lld s: files were deleted here less than %d s ago\n",
                static_cast<long long>(wait.count()), kSettleSeconds);
    std::this_thread::sleep_for(wait);
}

// Every run gets a folder of its own that did not exist before. Earlier outputs are not
// deleted between runs: ext4's inode allocator steps over recently freed inodes, so creating
// thousands of files right after deleting thousands costs much more kernel time, and a varying
// amount of it. sync() flushes the earlier runs' data so that no writeback of theirs overlaps
// the timed run.
bool PrepareOutput(const std::string& dir) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dir, ec))) {
        std::fprintf(stderr, "zip_bench: %s already exists\n", dir.c_str());
        return false;
    }
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "zip_bench: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
        return false;
    }
    sync();
    return true;
}

// Reads the whole archive so that it is in the page cache when the clock starts: the kernel
// may reclaim some of its pages between runs.
void WarmFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::vector<char> buffer(1 << 20);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
}

bool RunOnce(Tool& tool, const std::string& archive, const std::string& outRoot, unsigned runNumber,
             bench::ChildRun* run) {
    tool.outDir = outRoot + "/" + tool.name + "-" + std::to_string(runNumber);
    if (!PrepareOutput(tool.outDir)) return false;
    WarmFile(archive);
    *run = bench::RunChild(tool.command(archive, tool.outDir));
    if (!run->started || run->exitCode != 0) {
        std::fprintf(stderr, "zip_bench: FAILED: %s did not extract the archive (exit %d, signal %d)\n",
                     tool.name.c_str(), run->exitCode, run->signal);
        return false;
    }
    return true;
}

// Our tree against unzip's; prints the outcome and the first differences.
bool CheckAgainstUnzip(const Tool& ours, const Tool& unzip, const char* when,
                       bench::TreeSummary* summary) {
    std::vector<std::string> differences;
    if (bench::CompareTrees(ours.outDir, unzip.outDir, 20, &differences, summary)) {
        std::printf("check (%s): ours == unzip: %llu files, %llu folders, %llu bytes identical\n", when,
                    static_cast<unsigned long long>(summary->files),
                    static_cast<unsigned long long>(summary->folders),
                    static_cast<unsigned long long>(summary->bytes));
        return true;
    }
    std::printf("check (%s): FAILED: our output differs from unzip's:\n", when);
    for (const std::string& line : differences) std::printf("  %s\n", line.c_str());
    std::printf("the trees are left in %s and %s\n", ours.outDir.c_str(), unzip.outDir.c_str());
    return false;
}

const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

// All outputs stay on disk until the end: tools x (rounds + warm-up) trees of the content
// size, plus block rounding. False when the file system holding them lacks the room.
bool EnoughRoom(const std::string& dir, unsigned sizeMib, unsigned runsPerTool, std::size_t tools) {
    struct statvfs fsInfo {};
    if (statvfs(dir.c_str(), &fsInfo) != 0) return true;  // cannot tell; the runs will show
    const double available = static_cast<double>(fsInfo.f_bavail) * static_cast<double>(fsInfo.f_frsize);
    const double perTree = (static_cast<double>(sizeMib) * 1.1 + 32.0) * 1024.0 * 1024.0;
    const double needed = perTree * runsPerTool * static_cast<double>(tools) + 512.0 * 1024.0 * 1024.0;
    if (available >= needed) return true;
    std::fprintf(stderr, "zip_bench: %s has %.0f MiB free; %u runs of %u tools need about %.0f MiB\n",
                 dir.c_str(), available / 1048576.0, runsPerTool, static_cast<unsigned>(tools),
                 needed / 1048576.0);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(stderr);
        return 2;
    }
    if (options.dataDir.empty()) options.dataDir = "bench-data";
    if (options.extractor.empty()) options.extractor = DefaultExtractor();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::error_code ec;
    options.dataDir = fs::absolute(options.dataDir, ec).lexically_normal().string();
    while (options.dataDir.size() > 1 && options.dataDir.back() == '/') options.dataDir.pop_back();
    if (bench::FindInPath(options.extractor).empty()) {
        std::fprintf(stderr, "zip_bench: %s is missing; build the zip_extract target\n",
                     options.extractor.c_str());
        return 2;
    }
    for (const char* program : {"zip", "unzip", "bsdtar"}) {
        if (bench::FindInPath(program).empty()) {
            std::fprintf(stderr, "zip_bench: %s is not installed (Debian packages: zip unzip libarchive-tools)\n",
                         program);
            return 2;
        }
    }

    bench::BenchArchive archive;
    std::string error;
    if (!bench::EnsureBenchArchive(options.dataDir, options.sizeMib, &archive, &error)) {
        std::fprintf(stderr, "zip_bench: cannot build the archive: %s\n", error.c_str());
        return 1;
    }
    const std::uintmax_t archiveBytes = fs::file_size(archive.path, ec);

    const std::string outRoot = options.dataDir + "/out";
    std::vector<Tool> tools = {
        {"ours", [&](const std::string& a, const std::string& o) {
             return std::vector<std::string>{options.extractor, a, o};
         }, {}, {}},
        {"unzip", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"unzip", "-o", "-q", a, "-d", o};
         }, {}, {}},
        {"bsdtar", [](const std::string& a, const std::string& o) {
             return std::vector<std::string>{"bsdtar", "-xf", a, "-C", o};
         }, {}, {}},
    };
    Tool& ours = tools[0];
    Tool& unzip = tools[1];
    const std::string stamp = options.dataDir + "/last-deletion";
    NoteDeletion(archive.removedEntries, stamp);
    if (fs::exists(outRoot, ec)) DeleteTree(outRoot, stamp);  // left by a failed run
    if (!EnoughRoom(options.dataDir, options.sizeMib, options.rounds + 1, tools.size())) return 1;

    std::printf("zip extraction benchmark\n");
    std::printf("  build        %s (zip_extract, zip_bench)\n", ZIP_BENCH_BUILD_TYPE);
    std::printf("  ours         %s\n", options.extractor.c_str());
    std::printf("  unzip        %s\n", bench::FirstOutputLine({"unzip", "-v"}).c_str());
    std::printf("  bsdtar       %s\n", bench::FirstOutputLine({"bsdtar", "--version"}).c_str());
    std::printf("  archive      %s (%s), %llu bytes\n", archive.path.c_str(),
                archive.reused ? "reused from the cache" : "built now",
                static_cast<unsigned long long>(archiveBytes));
    std::printf("  outputs      %s/<tool>-<run>, same file system as the archive\n", outRoot.c_str());
    std::printf("  method       %u timed rounds per tool after one untimed warm-up each; tool order\n"
                "               rotated every round; each run into a new empty folder, sync() and\n"
                "               the archive read once more before the clock starts; outputs\n"
                "               deleted only after the last round\n",
                options.rounds);
    std::printf("  wall time    fork() to wait4(), steady clock; peak memory = ru_maxrss of the child\n"
                "               from wait4()\n");
    if (options.wait) WaitAfterDeletions(stamp);

    // Warm-up: brings the archive and the programs into the page cache; not timed.
    for (Tool& tool : tools) {
        bench::ChildRun run;
        if (!RunOnce(tool, archive.path, outRoot, 0, &run)) return 1;
    }
    bench::TreeSummary content;
    if (!bench::SummarizeTree(unzip.outDir, &content, &error)) {
        std::fprintf(stderr, "zip_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("  content      %llu files, %llu folders, %llu bytes uncompressed (unzip's tree)\n",
                static_cast<unsigned long long>(content.files),
                static_cast<unsigned long long>(content.folders),
                static_cast<unsigned long long>(content.bytes));
    bench::TreeSummary checked;
    if (!CheckAgainstUnzip(ours, unzip, "after warm-up", &checked)) return 1;

    for (unsigned round = 0; round < options.rounds; ++round) {
        std::printf("round %u:", round + 1);
        for (std::size_t k = 0; k < tools.size(); ++k) {
            Tool& tool = tools[(round + k) % tools.size()];
            bench::ChildRun run;
            if (!RunOnce(tool, archive.path, outRoot, round + 1, &run)) return 1;
            tool.runs.push_back(run);
            std::printf("  %s %.3f s", tool.name.c_str(), run.wallSeconds);
        }
        std::printf("\n");
    }
    if (!CheckAgainstUnzip(ours, unzip, "after the last round", &checked)) return 1;

    std::printf("\n%-8s %10s %9s %9s %9s %9s %12s\n", "tool", "median s", "min s", "max s",
                "user s", "sys s", "peak RSS");
    std::vector<double> medians;
    for (const Tool& tool : tools) {
        const std::vector<double> wall = Collect(tool.runs, [](const bench::ChildRun& r) { return r.wallSeconds; });
        const double median = Median(wall);
        medians.push_back(median);
        long peakKib = 0;
        for (const bench::ChildRun& r : tool.runs) peakKib = std::max(peakKib, r.maxRssKib);
        std::printf("%-8s %10.3f %9.3f %9.3f %9.3f %9.3f %8.1f MiB\n", tool.name.c_str(), median,
                    *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
                    Median(Collect(tool.runs, [](const bench::ChildRun& r) { return r.userSeconds; })),
                    Median(Collect(tool.runs, [](const bench::ChildRun& r) { return r.systemSeconds; })),
                    static_cast<double>(peakKib) / 1024.0);
    }
    long oursPeakKib = 0;
    for (const bench::ChildRun& r : ours.runs) oursPeakKib = std::max(oursPeakKib, r.maxRssKib);
    const double oursPeakMib = static_cast<double>(oursPeakKib) / 1024.0;
    const double ratioUnzip = medians[0] / medians[1];
    const double ratioBsdtar = medians[0] / medians[2];
    std::printf("(user and sys columns are medians; peak RSS is the largest over the timed rounds)\n\n");
    std::printf("ours throughput   %.1f MB/s (%llu uncompressed bytes / median wall time; MB = 10^6 bytes)\n",
                static_cast<double>(content.bytes) / medians[0] / 1e6,
                static_cast<unsigned long long>(content.bytes));
    std::printf("ours peak memory  %.1f MiB    goal < %.0f MiB: %s\n", oursPeakMib, kGoalPeakMib,
                Verdict(oursPeakMib < kGoalPeakMib));
    std::printf("ours/unzip        %.3f       goal <= %.1f: %s\n", ratioUnzip, kGoalRatioUnzip,
                Verdict(ratioUnzip <= kGoalRatioUnzip));
    std::printf("ours/bsdtar       %.3f\n", ratioBsdtar);

    if (options.keep) {
        // Only the last round's trees stay.
        std::vector<std::string> last;
        for (const Tool& tool : tools) last.push_back(tool.outDir);
        for (const auto& entry : fs::directory_iterator(outRoot, ec)) {
            if (std::find(last.begin(), last.end(), entry.path().string()) == last.end()) {
                DeleteTree(entry.path().string(), stamp);
            }
        }
        std::printf("the last round's outputs are kept in %s\n", outRoot.c_str());
    } else {
        DeleteTree(outRoot, stamp);
    }
    return 0;
}
