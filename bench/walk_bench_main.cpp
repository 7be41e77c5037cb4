// Benchmark driver: times the updater's file walk (walk_run) against find | xargs md5sum over
// one generated tree, both with a warm page cache, and prints the ratio and our peak memory.
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "bench_process.h"
#include "bench_random.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 1.1;
constexpr double kGoalPeakMib = 64.0;
constexpr unsigned kFilesPerMib = 10;
constexpr int kTreeVersion = 1;  // bump when the generator changes its output

struct Options {
    unsigned rounds = 5;
    unsigned treeMib = 500;
    unsigned bigMib = 1024;
    std::string dataDir;
    std::string walker;
};

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: walk_bench [--rounds N] [--tree-mib N] [--big-mib N] [--data-dir DIR] "
                 "[--walker PATH]\n"
                 "  --rounds N     timed rounds per tool, after one warm-up (default 5)\n"
                 "  --tree-mib N   bytes of the many-file part of the tree, %u files per MiB "
                 "(default 500)\n"
                 "  --big-mib N    size of the one large file (default 1024)\n"
                 "  --data-dir DIR cache folder for the tree and its manifest (default bench-data)\n"
                 "  --walker PATH  our walk program (default: walk_run beside walk_bench)\n",
                 kFilesPerMib);
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--rounds" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 100, &options->rounds)) return false;
        } else if (arg == "--tree-mib" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 4096, &options->treeMib)) return false;
        } else if (arg == "--big-mib" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 0, 4096, &options->bigMib)) return false;
        } else if (arg == "--data-dir" && hasValue) {
            options->dataDir = argv[++i];
        } else if (arg == "--walker" && hasValue) {
            options->walker = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

struct PlannedFile {
    std::string relative;
    std::uint64_t size;
};

// The tree: treeMib * kFilesPerMib files of skewed sizes (many small, few of some MiB, about
// one in a hundred empty) in folders up to four levels deep, plus one large file. Every name
// has a dot and none is hidden, so the walk and find list the same files.
std::vector<PlannedFile> PlanTree(const Options& options) {
    bench::Rng random(20240501);
    static const char* const kExtensions[] = {".dll", ".txt", ".pak", ".json", ".png", ".qm"};
    const std::uint64_t count = std::uint64_t{options.treeMib} * kFilesPerMib;
    std::vector<PlannedFile> files;
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string folder = "p" + std::to_string(random.Below(8));
        const std::uint64_t depth = random.Below(4);
        for (std::uint64_t level = 0; level < depth; ++level) {
            folder += "/" + std::string(1, static_cast<char>('a' + level)) +
                      std::to_string(random.Below(5));
        }
        const std::uint64_t kind = random.Below(100);
        std::uint64_t size;
        if (kind == 0) {
            size = 0;
        } else if (kind < 60) {
            size = 256 + random.Below(32 * 1024);
        } else if (kind < 92) {
            size = 32 * 1024 + random.Below(224 * 1024);
        } else {
            size = 256 * 1024 + random.Below(3 * 1024 * 1024);
        }
        char name[32];
        std::snprintf(name, sizeof name, "/f%05llu", static_cast<unsigned long long>(i));
        files.push_back({folder + name + kExtensions[random.Below(6)], size});
        total += size;
    }
    // Scale to the requested total; the last file takes the rounding.
    const std::uint64_t target = std::uint64_t{options.treeMib} << 20;
    std::uint64_t scaled = 0;
    for (size_t i = 0; i + 1 < files.size(); ++i) {
        files[i].size = static_cast<std::uint64_t>(static_cast<double>(files[i].size) *
                                                   static_cast<double>(target) /
                                                   static_cast<double>(total));
        scaled += files[i].size;
    }
    if (!files.empty()) files.back().size = target > scaled ? target - scaled : 0;
    if (options.bigMib > 0) {
        files.push_back({"big/installer-cache.pak", std::uint64_t{options.bigMib} << 20});
    }
    return files;
}

bool WriteFileContent(const fs::path& path, std::uint64_t size, std::uint64_t seed,
                      std::vector<std::uint64_t>* buffer) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    bench::Rng random(seed);
    bool ok = true;
    std::uint64_t left = size;
    while (ok && left > 0) {
        for (std::uint64_t& word : *buffer) word = random.Next();
        const size_t chunk = static_cast<size_t>(
            std::min<std::uint64_t>(left, buffer->size() * sizeof(std::uint64_t)));
        ok = std::fwrite(buffer->data(), 1, chunk, out) == chunk;
        left -= chunk;
    }
    return std::fclose(out) == 0 && ok;
}

