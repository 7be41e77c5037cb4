// zip_bench: times extraction of one archive by our engine (zip_extract), by Info-ZIP unzip and
// by bsdtar, checks that our tree equals unzip's, and prints the ratios. Not a test.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "tree_compare.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatioUnzip = 0.9;
constexpr double kGoalPeakMib = 16.0;
// How long ext4 may keep stepping over freed inodes: a minute once their inode-table block is
// on disk, five more while new inodes keep that block dirty; with a margin. Files created
// sooner after a mass deletion cost up to several times the kernel time.
constexpr int kSettleSeconds = 370;

// Deletes a tree. From a thousand entries on (a few hundred freed inodes make no measurable
// difference) the time is noted in the stamp file, for WaitAfterDeletions.
void DeleteTree(const std::string& path, const std::string& stamp) {
    std::error_code ec;
    const std::uintmax_t removed = fs::remove_all(path, ec);
    if (removed < 1000 || removed == static_cast<std::uintmax_t>(-1)) return;
    sync();
    std::ofstream{stamp};
}

// Holds the runs back until kSettleSeconds have passed since the last deletion noted in stamp,
// by this run or an earlier one.
void WaitAfterDeletions(const std::string& stamp) {
    std::error_code ec;
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(stamp, ec);
    const auto settle = std::chrono::seconds(kSettleSeconds);
    if (ec || age >= settle || age.count() < 0) return;
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(settle - age) + std::chrono::seconds(1);
    std::printf("waiting %lld s: files were deleted here less than %d s ago\n", (long long)wait.count(),
                kSettleSeconds);
    std::this_thread::sleep_for(wait);
}

// The archive of a generated tree of sizeMib MiB, built once and kept with its tree (deleting
// thousands of files just before the timed runs would slow down the file creation they time).
bool EnsureArchive(const std::string& dataDir, unsigned sizeMib, const std::string& stamp, std::string* archive,
                   std::string* error) {
    const std::string tag = std::to_string(sizeMib) + "mib-v" + std::to_string(bench::kTreeVersion);
    *archive = dataDir + "/extract-" + tag + ".zip";
    if (fs::is_regular_file(*archive)) return true;
    const std::string tree = dataDir + "/tree-" + tag;
    const std::string partial = *archive + ".partial";  // never reused if interrupted
    const std::string list = tree + ".list";
    DeleteTree(tree, stamp);
    // About 14 files per MiB, 70 % text, 3 % empty, two large files of 4 % each.
    const std::uint64_t bytes = std::uint64_t{sizeMib} << 20, big = bytes / 25;
    std::vector<bench::TreeFile> files = bench::PlanTree({5 + sizeMib, sizeMib * 14u, bytes - 2 * big, 70, 3});
    files.push_back({"big_0.log", big, bench::Content::Log, 1});
    files.push_back({"big_1.bin", big, bench::Content::Random, 2});
    std::printf("building %s: %zu files ...\n", archive->c_str(), files.size());
    if (!bench::WriteTree(tree, files, error)) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        fs::create_directories(fs::path(tree) / fs::path(files[i].path).parent_path() / ("empty" + std::to_string(i)));
    }

    // zip gets the sorted list of every folder and file rather than `-r`: recursing would store
    // the folders in directory-read order and with the access times that its own reading leaves
    // behind, so the archive's bytes would differ from one build to the next.
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        names.push_back(entry.path().lexically_relative(tree).string() + (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    std::ofstream out(list);
    for (const std::string& name : names) out << name << '\n';
    out.close();
    if (!out || !bench::FixTimes(tree)) {
        *error = "cannot write " + list + " or set the times below " + tree;
        return false;
    }
    const bench::ChildRun zip = bench::RunChild({"zip", "-q", fs::absolute(partial).string(), "-@"}, tree, list);
    std::error_code ec;
    if (zip.exitCode == 0) fs::rename(partial, *archive, ec);
    if (zip.exitCode != 0 || ec) {
        *error = "zip failed (exit " + std::to_string(zip.exitCode) + ")";
        return false;
    }
    fs::remove(list, ec);
    return true;
}

// Reads the whole archive so that it is in the page cache when the clock starts: the kernel may
// reclaim some of its pages between runs.
void WarmFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), buffer.size())) {
    }
}

// Every run extracts into a folder of its own that did not exist before. Earlier outputs stay:
// ext4 steps over recently freed inodes, so creating thousands of files right after deleting
// thousands costs more kernel time, by a varying amount. sync() keeps the writeback of earlier
// runs out of the timed one.
bool Extract(bench::Tool& tool, const std::string& archive, const std::string& out, bool timed) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(out, ec)) || !fs::create_directories(out, ec)) {
        std::fprintf(stderr, "zip_bench: cannot create a new folder %s\n", out.c_str());
        return false;
    }
    sync();
    WarmFile(archive);
    return bench::RunTool(tool, timed, {out});
}

bool CheckAgainstUnzip(const std::string& ours, const std::string& unzip, const char* when,
                       bench::TreeSummary* summary) {
    std::vector<std::string> differences;
    if (bench::CompareTrees(ours, unzip, 20, &differences, summary)) {
        std::printf("check (%s): ours == unzip: %llu files, %llu folders, %llu bytes identical\n", when,
                    (unsigned long long)summary->files, (unsigned long long)summary->folders,
                    (unsigned long long)summary->bytes);
        return true;
    }
    std::printf("check (%s): FAILED: our output differs from unzip's (trees left in %s and %s):\n", when,
                ours.c_str(), unzip.c_str());
    for (const std::string& line : differences) std::printf("  %s\n", line.c_str());
    return false;
}

