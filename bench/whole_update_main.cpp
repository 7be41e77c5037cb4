// whole_update_bench: times a whole update by our components against whole-update-baseline, both
// on fresh copies of an installed old version, fetching the release update-pack made of the new
// one from an nginx of the benchmark's own on 127.0.0.1. Our side is this program started again
// with --run (so that its peak memory is its own), given the program folder inside the copy.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "bench_http_server.h"
#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "download_work.h"
#include "fetch_list.h"
#include "install_pipeline.h"
#include "manifest.h"
#include "network.h"
#include "update_layout.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 0.7;
constexpr double kGoalPeakMib = 100.0;
// No phase of a run on the loopback interface comes near this; it only ends a hung run.
constexpr int kPhaseLimitMs = 600 * 1000;
const QStringList kPhases = {"manifest", "walk", "download", "unpack", "verify", "install"};
// The updater checks the unpacked files against the manifest before installing any; the shell
// side has no such step.
const QString kOursOnlyPhase = QStringLiteral("verify");
constexpr char kProgramFolder[] = "app/bin";  // below the install root, as update.exe lies

// Our side: one whole update, phase by phase, with the components update.exe runs and on the
// threads it runs them on: the downloads on NetWork's own pool (lanes of kept-alive
// connections), the walk as one runnable on the global pool, the install steps as one runnable
// on the global pool as UnCompressWork does (Unpack, then Replace, which verifies first; here
// Verify is called on its own to time it). The walk and the unpack spread over every core from
// there. What update.exe does besides (its window, clearing stale downloads out of a download
// folder that is fresh here) is left out.

int RunUpdate(const QString& programDir, const QString& manifestUrl, const QString& reportPath) {
    QFile report(reportPath);
    if (!report.open(QIODevice::WriteOnly | QIODevice::Text)) return 1;
    QTextStream out(&report);
    QElapsedTimer clock;
    auto put = [&](const char* name, qint64 ns) {
        out << "phase " << name << ' ' << QString::number(ns / 1e9, 'f', 6) << '\n';
    };
    // Ends a phase: its time goes to the report, or the run stops with the reason.
    auto phase = [&](bool ok, const char* name, const char* failure) {
        if (ok) put(name, clock.nsecsElapsed());
        if (!ok) std::fprintf(stderr, "whole_update_bench --run: %s: %s\n", name, failure);
        clock.start();
        return ok;
    };
    const UpdateLayout layout(programDir);
    NetWork network(layout);
    network.SetDir(UpdateLayout::kDownloadDirName);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Each phase runs the loop until its last report arrives; false when the limit ended it.
    auto wait = [&] {
        limit.start(kPhaseLimitMs);
        loop.exec();
        return limit.isActive();
    };
    int expected = 1, reports = 0, failures = 0;
    bool differs = false;
    QObject::connect(&network, &NetWork::workfinished, &loop, [&](int, int ecode) {
        failures += ecode != 0;
        if (++reports == expected) loop.quit();
    });
    QObject::connect(&network, &NetWork::ergodicdirfinished, &loop, [&](bool found) { differs = found; loop.quit(); });

    clock.start();
    network.DownLoad({{kManifestKey, manifestUrl}}, DownLoadWork::kManifest);
    ManifestTexts texts;
    ManifestMap files;
    QString problem;
    QStringList unmanaged;
    if (!phase(wait() && failures == 0 &&
                   ReadUsableManifest(layout.DownloadDir() + kManifestKey, &texts, &files, &problem, &unmanaged),
               "manifest", "no usable manifest arrived")) {
        return 1;
    }
    network.Ergodic(files);
    if (!phase(wait() && differs, "walk", "nothing to fetch")) return 1;
    const QMap<QString, QString> batch = fetchList;
    expected = batch.size();
    reports = 0;
    network.DownLoad(batch, DownLoadWork::kUpdateFile, DeclaredSizes(files));
    if (!phase(wait() && failures == 0, "download", "a download failed")) return 1;

    install::Installation installation(layout.DownloadDir(), layout.InstallRoot(), InstalledMd5s(files));
    struct Step {
        const char* name;
        const char* failure;
        bool ok = false;
        qint64 endNs = -1;  // on clock; -1: not reached
    };
    Step steps[] = {{"unpack", "failed"}, {"verify", "an unpacked file differs from the manifest"}, {"install", "failed"}};
    QThreadPool::globalInstance()->start([&] {
        steps[0].ok = installation.Unpack() == install::StepResult::Done;
        steps[0].endNs = clock.nsecsElapsed();
        if (!steps[0].ok) return;
        steps[1].ok = installation.Verify();
        steps[1].endNs = clock.nsecsElapsed();
        if (!steps[1].ok) return;
        steps[2].ok = installation.Replace() == install::StepResult::Done && installation.Succeeded();
        steps[2].endNs = clock.nsecsElapsed();
    });
    if (!QThreadPool::globalInstance()->waitForDone(kPhaseLimitMs)) {
        std::fprintf(stderr, "whole_update_bench --run: the install steps did not end\n");
        std::_Exit(1);  // they still run on the state of this frame
    }
    qint64 begin = 0;
    for (const Step& step : steps) {
        if (!step.ok) {
            std::fprintf(stderr, "whole_update_bench --run: %s: %s\n", step.name, step.failure);
            return 1;
        }
        put(step.name, step.endNs - begin);
        begin = step.endNs;
    }
    out << "fetched " << batch.size() << '\n';
    // VmHWM is this process's own peak resident set; ru_maxrss seen by a parent also counts
    // the pages a fork() inherited from it before exec.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) out << "vmhwm_kib " << std::stol(line.substr(6)) << '\n';
    }
    return 0;
}