std::string Describe(const Options& options) {
    return "walk-tree v" + std::to_string(kTreeVersion) + " tree-mib " +
           std::to_string(options.treeMib) + " big-mib " + std::to_string(options.bigMib);
}

// Builds dataDir/walk-tree unless the marker beside it says it holds this very tree.
bool EnsureTree(const Options& options, const fs::path& tree, std::string* error) {
    const fs::path marker = tree.string() + ".done";
    {
        std::ifstream in(marker);
        std::string line;
        if (in && std::getline(in, line) && line == Describe(options)) {
            std::printf("  tree         reused %s\n", tree.c_str());
            return true;
        }
    }
    std::error_code ec;
    fs::remove(marker, ec);
    fs::remove_all(tree, ec);
    const std::vector<PlannedFile> files = PlanTree(options);
    std::uint64_t bytes = 0;
    for (const PlannedFile& file : files) bytes += file.size;

    struct statvfs fsInfo {};
    fs::create_directories(tree, ec);
    if (ec) {
        *error = "cannot create " + tree.string() + ": " + ec.message();
        return false;
    }
    if (statvfs(tree.c_str(), &fsInfo) == 0) {
        const double freeBytes = static_cast<double>(fsInfo.f_bavail) * fsInfo.f_frsize;
        if (freeBytes < static_cast<double>(bytes) * 1.1) {
            *error = "not enough free space for the " + std::to_string(bytes >> 20) + " MiB tree";
            return false;
        }
    }
    std::printf("  tree         generating %zu files, %llu MiB in %s\n", files.size(),
                static_cast<unsigned long long>(bytes >> 20), tree.c_str());
    std::fflush(stdout);
    std::vector<std::uint64_t> buffer(1 << 17);  // 1 MiB
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path path = tree / files[i].relative;
        fs::create_directories(path.parent_path(), ec);
        if (ec || !WriteFileContent(path, files[i].size, 1000003ull * (i + 1), &buffer)) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    sync();  // no write-back running under the timed rounds
    std::ofstream(marker) << Describe(options) << "\n";
    return true;
}

// Turns md5sum's "<md5>  <path>" lines into a manifest that names every file with its true
// checksum, so our walk must agree with md5sum on every file to find nothing to fetch.
bool WriteManifest(const fs::path& sums, const fs::path& tree, const fs::path& manifest,
                   size_t* entries, std::string* error) {
    std::ifstream in(sums);
    const std::string prefix = tree.string() + "/";
    std::map<std::string, std::string> byName;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 34 || line.compare(32, 2, "  ") != 0 ||
            line.compare(34, prefix.size(), prefix) != 0) {
            *error = "unexpected md5sum line: " + line;
            return false;
        }
        byName["/" + line.substr(34 + prefix.size()) + ".zip"] = line.substr(0, 32);
    }
    std::ofstream out(manifest);
    out << "{\"version\":\"bench\",\"description\":\"\",\"updatedate\":\"\",\"filelist\":[\n";
    bool first = true;
    for (const auto& [name, md5] : byName) {
        out << (first ? "" : ",\n") << "{\"name\":\"" << name << "\",\"md5\":\"" << md5
            << "\",\"url\":\"https://updates.test" << name << "\"}";
        first = false;
    }
    out << "\n]}\n";
    *entries = byName.size();
    if (!out) *error = "cannot write " + manifest.string();
    return static_cast<bool>(out);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Tool {
    std::string name;
    std::vector<std::string> argv;
    std::vector<bench::ChildRun> runs;
};

