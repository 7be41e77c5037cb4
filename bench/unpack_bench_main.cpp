// unpack_bench: times the unpack phase of an update (install::ExtractArchives over a download
// folder of one archive per file, as update-pack makes them) on every core against the same
// phase on one thread, and checks that both leave the same tree. Not a test.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>

#include <cstdio>
#include <filesystem>

#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "install_steps.h"
#include "tree_compare.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 0.6;

// The step on a pool thread, as the updater and the helper run it. With one pool thread the
// step holds it and unpacks every archive itself; with more, it shares the archives out.
double TimedUnpack(const QString& workDir, int poolThreads, bool* ok) {
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(poolThreads);
    QElapsedTimer clock;
    clock.start();
    pool->start(QRunnable::create([&] { *ok = install::ExtractArchives(workDir) == install::StepResult::Done; }));
    pool->waitForDone();
    return clock.nsecsElapsed() / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times the unpack phase on every core against one thread.", 5, {
        {"files", "Files of the update, one archive each.", "N", "2000"},
        {"size-mib", "Bytes of the update's files.", "N", "200"},
        {"data-dir", "Cache folder of the tree, its release and the work folders.", "DIR", "bench-data"},
        {"update-pack", "The publisher tool.", "PATH", UNPACK_BENCH_PACK},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned fileCount = bench::Number(parser, "files", 1, 100000);
    const unsigned sizeMib = bench::Number(parser, "size-mib", 1, 4096);
    const int cores = QThread::idealThreadCount();

    const fs::path data = fs::absolute(parser.value("data-dir").toStdString());
    const fs::path tree = data / "unpack-tree";
    const fs::path release = data / "unpack-release";
    const std::string what = "unpack-tree v" + std::to_string(bench::kTreeVersion) + " files " +
                             std::to_string(fileCount) + " size-mib " + std::to_string(sizeMib);
    std::printf("unpack benchmark\n");
    std::printf("  ours         install::ExtractArchives on the global pool: %d threads against 1\n", cores);

    const std::vector<bench::TreeFile> files =
        bench::PlanTree({20261209, fileCount, std::uint64_t{sizeMib} << 20, 60, 1});
    std::string error;
    bool made = false;
    if (!bench::EnsureTree(tree.string(), files, what, &made, &error)) {
        std::fprintf(stderr, "unpack_bench: %s\n", error.c_str());
        return 1;
    }
    if (made || !fs::exists(release / "update.json")) {
        const bench::ChildRun run = bench::RunChild({parser.value("update-pack").toStdString(), "--version", "2.0.0",
                                                     "--description", "Benchmark", "--base-url",
                                                     "http://127.0.0.1:1/release", "--output", release.string(),
                                                     "--replace", "--quiet", tree.string()});
        if (run.exitCode != 0) {
            std::fprintf(stderr, "unpack_bench: update-pack failed\n");
            return 1;
        }
        std::printf("  release      packed in %.1f s\n", run.wallSeconds);
    }
    std::printf("  content      %u files, %u MiB, one archive each\n", fileCount, sizeMib);
    std::printf("  method       %u timed rounds after one untimed warm-up, order alternating; each run on "
                "a fresh copy of the release\n", rounds);

    // Runs: one-thread and all-core alternately, the first pair untimed. Every run gets a copy
    // of its own and all copies are deleted at the end only: on ext4, creating thousands of files
    // within half a minute of deleting thousands costs several times the kernel time, under
    // locks that the threads of the all-core run would then queue on.
    std::vector<double> one, all;
    std::vector<fs::path> works;
    fs::path lastOne, lastAll;
    for (unsigned round = 0; round <= rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool serial = (round + k) % 2 == 0;
            const fs::path work = data / ((serial ? "unpack-one-" : "unpack-all-") + std::to_string(round));
            (serial ? lastOne : lastAll) = work;
            works.push_back(work);
            std::error_code ec;
            fs::remove_all(work, ec);  // left by an interrupted run
            fs::copy(release, work, fs::copy_options::recursive, ec);
            if (ec) {
                std::fprintf(stderr, "unpack_bench: copying the release: %s\n", ec.message().c_str());
                return 1;
            }
            bool ok = false;
            const double seconds = TimedUnpack(QString::fromStdString(work.string()), serial ? 1 : cores, &ok);
            if (!ok) {
                std::fprintf(stderr, "unpack_bench: the unpack failed\n");
                return 1;
            }
            if (round > 0) (serial ? one : all).push_back(seconds);
        }
    }
    std::vector<std::string> differences;
    bench::TreeSummary summary;
    if (!bench::CompareTrees(lastOne.string(), lastAll.string(), 5, &differences, &summary)) {
        std::fprintf(stderr, "unpack_bench: the two unpacks differ (kept):\n");
        for (const std::string& d : differences) std::fprintf(stderr, "  %s\n", d.c_str());
        return 1;
    }
    for (const fs::path& work : works) {
        std::error_code ec;
        fs::remove_all(work, ec);
    }
    std::printf("  check        both unpacks left the same %llu files\n", (unsigned long long)summary.files);
    const double ratio = bench::Median(all) / bench::Median(one);
    std::printf("one thread   %.3f s median\n%d threads    %.3f s median\n", bench::Median(one), cores,
                bench::Median(all));
    std::printf("ours/one-thread = %.3f (goal <= %.1f) %s\n", ratio, kGoalRatio, bench::Verdict(ratio <= kGoalRatio));
    return 0;
}