// The driver's side: data, server, rounds, checks and the table.

// The installed tree is the new version: every file the manifest names has the manifest's MD5,
// and exactly the rewritten files were kept as ".bak".
std::string CheckInstalled(const fs::path& root, const ManifestMap& manifest, std::size_t backups) {
    const QString base = QString::fromStdString(root.string());
    for (const ManifestEntry& entry : manifest) {
        QFile file(base + entry.name.chopped(4));
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file) || md5.result().toHex() != entry.md5) {
            return "wrong content: " + entry.name.toStdString();
        }
    }
    std::size_t found = 0;
    for (QDirIterator it(base, {"*.bak"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++found;
    if (found == backups) return {};
    return std::to_string(found) + " backups instead of " + std::to_string(backups);
}

struct Measured {
    bench::ChildRun run;
    std::map<std::string, double> phases;
    long fetched = -1;
    double hwmMib = 0;  // the updater's own VmHWM (ours only)
};

struct Setup {
    std::string baseline, manifestUrl, curlParallel;
    fs::path oldTree, runs;
    ManifestMap manifest;
    std::size_t fetch = 0;    // archives either side must fetch
    std::size_t backups = 0;  // files either side must replace
};

// One run of one side on a fresh copy of the old version (copied, with everything flushed,
// before the clock starts), then its report and the installed tree checked.
bool RunSide(const Setup& setup, bool ours, const std::string& label, Measured* m) {
    const fs::path dir = setup.runs / label;
    const fs::path root = dir / "root";
    const std::string report = (dir / "report.txt").string();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (bench::RunChild({"cp", "-a", setup.oldTree.string(), root.string()}).exitCode != 0) {
        std::fprintf(stderr, "whole_update_bench: cannot copy the old version to %s\n", root.c_str());
        return false;
    }
    sync();
    m->run = ours ? bench::RunChild({QCoreApplication::applicationFilePath().toStdString(), "--run", "--program-dir",
                                     (root / kProgramFolder).string(), "--manifest-url", setup.manifestUrl, "--report",
                                     report})
                  : bench::RunChild({"bash", setup.baseline, root.string(), setup.manifestUrl, (dir / "work").string(),
                                     report, setup.curlParallel});
    std::ifstream in(report);
    long kib = 0;
    for (std::string key, name; in >> key;) {
        if (key == "phase") in >> name >> m->phases[name];
        if (key == "fetched") in >> m->fetched;
        if (key == "vmhwm_kib") in >> kib;
    }
    m->hwmMib = kib / 1024.0;
    std::string error;
    for (const QString& phase : kPhases) {
        if ((ours || phase != kOursOnlyPhase) && !m->phases.count(phase.toStdString())) error = "no report";
    }
    if (m->run.exitCode != 0) error = "exit " + std::to_string(m->run.exitCode);
    if (error.empty() && m->fetched != long(setup.fetch)) {
        error = "fetched " + std::to_string(m->fetched) + " archives instead of " + std::to_string(setup.fetch);
    }
    if (error.empty()) error = CheckInstalled(root, setup.manifest, setup.backups);
    if (error.empty()) return true;
    std::fprintf(stderr, "whole_update_bench: FAILED: %s: %s (trees kept in %s)\n", label.c_str(), error.c_str(),
                 setup.runs.c_str());
    return false;
}

// The versions below cache/old and cache/new, and the release of the new one below
// cache/release, packed anew with the new version. The archives are packed at the highest
// level, which takes a while; their URLs hold a stand-in port, which the release's manifest is
// pointed away from each time.
bool EnsureData(const bench::Versions& v, const std::string& what, const fs::path& cache, const std::string& pack,
                std::string* error) {
    bool madeOld = false, madeNew = false;
    if (!bench::EnsureTree((cache / "old").string(), v.oldFiles, what, &madeOld, error) ||
        !bench::EnsureTree((cache / "new").string(), v.newFiles, what, &madeNew, error)) {
        return false;
    }
    std::error_code ec;
    fs::create_directories(cache / "old" / kProgramFolder, ec);
    if (!madeNew && fs::exists(cache / "release" / "update.json")) return true;
    const bench::ChildRun run = bench::RunChild({pack, "--version", "2.0.0", "--description", "Benchmark", "--base-url",
                                                 "http://127.0.0.1:1/release", "--output", (cache / "release").string(),
                                                 "--replace", "--quiet", (cache / "new").string()});
    if (run.exitCode != 0) *error = "update-pack failed";
    std::printf("  release      packed in %.1f s\n", run.wallSeconds);
    sync();
    return run.exitCode == 0;
}

// Points the URLs of the release's manifest at the server's port.
bool PointManifestAt(const QString& path, quint16 port) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    QString text = QString::fromUtf8(file.readAll());
    text.replace(QRegularExpression(QStringLiteral("http://127\\.0\\.0\\.1:\\d+/release/")),
                 QStringLiteral("http://127.0.0.1:%1/release/").arg(port));
    return file.resize(0) && file.write(text.toUtf8()) >= 0;
}

int Drive(const QCommandLineParser& parser) {
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned files = bench::Number(parser, "files", 10, 100000);
    const unsigned sizeMib = bench::Number(parser, "size-mib", 1, 4096);
    const unsigned changedPercent = bench::Number(parser, "changed-percent", 1, 100);
    Setup setup;
    setup.curlParallel = std::to_string(bench::Number(parser, "curl-parallel", 1, 64));
    setup.baseline = parser.value("baseline").toStdString();
    const std::string pack = parser.value("update-pack").toStdString();
    const QStringList tools = {"bash", "cp", "curl", "bsdtar", "md5sum", "find", "xargs", "awk", "nproc", "wc",
                               "/usr/bin/python3", "/usr/sbin/nginx"};
    if (!bench::HaveTools("whole_update_bench", tools + QStringList{parser.value("baseline"), pack.c_str()})) {
        return 2;
    }
    const fs::path data = fs::absolute(parser.value("data-dir").toStdString());
    const std::string tag =
        std::to_string(files) + "f-" + std::to_string(sizeMib) + "mib-" + std::to_string(changedPercent) + "pct";
    const fs::path cache = data / ("whole-update-" + tag);
    setup.oldTree = cache / "old";
    setup.runs = data / "whole-update-runs";

    std::printf("whole update benchmark\n");
    std::printf("  ours         walk, downloads, unpack, check and install by the updater's components, from\n"
                "               <install root>/%s\n", kProgramFolder);
    std::printf("  peer         %s: xargs -P <cores> md5sum, curl --parallel-max %s,\n"
                "               xargs -P <cores> bsdtar, cp --backup\n",
                setup.baseline.c_str(), setup.curlParallel.c_str());
    const bench::Versions versions = bench::MakeVersions(files, sizeMib, changedPercent);
    std::printf("  content      old %zu files, %.1f MiB; new: %zu rewritten, %zu added, %.1f MiB to fetch\n",
                versions.oldFiles.size(), versions.oldBytes / 1048576.0, versions.modified, versions.added,
                versions.changedBytes / 1048576.0);
    std::string error;
    const std::string what = "whole-update v" + std::to_string(bench::kTreeVersion) + " " + tag;
    if (!EnsureData(versions, what, cache, pack, &error)) {
        std::fprintf(stderr, "whole_update_bench: %s\n", error.c_str());
        return 1;
    }
    // Serves cache/release at /release; its own files lie beside this program, in the build tree.
    bench::Nginx server(QCoreApplication::applicationDirPath() + "/whole-update-nginx",
                        QString::fromStdString(cache.string()));
    const quint16 port = server.Start();
    const QString manifestPath = QString::fromStdString((cache / "release" / "update.json").string());
    ManifestTexts texts;
    if (port == 0) return 1;
    if (!PointManifestAt(manifestPath, port) || !ReadManifest(manifestPath, &texts, &setup.manifest) ||
        setup.manifest.size() != int(versions.newFiles.size())) {
        std::fprintf(stderr, "whole_update_bench: the release's manifest does not list the new version\n");
        return 1;
    }
    setup.manifestUrl = server.Url("/release/update.json").toStdString();
    setup.fetch = versions.modified + versions.added;
    setup.backups = versions.modified;

    std::error_code ec;
    fs::remove_all(setup.runs, ec);
    std::printf("  server       %s (nginx)\n", setup.manifestUrl.c_str());
    std::printf("  method       one untimed warm-up, then %u rounds, order alternating; each run on a fresh\n"
                "               copy of the old version, synced, and checked; wall = fork() to wait4()\n", rounds);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("  driver peak  %.1f MiB (what a fork() of the driver starts with)\n", self.ru_maxrss / 1024.0);

    std::vector<Measured> ours, shell;
    for (unsigned round = 0; round <= rounds; ++round) {
        Measured m[2];  // ours, shell; ours first in even rounds
        for (unsigned k = 0; k < 2; ++k) {
            const unsigned side = (round + k) % 2;
            if (!RunSide(setup, side == 0, std::to_string(round) + (side ? "-shell" : "-ours"), &m[side])) return 1;
        }
        std::printf("%s: ours %.3f s, shell %.3f s\n", round ? ("round " + std::to_string(round)).c_str() : "warm-up",
                    m[0].run.wallSeconds, m[1].run.wallSeconds);
        if (round == 0) continue;
        ours.push_back(m[0]);
        shell.push_back(m[1]);
    }
    if (!parser.isSet("keep")) fs::remove_all(setup.runs, ec);

    auto median = [](const std::vector<Measured>& side, auto value) {
        std::vector<double> values;
        for (const Measured& m : side) values.push_back(value(m));
        return bench::Median(values);
    };
    auto phase = [](const std::string& name) { return [name](const Measured& m) { return m.phases.at(name); }; };
    auto rest = [](const Measured& m) {
        double wall = m.run.wallSeconds;
        for (const auto& phase : m.phases) wall -= phase.second;
        return wall;
    };
    auto wall = [](const Measured& m) { return m.run.wallSeconds; };
    std::printf("\nmedians over %u rounds, %zu archives fetched per run\n", rounds, setup.fetch);
    std::printf("%-22s %10s %10s %12s\n", "phase", "ours s", "shell s", "ours/shell");
    for (const QString& name : kPhases) {
        const double o = median(ours, phase(name.toStdString()));
        if (name == kOursOnlyPhase) {
            std::printf("%-22s %10.3f %10s %12s\n", qPrintable(name), o, "-", "-");
            continue;
        }
        const double s = median(shell, phase(name.toStdString()));
        std::printf("%-22s %10.3f %10.3f %12.2f\n", qPrintable(name), o, s, o / s);
    }
    std::printf("%-22s %10.3f %10.3f\n", "start and exit", median(ours, rest), median(shell, rest));
    const double ratio = median(ours, wall) / median(shell, wall);
    std::printf("%-22s %10.3f %10.3f %12.2f\n", "total (wall)", median(ours, wall), median(shell, wall), ratio);
    // Processor time waits for no disk and no other program: on a busy machine it varies less
    // than the wall time. The shell's counts every process of its tree (wait4() adds what each
    // waited-for child used).
    auto cpu = [](const Measured& m) { return m.run.userSeconds + m.run.systemSeconds; };
    std::printf("%-22s %10.3f %10.3f %12.2f\n", "total (user+sys)", median(ours, cpu), median(shell, cpu),
                median(ours, cpu) / median(shell, cpu));

    double oursHwm = 0, oursRss = 0, shellRss = 0;
    for (const Measured& m : ours) {
        oursHwm = std::max(oursHwm, m.hwmMib);
        oursRss = std::max(oursRss, m.run.maxRssKib / 1024.0);
    }
    for (const Measured& m : shell) shellRss = std::max(shellRss, m.run.maxRssKib / 1024.0);
    std::printf("\npeak memory (largest over the rounds): ours %.1f MiB (VmHWM of the updater process;\n"
                "  ru_maxrss from wait4() %.1f MiB, which counts the driver pages fork() handed over),\n"
                "  shell %.1f MiB (ru_maxrss: its largest single process)\n", oursHwm, oursRss, shellRss);
    std::printf("\nours/shell = %.3f (goal <= %.1f) %s; peak %.1f MiB (goal < %.0f) %s\n", ratio, kGoalRatio,
                bench::Verdict(ratio <= kGoalRatio), oursHwm, kGoalPeakMib, bench::Verdict(oursHwm < kGoalPeakMib));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times a whole update by our components against whole-update-baseline.", 3, {
        {"files", "Files of the old version.", "N", "2000"},
        {"size-mib", "Bytes of the old version.", "N", "200"},
        {"changed-percent", "Files that differ in the new version.", "P", "30"},
        {"curl-parallel", "Transfers the shell side's curl keeps in flight.", "N", "8"},
        {"data-dir", "Cache of the versions and the release.", "DIR", "bench-data"},
        {"keep", "Leave the installed trees of every run in DIR/whole-update-runs."},
        {"baseline", "The shell side.", "SCRIPT", WHOLE_UPDATE_BASELINE},
        {"update-pack", "The publisher tool.", "PATH", WHOLE_UPDATE_PACK},
        {"run", "Our side, as the driver starts it: one update of the program folder's install root."},
        {"program-dir", "With --run: the folder update.exe would lie in.", "DIR"},
        {"manifest-url", "With --run: where the manifest is.", "URL"},
        {"report", "With --run: where the phase times go.", "FILE"},
    });
    if (parser.isSet("run")) {
        return RunUpdate(parser.value("program-dir"), parser.value("manifest-url"), parser.value("report"));
    }
    return Drive(parser);
}