bool RunOnce(Tool* tool, bool keep) {
    const bench::ChildRun run = bench::RunChild(tool->argv);
    if (!run.started || run.exitCode != 0) {
        std::fprintf(stderr, "walk_bench: FAILED: %s (exit %d, signal %d)\n", tool->name.c_str(),
                     run.exitCode, run.signal);
        return false;
    }
    if (keep) tool->runs.push_back(run);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(stderr);
        return 2;
    }
    const fs::path self = fs::absolute(argv[0]);
    if (options.walker.empty()) options.walker = (self.parent_path() / "walk_run").string();
    if (options.dataDir.empty()) options.dataDir = "bench-data";
    if (access(options.walker.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "walk_bench: %s is missing; build the walk_run target\n",
                     options.walker.c_str());
        return 2;
    }
    for (const char* program : {"sh", "find", "xargs", "md5sum"}) {
        if (bench::FindInPath(program).empty()) {
            std::fprintf(stderr, "walk_bench: %s is not installed\n", program);
            return 2;
        }
    }

    const fs::path data = fs::absolute(options.dataDir);
    const fs::path tree = data / "walk-tree";
    const fs::path sums = data / "walk-tree.md5";
    const fs::path manifest = data / "walk-tree.json";

    std::printf("file walk benchmark\n");
    std::printf("  ours         %s (ErgodicDirsWork on the global pool)\n", options.walker.c_str());
    std::printf("  peer         find ROOT -type f -name '*.*' -print0 | xargs -0 md5sum (%s)\n",
                bench::FirstOutputLine({"md5sum", "--version"}).c_str());
    std::string error;
    if (!EnsureTree(options, tree, &error)) {
        std::fprintf(stderr, "walk_bench: %s\n", error.c_str());
        return 1;
    }

    // The peer's warm-up also yields the checksums the manifest is made of.
    const std::string script = "find \"$1\" -type f -name '*.*' -print0 | xargs -0 md5sum > \"$2\"";
    Tool peer{"md5sum", {"sh", "-c", script, "sh", tree.string(), "/dev/null"}, {}};
    Tool warmPeer{"md5sum (warm-up)", {"sh", "-c", script, "sh", tree.string(), sums.string()}, {}};
    Tool ours{"ours", {options.walker, tree.string(), manifest.string()}, {}};
    if (!RunOnce(&warmPeer, false)) return 1;
    size_t entries = 0;
    if (!WriteManifest(sums, tree, manifest, &entries, &error)) {
        std::fprintf(stderr, "walk_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("  content      %zu files with a dot in the name, manifest %s\n", entries,
                manifest.c_str());
    // Exit 0 from ours means every file's checksum equals md5sum's.
    if (!RunOnce(&ours, false)) return 1;
    std::printf("  check        ours agrees with md5sum on all %zu files\n", entries);
    std::printf("  method       %u timed rounds after one untimed warm-up each, order alternating;\n"
                "               wall = fork() to wait4(); peak = ru_maxrss from wait4()\n",
                options.rounds);
    rusage self_usage{};
    getrusage(RUSAGE_SELF, &self_usage);
    std::printf("  driver peak  %.1f MiB before the timed rounds (bounds what a child inherits)\n",
                static_cast<double>(self_usage.ru_maxrss) / 1024.0);

    for (unsigned round = 0; round < options.rounds; ++round) {
        Tool* order[2] = {&ours, &peer};
        if (round % 2) std::swap(order[0], order[1]);
        std::printf("round %u:", round + 1);
        for (Tool* tool : order) {
            if (!RunOnce(tool, true)) return 1;
            std::printf("  %s %.3f s", tool->name.c_str(), tool->runs.back().wallSeconds);
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    std::printf("\n%-8s %10s %9s %9s %9s %9s %12s\n", "tool", "median s", "min s", "max s",
                "user s", "sys s", "peak MiB");
    double medians[2] = {};
    double peaks[2] = {};
    Tool* tools[2] = {&ours, &peer};
    for (int t = 0; t < 2; ++t) {
        std::vector<double> wall, user, sys;
        long peak = 0;
        for (const bench::ChildRun& run : tools[t]->runs) {
            wall.push_back(run.wallSeconds);
            user.push_back(run.userSeconds);
            sys.push_back(run.systemSeconds);
            peak = std::max(peak, run.maxRssKib);
        }
        medians[t] = Median(wall);
        peaks[t] = static_cast<double>(peak) / 1024.0;
        std::printf("%-8s %10.3f %9.3f %9.3f %9.3f %9.3f %12.1f\n", tools[t]->name.c_str(),
                    medians[t], *std::min_element(wall.begin(), wall.end()),
                    *std::max_element(wall.begin(), wall.end()), Median(user), Median(sys),
                    peaks[t]);
    }
    std::uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (entry.is_regular_file()) bytes += entry.file_size();
    }
    const double ratio = medians[0] / medians[1];
    std::printf("\nours: %.0f MB/s over %llu bytes; ours/md5sum = %.3f (goal <= %.1f) %s; "
                "peak %.1f MiB (goal < %.0f) %s\n",
                static_cast<double>(bytes) / medians[0] / 1e6,
                static_cast<unsigned long long>(bytes), ratio, kGoalRatio,
                ratio <= kGoalRatio ? "met" : "NOT met", peaks[0], kGoalPeakMib,
                peaks[0] < kGoalPeakMib ? "met" : "NOT met");
    return 0;
}
