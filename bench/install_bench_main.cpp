// install_bench: times the install step of an update (install::ReplaceFiles over the files an
// update unpacked, against an installed old version) against cp -r of the same files into a
// fresh copy of the same installed version. Our side is this program started again with --run,
// so that its time and memory are its own. Not a test.
#include <unistd.h>

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>

#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "install_steps.h"
#include "tree_compare.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 1.5;

// The child: the step as the programs run it, over every unpacked file below --work.
int RunStep(const QCommandLineParser& parser) {
    const install::StepResult result = install::ReplaceFiles(parser.value("work"), parser.value("root"));
    if (result == install::StepResult::Done) return 0;
    std::fprintf(stderr, "install_bench --run: the step did not finish\n");
    return 1;
}

// A fresh copy of the installed version at root (not timed), its writeback finished, then one
// timed run of the tool over it.
bool InstallOnce(bench::Tool& tool, const fs::path& old, const fs::path& root, bool timed) {
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::copy(old, root, fs::copy_options::recursive, ec);
    if (ec) {
        std::fprintf(stderr, "install_bench: copying the installed version: %s\n", ec.message().c_str());
        return false;
    }
    sync();
    return bench::RunTool(tool, timed, {root.string()});
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times the install step against cp -r of the same files.", 5, {
        {"files", "Files of the installed version.", "N", "2000"},
        {"size-mib", "Bytes of the installed version.", "N", "200"},
        {"changed-percent", "Files that the update rewrites or adds.", "P", "30"},
        {"data-dir", "Cache folder of the versions and the installs.", "DIR", "bench-data"},
        {"run", "Run the step once (the timed child): --work, --root."},
        {"work", "With --run: the folder of unpacked files.", "DIR"},
        {"root", "With --run: the install root.", "DIR"},
    });
    if (parser.isSet("run")) return RunStep(parser);
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned files = bench::Number(parser, "files", 10, 100000);
    const unsigned sizeMib = bench::Number(parser, "size-mib", 1, 4096);
    const unsigned changedPercent = bench::Number(parser, "changed-percent", 1, 100);
    if (!bench::HaveTools("install_bench", {"cp", "sh", "sync"})) return 2;

    const std::string tag =
        std::to_string(files) + "f-" + std::to_string(sizeMib) + "mib-" + std::to_string(changedPercent) + "pct";
    const fs::path cache = fs::absolute(parser.value("data-dir").toStdString()) / ("install-" + tag);
    const std::string what = "install v" + std::to_string(bench::kTreeVersion) + " " + tag;
    // The unpacked update holds what differs: the rewritten files and the added ones.
    const bench::Versions versions = bench::MakeVersions(files, sizeMib, changedPercent);
    std::vector<bench::TreeFile> unpacked;
    for (std::size_t i = 0; i < versions.newFiles.size(); ++i) {
        if (i >= versions.oldFiles.size() || versions.newFiles[i].seed != versions.oldFiles[i].seed) {
            unpacked.push_back(versions.newFiles[i]);
        }
    }
    const fs::path old = cache / "old", work = cache / "unpacked";
    std::string error;
    bool made = false;
    if (!bench::EnsureTree(old.string(), versions.oldFiles, what, &made, &error) ||
        !bench::EnsureTree(work.string(), unpacked, what, &made, &error)) {
        std::fprintf(stderr, "install_bench: %s\n", error.c_str());
        return 1;
    }

    std::printf("install benchmark\n");
    std::printf("  installed    %zu files, %.1f MiB\n", versions.oldFiles.size(), versions.oldBytes / 1048576.0);
    std::printf("  update       %zu rewritten, %zu added, %.1f MiB\n", versions.modified, versions.added,
                versions.changedBytes / 1048576.0);
    std::printf("  method       %u timed rounds after one untimed warm-up, order rotating; each run on a fresh "
                "copy of the installed version after sync(), warm cache\n", rounds);
    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    const std::string from = work.string();
    std::vector<bench::Tool> tools = {
        {"ours", {self, "--run", "--work", from, "--root"}, {}},
        {"cp-bak", {"cp", "-rT", "--backup=simple", "--suffix=.bak", from}, {}},
        {"cp", {"cp", "-rT", from}, {}},
        // cp made durable the way ours is: syncfs of the root's file system afterwards.
        {"cp+syncfs", {"sh", "-c", "cp -rT --backup=simple --suffix=.bak \"$0\" \"$1\" && sync -f \"$1\"", from}, {}},
    };
    const auto root = [&](const bench::Tool& tool) { return cache / ("root-" + tool.name); };
    for (bench::Tool& tool : tools) {
        if (!InstallOnce(tool, old, root(tool), false)) return 1;
    }
    if (!bench::RunRounds(tools, rounds, [&](bench::Tool& tool, unsigned) {
            return InstallOnce(tool, old, root(tool), true);
        })) {
        return 1;
    }
    // Ours must leave what cp with backups leaves: the new files, the old ones as ".bak".
    std::vector<std::string> differences;
    bench::TreeSummary summary;
    if (!bench::CompareTrees(root(tools[0]).string(), root(tools[1]).string(), 5, &differences, &summary)) {
        std::fprintf(stderr, "install_bench: ours and cp --backup differ:\n");
        for (const std::string& d : differences) std::fprintf(stderr, "  %s\n", d.c_str());
        return 1;
    }
    std::printf("  check        ours and cp --backup left the same %llu files\n", (unsigned long long)summary.files);
    bench::PrintTable({&tools[0], &tools[1], &tools[2], &tools[3]});
    const double ours = tools[0].MedianWall();
    // The goal is against plain cp -r. The other two say what it leaves out: cp --backup renames
    // the old files away instead of overwriting them (no flush on close) and syncs nothing;
    // cp+syncfs is that copy made as durable as ours.
    const double ratio = ours / tools[2].MedianWall();
    std::printf("ours/cp = %.3f (goal <= %.1f) %s\n", ratio, kGoalRatio, bench::Verdict(ratio <= kGoalRatio));
    std::printf("ours/cp+syncfs = %.3f\nours/cp-bak = %.3f\n", ours / tools[3].MedianWall(), ours / tools[1].MedianWall());
    return 0;
}
