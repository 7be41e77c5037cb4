// walk_bench: times the updater's file walk against one md5sum process (find | xargs md5sum) and
// against md5sum on every core (xargs -P) over one generated tree, all with a warm page cache,
// and prints both ratios and our peak memory. Our side is this program started again with
// --run, so that its peak memory is the walk's own.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "ergodic_dirs_work.h"
#include "fetch_list.h"
#include "manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 0.6;          // against one md5sum process
constexpr double kGoalParallelRatio = 1.0;  // against md5sum on every core
constexpr double kGoalPeakMib = 64.0;

// Turns md5sum's "<md5>  <path>" lines into a manifest that names every file with its true
// checksum, so our walk must agree with md5sum on every file to find nothing to fetch.
bool WriteManifest(const fs::path& sums, const fs::path& tree, const fs::path& manifest, std::size_t* entries,
                   std::string* error) {
    std::ifstream in(sums);
    std::ofstream out(manifest);
    const std::string prefix = tree.string() + "/";
    out << "{\"version\":\"bench\",\"description\":\"\",\"updatedate\":\"\",\"filelist\":[\n";
    for (std::string line; std::getline(in, line); ++*entries) {
        if (line.size() < 34 || line.compare(32, 2, "  ") != 0 || line.compare(34, prefix.size(), prefix) != 0) {
            *error = "unexpected md5sum line: " + line;
            return false;
        }
        const std::string name = "/" + line.substr(34 + prefix.size()) + ".zip";
        out << (*entries ? ",\n" : "") << "{\"name\":\"" << name << "\",\"md5\":\"" << line.substr(0, 32)
            << "\",\"url\":\"https://updates.test" << name << "\"}";
    }
    out << "\n]}\n";
    if (!out) *error = "cannot write " + manifest.string();
    return static_cast<bool>(out);
}