// All outputs stay until the end: tools x runs trees of the content size plus block rounding.
bool EnoughRoom(const std::string& dir, unsigned sizeMib, unsigned trees) {
    std::error_code ec;
    const double available = fs::space(dir, ec).available / 1048576.0, needed = (sizeMib * 1.1 + 32.0) * trees + 512.0;
    if (ec || available >= needed) return true;  // when it cannot tell, the runs will show
    std::fprintf(stderr, "zip_bench: %s has %.0f MiB free; %u trees need about %.0f MiB\n", dir.c_str(), available,
                 trees, needed);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times zip extraction by our engine against unzip and bsdtar.", 5, {
        {"size-mib", "Uncompressed size of the archive's content.", "N", "200"},
        {"keep", "Keep the last round's extracted trees in DIR/out."},
        {"no-wait", "Start at once even when an earlier run deleted its outputs less than 370 s ago (the "
                    "figures then carry extra kernel time)."},
        {"data-dir", "Cache folder of the archive and the outputs.", "DIR", "bench-data"},
        {"extractor", "Our extraction program.", "PATH", QCoreApplication::applicationDirPath() + "/zip_extract"},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 1000);
    // Sizes stay well below 4 GiB: the archive holds no 64-bit size records.
    const unsigned sizeMib = bench::Number(parser, "size-mib", 1, 3000);
    const std::string extractor = parser.value("extractor").toStdString();
    const std::string dataDir = fs::absolute(parser.value("data-dir").toStdString()).lexically_normal().string();
    if (!bench::HaveTools("zip_bench", {parser.value("extractor"), "zip", "unzip", "bsdtar"})) return 2;

    const std::string stamp = dataDir + "/last-deletion";
    const std::string outRoot = dataDir + "/out";
    std::string archive, error;
    if (!EnsureArchive(dataDir, sizeMib, stamp, &archive, &error)) {
        std::fprintf(stderr, "zip_bench: cannot build the archive: %s\n", error.c_str());
        return 1;
    }
    std::vector<bench::Tool> tools = {{"ours", {extractor, archive}, {}},
                                      {"unzip", {"unzip", "-o", "-q", archive, "-d"}, {}},
                                      {"bsdtar", {"bsdtar", "-xf", archive, "-C"}, {}}};
    auto out = [&](const bench::Tool& t, unsigned run) { return outRoot + "/" + t.name + "-" + std::to_string(run); };
    DeleteTree(outRoot, stamp);  // left by a failed run
    if (!EnoughRoom(dataDir, sizeMib, (rounds + 1) * 3)) return 1;

    std::printf("zip extraction benchmark\n");
    std::printf("  ours         %s\n", extractor.c_str());
    std::printf("  unzip        %s\n", bench::FirstOutputLine("unzip", {"-v"}).c_str());
    std::printf("  bsdtar       %s\n", bench::FirstOutputLine("bsdtar", {"--version"}).c_str());
    std::printf("  archive      %s, %llu bytes\n", archive.c_str(), (unsigned long long)fs::file_size(archive));
    std::printf("  method       %u timed rounds after one warm-up, order rotating; each run into a new folder\n"
                "               below %s after sync() and a read of the archive\n", rounds, outRoot.c_str());
    if (!parser.isSet("no-wait")) WaitAfterDeletions(stamp);

    // Warm-up: brings the archive and the programs into the page cache; not timed.
    for (bench::Tool& tool : tools) {
        if (!Extract(tool, archive, out(tool, 0), false)) return 1;
    }
    bench::TreeSummary content;
    if (!CheckAgainstUnzip(out(tools[0], 0), out(tools[1], 0), "after warm-up", &content)) return 1;
    if (!bench::RunRounds(tools, rounds, [&](bench::Tool& tool, unsigned round) {
            return Extract(tool, archive, out(tool, round), true);
        }) ||
        !CheckAgainstUnzip(out(tools[0], rounds), out(tools[1], rounds), "after the last round", &content)) {
        return 1;
    }

    bench::PrintTable({&tools[0], &tools[1], &tools[2]});
    const double ours = tools[0].MedianWall(), peak = tools[0].PeakMib();
    const double ratioUnzip = ours / tools[1].MedianWall();
    std::printf("ours throughput   %.1f MB/s (%llu uncompressed bytes / median wall time; MB = 10^6 bytes)\n",
                content.bytes / ours / 1e6, (unsigned long long)content.bytes);
    std::printf("ours peak memory  %.1f MiB    goal < %.0f MiB: %s\n", peak, kGoalPeakMib,
                bench::Verdict(peak < kGoalPeakMib));
    std::printf("ours/unzip        %.3f       goal <= %.1f: %s\n", ratioUnzip, kGoalRatioUnzip,
                bench::Verdict(ratioUnzip <= kGoalRatioUnzip));
    std::printf("ours/bsdtar       %.3f\n", ours / tools[2].MedianWall());

    if (!parser.isSet("keep")) {
        DeleteTree(outRoot, stamp);
        return 0;
    }
    for (unsigned run = 0; run < rounds; ++run) {
        for (const bench::Tool& tool : tools) DeleteTree(out(tool, run), stamp);
    }
    std::printf("the last round's outputs are kept in %s\n", outRoot.c_str());
    return 0;
}
