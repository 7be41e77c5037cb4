// patch_bench: binary patches between versions of a file (release::MakePatch and ApplyPatch, zstd
// patch-from frames) against the full archives update-pack publishes and against bsdiff and
// bspatch: the bytes a client fetches, and the time to make and to apply them. Not a test.
#include <QCoreApplication>
#include <QFileInfo>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "binary_patch.h"
#include "release_files.h"

namespace fs = std::filesystem;

namespace {

constexpr double kReleaseGoal = 0.15;  // patches / archives of a release with small changes
constexpr double kBsdiffGoal = 1.2;    // our patch / bsdiff's, in bytes
constexpr double kApplyGoal = 0.3;     // ApplyPatch / bspatch, in time

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

// Bytes and number of the files below dir whose names end in suffix.
std::uint64_t BytesBelow(const fs::path& dir, const std::string& suffix, int* count) {
    std::uint64_t bytes = 0;
    *count = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        bytes += entry.file_size();
        ++*count;
    }
    return bytes;
}

// Wall time of an in-process call; the children's is RunChild's, from fork() to wait4().
template <typename Call>
double Timed(Call&& call, bool* ok) {
    const auto start = std::chrono::steady_clock::now();
    *ok = call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Child(const std::vector<std::string>& argv, double* seconds) {
    const bench::ChildRun run = bench::RunChild(argv);
    *seconds = run.wallSeconds;
    if (run.exitCode == 0) return true;
    std::fprintf(stderr, "patch_bench: FAILED: %s (exit %d, signal %d)\n", argv[0].c_str(), run.exitCode, run.signal);
    return false;
}

std::string Thousands(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// The release the goal is set on: random files (nothing for the archives to gain) of which each
// new version differs from the old by one run of random bytes at a random place. The old tree is
// cached; the new one is written anew from it, then everything is flushed before any timing.
bool MakeRelease(const fs::path& oldTree, const fs::path& newTree, unsigned files, unsigned fileMib,
                 unsigned changedKib) {
    std::vector<bench::TreeFile> planned;
    for (unsigned i = 0; i < files; ++i) {
        planned.push_back({"app/bin/part" + std::to_string(i) + ".dll", std::uint64_t{fileMib} << 20,
                           bench::Content::Random, 7000 + i});
    }
    std::string error;
    bool made = false;
    const std::string what = "patch-old v" + std::to_string(bench::kTreeVersion) + " files " + std::to_string(files) +
                             " file-mib " + std::to_string(fileMib);
    if (!bench::EnsureTree(oldTree.string(), planned, what, &made, &error)) {
        std::fprintf(stderr, "patch_bench: %s\n", error.c_str());
        return false;
    }
    std::error_code ec;
    fs::remove_all(newTree, ec);
    bench::Rng rng(4242);
    const std::size_t run = std::min<std::size_t>(std::size_t{changedKib} << 10, std::size_t{fileMib} << 20);
    for (const bench::TreeFile& file : planned) {
        std::string bytes = Read(oldTree / file.path);
        const std::size_t at = rng.Below(bytes.size() - run + 1);
        for (std::size_t i = 0; i < run; ++i) bytes[at + i] = static_cast<char>(rng.Next());
        if (!Write(newTree / file.path, bytes)) return false;
    }
    sync();
    return true;
}

struct PairResult {
    std::string label;
    std::uint64_t oldBytes = 0, newBytes = 0, patch = 0, archive = 0, bsdiff = 0;
    double makeOurs = 0, makePeer = 0, applyOurs = 0, applyPeer = 0;
};

// One pair: our patch and bsdiff's made in alternating order (the first round's leader
// alternating from pair to pair as well), then both applied in alternating rounds after one
// untimed warm-up each; every output must be the new file.
bool MeasurePair(PairResult* r, const QString& oldPath, const QString& newPath, const fs::path& work,
                 unsigned makeRounds, unsigned rounds) {
    const std::string oldFile = oldPath.toStdString(), newFile = newPath.toStdString();
    const std::string wanted = Read(newFile);
    r->oldBytes = Read(oldFile).size();  // both files in the page cache before any timing
    r->newBytes = wanted.size();
    const fs::path ours = work / "ours.patch", peer = work / "bsdiff.patch";
    const fs::path ourOut = work / "ours.out", peerOut = work / "bspatch.out";
    std::vector<double> makeOurs, makePeer, applyOurs, applyPeer;
    bool ok = true;
    QString error;
    for (unsigned round = 0; round < makeRounds && ok; ++round) {
        for (int k = 0; k < 2 && ok; ++k) {
            double seconds = 0;
            if ((round + k) % 2 == 0) {
                seconds = Timed([&] { return release::MakePatch(oldPath, newPath, QString::fromStdString(ours.string()), &error); }, &ok);
                makeOurs.push_back(seconds);
            } else {
                ok = Child({"bsdiff", oldFile, newFile, peer.string()}, &seconds);
                makePeer.push_back(seconds);
            }
        }
    }
    for (unsigned round = 0; round <= rounds && ok; ++round) {
        for (int k = 0; k < 2 && ok; ++k) {
            double seconds = 0;
            const bool mine = (round + k) % 2 == 0;
            const fs::path out = mine ? ourOut : peerOut;
            std::error_code ec;
            fs::remove(out, ec);
            if (mine) {
                seconds = Timed([&] { return release::ApplyPatch(oldPath, QString::fromStdString(ours.string()),
                                                                 QString::fromStdString(out.string()),
                                                                 static_cast<qint64>(r->newBytes), &error); }, &ok);
            } else {
                ok = Child({"bspatch", oldFile, out.string(), peer.string()}, &seconds);
            }
            if (ok && (round == 0 || round == rounds) && Read(out) != wanted) {
                std::fprintf(stderr, "patch_bench: FAILED: %s did not rebuild %s\n", mine ? "ApplyPatch" : "bspatch",
                             newFile.c_str());
                return false;
            }
            if (round > 0) (mine ? applyOurs : applyPeer).push_back(seconds);
        }
    }
    if (!ok) {
        if (!error.isEmpty()) std::fprintf(stderr, "patch_bench: FAILED: %s\n", qPrintable(error));
        return false;
    }
    r->patch = fs::file_size(ours);
    r->bsdiff = fs::file_size(peer);
    r->makeOurs = bench::Median(makeOurs);
    r->makePeer = bench::Median(makePeer);
    r->applyOurs = bench::Median(applyOurs);
    r->applyPeer = bench::Median(applyPeer);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Binary patches against full archives and against bsdiff/bspatch.", 5, {
        {"make-rounds", "Timed rounds of making patches and of update-pack (no warm-up for making).", "N", "1"},
        {"files", "Files of the generated release.", "N", "8"},
        {"file-mib", "Size of each generated file.", "M", "4"},
        {"changed-kib", "Bytes changed at one random place in each new generated file.", "K", "64"},
        {"pair", "A real pair of versions, repeatable: LABEL,OLD,NEW.", "PAIR"},
        {"data-dir", "Cache folder of the generated trees and the work folders.", "DIR", "bench-data"},
        {"update-pack", "The publisher tool.", "PATH", PATCH_BENCH_PACK},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 1000);
    const unsigned makeRounds = bench::Number(parser, "make-rounds", 1, 100);
    const unsigned files = bench::Number(parser, "files", 1, 1000);
    const unsigned fileMib = bench::Number(parser, "file-mib", 1, 1024);
    const unsigned changedKib = bench::Number(parser, "changed-kib", 1, 1 << 20);
    const std::string pack = parser.value("update-pack").toStdString();
    if (!bench::HaveTools("patch_bench", {"bsdiff", "bspatch", QString::fromStdString(pack)})) return 1;
    const fs::path data = fs::absolute(parser.value("data-dir").toStdString());

    std::printf("patch benchmark\n");
    std::printf("  ours         release::MakePatch / ApplyPatch: one zstd frame, the old file as its prefix\n");
    std::printf("  peers        the archives update-pack writes (zip), bsdiff / bspatch\n");
    std::printf("  method       in-process calls against children from fork() to wait4(); making: %u round(s), "
                "applying: one untimed warm-up and %u rounds, the order alternating; medians\n", makeRounds, rounds);

    // The generated release, published by the real update-pack with and without patches.
    const fs::path bar = data / "patch-release";
    if (!MakeRelease(bar / "old", bar / "new", files, fileMib, changedKib)) return 1;
    std::printf("\nGenerated release: %u files of %u MiB random bytes, %u KiB changed at a random place in each\n",
                files, fileMib, changedKib);
    const std::vector<std::string> packArgs{pack, "--version", "2.0", "--base-url", "http://127.0.0.1:1/r", "--replace",
                                            "--quiet", "--output"};
    std::vector<bench::Tool> packs{{"patches", packArgs, {}}, {"archives", packArgs, {}}};
    packs[0].argv.insert(packs[0].argv.end(), {(bar / "out-patches").string(), "--patch-from", (bar / "old").string()});
    packs[1].argv.push_back((bar / "out-archives").string());
    for (bench::Tool& tool : packs) tool.argv.push_back((bar / "new").string());
    if (!bench::RunTool(packs[0], false) || !bench::RunTool(packs[1], false) ||
        !bench::RunRounds(packs, makeRounds, [](bench::Tool& tool, unsigned) { return bench::RunTool(tool, true); })) {
        return 1;
    }
    bench::PrintTable({&packs[0], &packs[1]});
    int patchCount = 0, archiveCount = 0;
    const std::uint64_t patchBytes = BytesBelow(bar / "out-patches", ".patch", &patchCount);
    const std::uint64_t archiveBytes = BytesBelow(bar / "out-patches", ".zip", &archiveCount);
    const double releaseRatio = double(patchBytes) / double(archiveBytes);
    const double packRatio = packs[0].MedianWall() / packs[1].MedianWall();
    std::printf("patches/archives        = %.4f (%d patches %s B / %d archives %s B; goal <= %.2f) %s\n", releaseRatio,
                patchCount, Thousands(patchBytes).c_str(), archiveCount, Thousands(archiveBytes).c_str(), kReleaseGoal,
                bench::Verdict(releaseRatio <= kReleaseGoal && patchCount == archiveCount));
    std::printf("pack with/without       = %.2f (update-pack --patch-from %.3f s / without %.3f s)\n", packRatio,
                packs[0].MedianWall(), packs[1].MedianWall());

    // The real pairs: the archives from one update-pack run over all new files, one folder each.
    std::vector<PairResult> results;
    const QStringList pairs = parser.values("pair");
    const fs::path real = data / "patch-pairs";
    std::error_code ec;
    fs::remove_all(real, ec);
    std::vector<std::pair<QString, QString>> paths;
    for (int i = 0; i < pairs.size(); ++i) {
        const QStringList parts = pairs.at(i).split(',');
        if (parts.size() != 3 || !fs::is_regular_file(parts[1].toStdString()) || !fs::is_regular_file(parts[2].toStdString())) {
            std::fprintf(stderr, "patch_bench: --pair takes LABEL,OLD,NEW of two files, not %s\n", qPrintable(pairs.at(i)));
            return 2;
        }
        PairResult r;
        r.label = parts[0].toStdString();
        results.push_back(r);
        paths.emplace_back(parts[1], parts[2]);
        fs::create_directories(real / "new" / std::to_string(i));
        fs::copy_file(parts[2].toStdString(), real / "new" / std::to_string(i) / fs::path(parts[2].toStdString()).filename());
    }
    bench::Tool archives{"update-pack", packArgs, {}};
    archives.argv.insert(archives.argv.end(), {(real / "release").string(), (real / "new").string()});
    if (!results.empty() && !bench::RunTool(archives, false)) return 1;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PairResult& r = results[i];
        const fs::path work = real / ("work-" + std::to_string(i));
        fs::create_directories(work);
        const QString key = QStringLiteral("/%1/%2").arg(i).arg(QFileInfo(paths[i].second).fileName());
        r.archive = fs::file_size((real / "release").string() + release::ArchiveName(key).toStdString());
        if (!MeasurePair(&r, paths[i].first, paths[i].second, work, makeRounds, rounds)) return 1;
        std::printf("\n%s: %s -> %s bytes\n", r.label.c_str(), Thousands(r.oldBytes).c_str(), Thousands(r.newBytes).c_str());
        std::printf("  patch/archive         = %.4f (%s / %s B, the archive update-pack writes)\n", double(r.patch) / r.archive,
                    Thousands(r.patch).c_str(), Thousands(r.archive).c_str());
        std::printf("  patch/bsdiff          = %.3f (%s / %s B; goal <= %.1f) %s\n", double(r.patch) / r.bsdiff,
                    Thousands(r.patch).c_str(), Thousands(r.bsdiff).c_str(), kBsdiffGoal,
                    bench::Verdict(r.patch <= r.bsdiff * kBsdiffGoal));
        std::printf("  apply ours/bspatch    = %.3f (%.4f / %.4f s; goal <= %.1f) %s\n", r.applyOurs / r.applyPeer,
                    r.applyOurs, r.applyPeer, kApplyGoal, bench::Verdict(r.applyOurs <= r.applyPeer * kApplyGoal));
        std::printf("  make ours/bsdiff      = %.3f (%.3f / %.3f s)\n", r.makeOurs / r.makePeer, r.makeOurs, r.makePeer);
    }

    std::vector<double> start;
    for (int i = 0; i < 5; ++i) start.push_back(bench::RunChild({"true"}).wallSeconds);
    std::printf("\nSummary\n");
    std::printf("  generated release     patches/archives %.4f (goal <= %.2f) %s; update-pack with patches takes "
                "%.1f times as long\n", releaseRatio, kReleaseGoal,
                bench::Verdict(releaseRatio <= kReleaseGoal && patchCount == archiveCount), packRatio);
    if (results.empty()) return 0;
    std::uint64_t patch = 0, archive = 0, bsdiff = 0;
    int bytesMet = 0, applyMet = 0;
    double worstBytes = 0, worstApply = 0;
    for (const PairResult& r : results) {
        patch += r.patch;
        archive += r.archive;
        bsdiff += r.bsdiff;
        bytesMet += r.patch <= r.bsdiff * kBsdiffGoal;
        applyMet += r.applyOurs <= r.applyPeer * kApplyGoal;
        worstBytes = std::max(worstBytes, double(r.patch) / r.bsdiff);
        worstApply = std::max(worstApply, r.applyOurs / r.applyPeer);
    }
    const int n = static_cast<int>(results.size());
    std::printf("  real pairs (%d)        patch/archive %.4f over all (%s / %s B)\n", n, double(patch) / archive,
                Thousands(patch).c_str(), Thousands(archive).c_str());
    std::printf("                        patch/bsdiff %.3f over all, worst %.3f (goal <= %.1f each): met by %d of %d\n",
                double(patch) / bsdiff, worstBytes, kBsdiffGoal, bytesMet, n);
    std::printf("                        apply ours/bspatch worst %.3f (goal <= %.1f each): met by %d of %d\n", worstApply,
                kApplyGoal, applyMet, n);
    std::printf("  bspatch's and bsdiff's times include starting the process: %.4f s for `true`\n", bench::Median(start));
    return 0;
}