// The updater's file walk once, on the global pool as the updater runs it, over root against
// the manifest. Exit 0 when nothing is to fetch, 3 otherwise.
int RunWalk(QCoreApplication& app, const QString& root, const QString& manifestPath) {
    ManifestTexts texts;
    ManifestMap files;
    if (!ReadManifest(manifestPath, &texts, &files)) {
        std::fprintf(stderr, "walk_bench --run: %s is not a manifest\n", qPrintable(manifestPath));
        return 2;
    }
    bool differs = false;
    auto* work = new ErgodicDirsWork(root, files);
    QObject::connect(
        work, &ErgodicDirsWork::ergodicdirfinished, &app, [&](bool found) { differs = found; app.quit(); },
        Qt::QueuedConnection);
    QThreadPool::globalInstance()->start(work);
    app.exec();
    if (!differs) return 0;
    std::fprintf(stderr, "walk_bench --run: %d of %d entries differ, first %s\n", fetchList.size(), files.size(),
                 qPrintable(fetchList.firstKey()));
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times the updater's file walk against find | xargs [-P] md5sum.", 5, {
        {"tree-mib", "Bytes of the many-file part of the tree, 10 files per MiB.", "N", "500"},
        {"big-mib", "Size of the one large file.", "N", "1024"},
        {"data-dir", "Cache folder of the tree and its manifest.", "DIR", "bench-data"},
        {"run", "Our side, as the driver starts it: one walk of --root against --manifest."},
        {"root", "With --run: the tree to walk.", "DIR"},
        {"manifest", "With --run: the manifest to walk against.", "FILE"},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned treeMib = bench::Number(parser, "tree-mib", 1, 4096);
    const unsigned bigMib = bench::Number(parser, "big-mib", 0, 4096);
    if (parser.isSet("run")) return RunWalk(app, parser.value("root"), parser.value("manifest"));
    if (!bench::HaveTools("walk_bench", {"sh", "find", "xargs", "md5sum"})) return 2;

    const fs::path data = fs::absolute(parser.value("data-dir").toStdString());
    const fs::path tree = data / "walk-tree";
    const fs::path sums = data / "walk-tree.md5";
    const fs::path manifest = data / "walk-tree.json";
    std::printf("file walk benchmark\n");
    std::printf("  ours         walk_bench --run (ErgodicDirsWork on the global pool)\n");
    std::printf("  peer         find ROOT -type f -name '*.*' -print0 | xargs -0 md5sum (%s)\n",
                bench::FirstOutputLine("md5sum", {"--version"}).c_str());
    // Without -n, xargs packs the 5,000 names into one or two commands and -P has nothing to
    // spread; 16 names per md5sum keeps every core busy until the large file is left.
    std::printf("  peer -P      find ROOT -type f -name '*.*' -print0 | xargs -0 -P $(nproc) -n 16 md5sum\n");

    std::vector<bench::TreeFile> files = bench::PlanTree({20240501, treeMib * 10u, std::uint64_t{treeMib} << 20, 0, 1});
    if (bigMib > 0) files.push_back({"big/cache.pak", std::uint64_t{bigMib} << 20, bench::Content::Random, 7});
    std::uint64_t bytes = 0;
    for (const bench::TreeFile& file : files) bytes += file.size;
    const std::string what = "walk-tree v" + std::to_string(bench::kTreeVersion) + " tree-mib " +
                             std::to_string(treeMib) + " big-mib " + std::to_string(bigMib);
    std::string error;
    bool made = false;
    if (!bench::EnsureTree(tree.string(), files, what, &made, &error)) {
        std::fprintf(stderr, "walk_bench: %s\n", error.c_str());
        return 1;
    }

    // The peer's warm-up also yields the checksums the manifest is made of.
    const std::string script = "find \"$1\" -type f -name '*.*' -print0 | xargs -0 md5sum > \"$2\"";
    const std::string parallelScript =
        "find \"$1\" -type f -name '*.*' -print0 | xargs -0 -P \"$(nproc)\" -n 16 md5sum > \"$2\"";
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    std::vector<bench::Tool> tools = {
        {"ours", {program, "--run", "--root", tree.string(), "--manifest", manifest.string()}, {}},
        {"md5sum", {"sh", "-c", script, "sh", tree.string()}, {}},
        {"xargs -P", {"sh", "-c", parallelScript, "sh", tree.string()}, {}}};
    std::size_t entries = 0;
    if (!bench::RunTool(tools[1], false, {sums.string()}) || !WriteManifest(sums, tree, manifest, &entries, &error)) {
        std::fprintf(stderr, "walk_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("  content      %zu files with a dot in the name, manifest %s\n", entries, manifest.c_str());
    // Exit 0 from ours means every file's checksum equals md5sum's.
    if (!bench::RunTool(tools[0], false)) return 1;
    std::printf("  check        ours agrees with md5sum on all %zu files\n", entries);
    std::printf("  method       %u timed rounds after one untimed warm-up each, order alternating\n", rounds);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("  driver peak  %.1f MiB before the timed rounds (bounds what a child inherits)\n",
                self.ru_maxrss / 1024.0);

    if (!bench::RunRounds(tools, rounds, [](bench::Tool& tool, unsigned) {
            return tool.name == "ours" ? bench::RunTool(tool, true) : bench::RunTool(tool, true, {"/dev/null"});
        })) {
        return 1;
    }
    bench::PrintTable({&tools[0], &tools[1], &tools[2]});
    const double ratio = tools[0].MedianWall() / tools[1].MedianWall();
    const double parallelRatio = tools[0].MedianWall() / tools[2].MedianWall(), peak = tools[0].PeakMib();
    // MD5 of one file cannot be split across cores: the largest file's share of all bytes is a
    // floor under ours/md5sum that no number of cores lowers.
    std::printf("ours: %.0f MB/s over %llu bytes on %d cores; ours/md5sum = %.3f (goal <= %.1f) %s; "
                "ours/xargs -P = %.3f (goal <= %.1f) %s; peak %.1f MiB (goal < %.0f) %s\n",
                bytes / tools[0].MedianWall() / 1e6, (unsigned long long)bytes, QThread::idealThreadCount(), ratio,
                kGoalRatio, bench::Verdict(ratio <= kGoalRatio), parallelRatio, kGoalParallelRatio,
                bench::Verdict(parallelRatio <= kGoalParallelRatio), peak, kGoalPeakMib,
                bench::Verdict(peak < kGoalPeakMib));
    if (bigMib > 0) {
        std::printf("  floor        the large file alone is %.2f of all bytes\n",
                    double(std::uint64_t{bigMib} << 20) / double(bytes));
    }
    return 0;
}
