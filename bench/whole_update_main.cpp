// whole_update_bench: times a whole update by our components (manifest, file walk, parallel
// downloads, unpack, install) against a shell script of standard tools doing the same job, both
// on fresh copies of an installed old version, served the release update-pack made of the new
// one by Debian's python3 http.server on 127.0.0.1. Not a test.
//
// The same executable is both the driver and the updater's stand-in: for each run the driver
// copies itself to <install root>/app/bin and starts the copy with --run, so that the updater's
// paths (download folder beside the program, install root two levels up) hold as in a real
// installation.
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "bench_http_server.h"
#include "bench_process.h"
#include "bench_random.h"
#include "download_work.h"
#include "fetch_list.h"
#include "install_steps.h"
#include "manifest.h"
#include "network.h"
#include "update_layout.h"

namespace fs = std::filesystem;

namespace {

constexpr double kGoalRatio = 1.0;
constexpr double kGoalPeakMib = 100.0;
constexpr int kDataVersion = 1;  // bump when the generator changes its output
// No phase of a run on the loopback interface comes near this; it only ends a hung run.
constexpr int kPhaseLimitMs = 600 * 1000;
const QStringList kPhases = {"manifest", "walk", "download", "unpack", "verify", "install"};
// The updater checks the unpacked files against the manifest before installing any; the shell
// side has no such step.
const QString kOursOnlyPhase = QStringLiteral("verify");
// Where the updater's stand-in lives below the install root, as update.exe does.
constexpr char kProgramFolder[] = "app/bin";
constexpr char kProgramName[] = "whole_update_bench";

// ---------------------------------------------------------------------------------------------
// The updater's side: one whole update, phase by phase, with the components update.exe runs.

void WriteReport(const QString& path, const QList<QPair<QString, double>>& phases, int fetched) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return;
    QTextStream out(&file);
    for (const auto& phase : phases) out << "phase " << phase.first << ' ' << QString::number(phase.second, 'f', 6) << '\n';
    out << "fetched " << fetched << '\n';
    // VmHWM is this process's own peak resident set; ru_maxrss seen by a parent also counts
    // the pages a fork() inherited from it before exec.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QRegularExpressionMatch hwm = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB"))
                                                .match(QString::fromLatin1(status.readAll()));
        if (hwm.hasMatch()) out << "vmhwm_kib " << hwm.captured(1) << '\n';
    }
}

int RunUpdate(const QString& manifestUrl, const QString& reportPath) {
    QList<QPair<QString, double>> phases;
    QElapsedTimer clock;
    auto lap = [&](const QString& name) {
        phases.append({name, clock.nsecsElapsed() / 1e9});
        clock.start();
    };
    auto fail = [](const char* what) {
        std::fprintf(stderr, "whole_update_bench --run: %s\n", what);
        return 1;
    };

    const UpdateLayout layout = UpdateLayout::OfRunningProgram();
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
        const bool inTime = limit.isActive();
        limit.stop();
        return inTime;
    };
    int expected = 0;
    int reports = 0;
    int failures = 0;
    bool differs = false;
    QObject::connect(&network, &NetWork::workfinished, &loop, [&](int, int ecode) {
        if (ecode != 0) ++failures;
        if (++reports == expected) loop.quit();
    });
    QObject::connect(&network, &NetWork::ergodicdirfinished, &loop, [&](bool finish) {
        differs = finish;
        loop.quit();
    });

    clock.start();
    expected = 1;
    network.DownLoad({{kManifestKey, manifestUrl}}, DownLoadWork::kManifest);
    if (!wait() || failures != 0) return fail("the manifest did not arrive");
    ManifestTexts texts;
    ManifestMap files;
    if (!ReadManifest(layout.ManifestPath(), &texts, &files)) return fail("the manifest is not JSON");
    lap(QStringLiteral("manifest"));

    network.Ergodic(files);
    if (!wait() || !differs) return fail("the walk found nothing to fetch");
    lap(QStringLiteral("walk"));

    const QMap<QString, QString> batch = fetchList;
    expected = batch.size();
    reports = 0;
    network.DownLoad(batch, DownLoadWork::kUpdateFile);
    if (!wait() || failures != 0) return fail("a download failed");
    lap(QStringLiteral("download"));

    if (install::ExtractArchives(layout.DownloadDir()) != install::StepResult::Done) {
        return fail("unpacking failed");
    }
    lap(QStringLiteral("unpack"));

    if (!install::FilesMatch(layout.DownloadDir(), InstalledMd5s(files))) {
        return fail("an unpacked file differs from the manifest");
    }
    lap(QStringLiteral("verify"));

    if (install::ReplaceFiles(layout.DownloadDir(), layout.InstallRoot()) != install::StepResult::Done) {
        return fail("installing failed");
    }
    lap(QStringLiteral("install"));

    WriteReport(reportPath, phases, batch.size());
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The driver's side: data, server, rounds, checks and the table.

struct Options {
    unsigned rounds = 3;
    unsigned files = 2000;
    unsigned sizeMib = 200;
    unsigned changedPercent = 30;
    unsigned curlParallel = 8;
    bool keep = false;
    std::string dataDir;
    std::string baseline = WHOLE_UPDATE_BASELINE;
    std::string pack = WHOLE_UPDATE_PACK;
};

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: whole_update_bench [--rounds N] [--files N] [--size-mib N] [--changed-percent P]\n"
                 "                          [--curl-parallel N] [--data-dir DIR] [--keep]\n"
                 "                          [--baseline SCRIPT] [--update-pack PATH]\n"
                 "  --rounds N           timed rounds per side, after one warm-up (default 3)\n"
                 "  --files N            files of the old version (default 2000)\n"
                 "  --size-mib N         bytes of the old version (default 200)\n"
                 "  --changed-percent P  files that differ in the new version (default 30)\n"
                 "  --curl-parallel N    parallel curl downloads of the shell side (default 8)\n"
                 "  --data-dir DIR       cache of the versions and the release (default bench-data)\n"
                 "  --keep               leave the installed trees of every run in DIR/whole-update-runs\n");
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
        } else if (arg == "--files" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 10, 100000, &options->files)) return false;
        } else if (arg == "--size-mib" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 4096, &options->sizeMib)) return false;
        } else if (arg == "--changed-percent" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 100, &options->changedPercent)) return false;
        } else if (arg == "--curl-parallel" && hasValue) {
            if (!bench::ParseUnsigned(argv[++i], 1, 64, &options->curlParallel)) return false;
        } else if (arg == "--data-dir" && hasValue) {
            options->dataDir = argv[++i];
        } else if (arg == "--baseline" && hasValue) {
            options->baseline = argv[++i];
        } else if (arg == "--update-pack" && hasValue) {
            options->pack = argv[++i];
        } else if (arg == "--keep") {
            options->keep = true;
        } else {
            return false;
        }
    }
    return true;
}

// How a file of the old version fares in the new one.
enum class Change { Same, Modified, Added };

struct PlannedFile {
    std::string relative;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    bool text = false;  // compressible text lines, else random bytes
    Change change = Change::Same;
};

struct Plan {
    std::vector<PlannedFile> files;
    std::size_t modified = 0;
    std::size_t added = 0;
    std::uint64_t oldBytes = 0;
    std::uint64_t changedBytes = 0;  // of the new version: what has to be fetched
};

// The old version: `files` files in folders up to four levels below a handful of top folders
// shaped like an installed desktop application, sizes skewed (many small, few of some MiB,
// about one in a hundred empty) and scaled to sizeMib; two thirds text-like, one third random.
// Of the changed share, nine tenths are files of the old version rewritten (a new seed, the
// size within +-10 %) and one tenth files only the new version has. Every name has a dot and
// none is hidden, so the updater and find '*.*' see the same files.
Plan MakePlan(const Options& options) {
    bench::Rng random(20240611);
    static const char* const kTops[] = {"app/bin", "app/bin/plugins", "app/res", "app/effects", "data", "app/lang"};
    static const char* const kText[] = {".json", ".xml", ".ini", ".qss", ".txt", ".js", ".lua", ".log"};
    static const char* const kBinary[] = {".dll", ".pak", ".png", ".dat", ".ttf", ".bin"};
    Plan plan;
    const std::size_t changed = std::max<std::size_t>(1, std::size_t{options.files} * options.changedPercent / 100);
    const std::size_t added = changed / 10;
    const std::size_t total = options.files + added;
    std::uint64_t drawn = 0;
    for (std::size_t i = 0; i < total; ++i) {
        PlannedFile file;
        std::string folder = kTops[random.Below(6)];
        const std::uint64_t depth = random.Below(4);
        for (std::uint64_t level = 0; level < depth; ++level) {
            folder += "/" + std::string(1, static_cast<char>('a' + level)) + std::to_string(random.Below(4));
        }
        const std::uint64_t kind = random.Below(100);
        if (kind == 0) {
            file.oldSize = 0;
        } else if (kind < 60) {
            file.oldSize = 256 + random.Below(32 * 1024);
        } else if (kind < 92) {
            file.oldSize = 32 * 1024 + random.Below(224 * 1024);
        } else {
            file.oldSize = 256 * 1024 + random.Below(3 * 1024 * 1024);
        }
        file.text = random.Below(3) != 0;
        char name[32];
        std::snprintf(name, sizeof name, "/f%05zu", i);
        file.relative = folder + name + (file.text ? kText[random.Below(8)] : kBinary[random.Below(6)]);
        if (i < options.files) drawn += file.oldSize;
        plan.files.push_back(file);
    }
    // Scale the old version to the requested total; its last file takes the rounding.
    const std::uint64_t target = std::uint64_t{options.sizeMib} << 20;
    const double scale = drawn ? static_cast<double>(target) / static_cast<double>(drawn) : 0;
    std::uint64_t scaled = 0;
    for (std::size_t i = 0; i < total; ++i) {
        PlannedFile& file = plan.files[i];
        file.oldSize = static_cast<std::uint64_t>(static_cast<double>(file.oldSize) * scale);
        if (i + 1 == options.files) file.oldSize = target > scaled ? target - scaled : 0;
        if (i < options.files) scaled += file.oldSize;
        file.newSize = file.oldSize;
    }
    // Pick the modified files among the non-empty ones of the old version (an empty file
    // rewritten empty would not differ), by a seeded shuffle.
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < options.files; ++i) {
        if (plan.files[i].oldSize > 0) candidates.push_back(i);
    }
    for (std::size_t i = candidates.size(); i > 1; --i) std::swap(candidates[i - 1], candidates[random.Below(i)]);
    candidates.resize(std::min(candidates.size(), changed - added));
    for (std::size_t i : candidates) {
        PlannedFile& file = plan.files[i];
        file.change = Change::Modified;
        const std::uint64_t tenth = file.oldSize / 10;
        file.newSize = std::max<std::uint64_t>(1, file.oldSize - tenth + random.Below(2 * tenth + 1));
    }
    for (std::size_t i = options.files; i < total; ++i) {
        plan.files[i].change = Change::Added;
        plan.files[i].newSize = std::max<std::uint64_t>(1, plan.files[i].oldSize);
    }
    for (const PlannedFile& file : plan.files) {
        if (file.change != Change::Added) plan.oldBytes += file.oldSize;
        if (file.change != Change::Same) plan.changedBytes += file.newSize;
        plan.modified += file.change == Change::Modified;
        plan.added += file.change == Change::Added;
    }
    return plan;
}

// Lines of a made-up log in words from a fixed vocabulary: compresses about as well as the
// configuration, style and script files of an application.
class TextSource {
public:
    TextSource() {
        static const char* const kSyllables[] = {"ka", "lo", "ren", "ti", "mu", "sel", "por", "an", "vi", "de",
                                                 "qu", "ex", "ol", "ta", "ny", "gre", "fa", "bi", "con", "um"};
        bench::Rng random(7);
        for (int i = 0; i < 400; ++i) {
            std::string word;
            for (std::uint64_t s = random.Between(1, 4); s > 0; --s) word += kSyllables[random.Below(20)];
            words_.push_back(word);
        }
    }
    void Fill(bench::Rng& random, std::string* out, std::size_t size) const {
        static const char* const kLevels[] = {"INFO", "DEBUG", "WARN", "INFO", "TRACE"};
        out->clear();
        char head[64];
        while (out->size() < size) {
            std::snprintf(head, sizeof head, "2024-06-%02u %02u:%02u:%02u.%03u [%s] ",
                          static_cast<unsigned>(1 + random.Below(28)), static_cast<unsigned>(random.Below(24)),
                          static_cast<unsigned>(random.Below(60)), static_cast<unsigned>(random.Below(60)),
                          static_cast<unsigned>(random.Below(1000)), kLevels[random.Below(5)]);
            *out += head;
            for (std::uint64_t w = random.Between(4, 14); w > 0; --w) {
                *out += words_[random.Below(words_.size())];
                *out += random.Below(8) == 0 ? "=" + std::to_string(random.Below(100000)) + " " : " ";
            }
            out->back() = '\n';
        }
        out->resize(size);
    }

private:
    std::vector<std::string> words_;
};

bool WriteContent(const fs::path& path, const PlannedFile& file, std::uint64_t size, std::uint64_t seed,
                  const TextSource& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    bench::Rng random(seed);
    constexpr std::size_t kChunk = 1 << 20;
    std::string buffer;
    bool ok = true;
    for (std::uint64_t left = size; ok && left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        if (file.text) {
            text.Fill(random, &buffer, n);
        } else {
            buffer.resize((n + 7) & ~std::size_t{7});
            for (std::size_t at = 0; at < buffer.size(); at += 8) {
                const std::uint64_t word = random.Next();
                std::memcpy(&buffer[at], &word, 8);
            }
        }
        ok = std::fwrite(buffer.data(), 1, n, out) == n;
        left -= n;
    }
    return std::fclose(out) == 0 && ok;
}

std::string Describe(const Options& options) {
    return "whole-update v" + std::to_string(kDataVersion) + " files " + std::to_string(options.files) + " mib " +
           std::to_string(options.sizeMib) + " changed " + std::to_string(options.changedPercent);
}

std::string FirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The old and the new version below cache/old and cache/new, unless the marker says they are
// there already.
bool EnsureVersions(const Options& options, const Plan& plan, const fs::path& cache, std::string* error) {
    const fs::path marker = cache / "versions.done";
    if (FirstLine(marker) == Describe(options)) {
        std::printf("  versions     reused %s/{old,new}\n", cache.c_str());
        return true;
    }
    std::error_code ec;
    fs::remove_all(cache, ec);
    std::printf("  versions     generating %zu + %zu files in %s/{old,new}\n", plan.files.size() - plan.added,
                plan.files.size() - plan.modified - plan.added, cache.c_str());
    std::fflush(stdout);
    const TextSource text;
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const PlannedFile& file = plan.files[i];
        const fs::path oldPath = cache / "old" / file.relative;
        const fs::path newPath = cache / "new" / file.relative;
        bool ok = true;
        if (file.change != Change::Added) ok = WriteContent(oldPath, file, file.oldSize, 1000003ull * (i + 1), text);
        if (ok && file.change == Change::Same) {
            fs::create_directories(newPath.parent_path(), ec);
            ok = !ec && fs::copy_file(oldPath, newPath, ec);
        } else if (ok) {
            ok = WriteContent(newPath, file, file.newSize, 2000003ull * (i + 1), text);
        }
        if (!ok) {
            *error = "cannot write " + newPath.string();
            return false;
        }
    }
    fs::create_directories(cache / "old" / kProgramFolder, ec);
    sync();
    std::ofstream(marker) << Describe(options) << "\n";
    return true;
}

// Python's http.server on 127.0.0.1:port over folder; false when it does not come up (the
// port is taken).
bool StartServer(QProcess* server, const fs::path& folder, quint16 port) {
    return bench::StartHttpServer(server, QString::fromStdString(folder.string()), port) == port;
}

quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

// The release of the new version below cache/release, published for the server's address.
// The archives are packed at the highest level, which takes a while, so the release is kept
// for as long as the port stays the same.
bool EnsureRelease(const Options& options, const fs::path& cache, quint16 port, std::string* error) {
    const fs::path marker = cache / "release.done";
    const std::string describe = Describe(options) + " port " + std::to_string(port);
    if (FirstLine(marker) == describe) {
        std::printf("  release      reused %s/release\n", cache.c_str());
        return true;
    }
    std::error_code ec;
    fs::remove(marker, ec);
    fs::remove_all(cache / "release", ec);
    std::printf("  release      packing %s/new with update-pack\n", cache.c_str());
    std::fflush(stdout);
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/release";
    const bench::ChildRun run = bench::RunChild({options.pack, "--version", "2.0.0", "--description", "Benchmark",
                                                 "--base-url", base, "--output", (cache / "release").string(),
                                                 "--quiet", (cache / "new").string()});
    if (!run.started || run.exitCode != 0) {
        *error = "update-pack failed";
        return false;
    }
    std::printf("  release      packed in %.1f s\n", run.wallSeconds);
    sync();
    std::ofstream(marker) << describe << "\n";
    return true;
}

QString FileMd5(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) return {};
    return QString::fromLatin1(hash.result().toHex());
}

// The installed tree is the new version: every file the manifest names has the manifest's MD5,
// and exactly the rewritten files were kept as ".bak".
bool CheckInstalled(const fs::path& root, const ManifestMap& manifest, std::size_t backups, std::string* error) {
    const QString base = QString::fromStdString(root.string());
    for (const ManifestEntry& entry : manifest) {
        const QString path = base + entry.name.chopped(4);
        if (FileMd5(path) != entry.md5) {
            *error = "wrong content: " + path.toStdString();
            return false;
        }
    }
    std::size_t found = 0;
    QDirIterator it(base, {QStringLiteral("*.bak")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++found;
    }
    if (found != backups) {
        *error = std::to_string(found) + " backups instead of " + std::to_string(backups) + " below " + root.string();
        return false;
    }
    return true;
}

struct Measured {
    std::map<std::string, double> phases;
    double wall = 0;
    double maxRssMib = 0;  // from wait4()
    double hwmMib = 0;     // the updater's own VmHWM (ours only)
    long fetched = -1;
};

bool ReadReport(const fs::path& path, bool ours, Measured* measured) {
    std::ifstream in(path);
    std::string key;
    while (in >> key) {
        if (key == "phase") {
            std::string name;
            double seconds = 0;
            in >> name >> seconds;
            measured->phases[name] = seconds;
        } else if (key == "fetched") {
            in >> measured->fetched;
        } else if (key == "vmhwm_kib") {
            long kib = 0;
            in >> kib;
            measured->hwmMib = static_cast<double>(kib) / 1024.0;
        }
    }
    for (const QString& phase : kPhases) {
        if ((ours || phase != kOursOnlyPhase) && !measured->phases.count(phase.toStdString())) return false;
    }
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Side {
    std::string name;
    std::vector<Measured> runs;
};

struct Setup {
    Options options;
    fs::path self;
    fs::path oldTree;
    fs::path runs;
    std::string manifestUrl;
    ManifestMap manifest;
    std::size_t fetch = 0;    // archives either side must fetch
    std::size_t backups = 0;  // files either side must replace
};

// One run of one side on a fresh copy of the old version (copied, with everything flushed,
// before the clock starts).
bool RunSide(const Setup& setup, bool ours, const std::string& label, Measured* measured) {
    const fs::path dir = setup.runs / label;
    const fs::path root = dir / "root";
    const fs::path report = dir / "report.txt";
    std::error_code ec;
    fs::create_directories(dir, ec);
    const bench::ChildRun copy = bench::RunChild({"cp", "-a", setup.oldTree.string(), root.string()});
    if (!copy.started || copy.exitCode != 0) {
        std::fprintf(stderr, "whole_update_bench: cannot copy the old version to %s\n", root.c_str());
        return false;
    }
    std::vector<std::string> argv;
    if (ours) {
        const fs::path program = root / kProgramFolder / kProgramName;
        if (!fs::copy_file(setup.self, program, ec)) {
            std::fprintf(stderr, "whole_update_bench: cannot copy %s\n", setup.self.c_str());
            return false;
        }
        argv = {program.string(), "--run", setup.manifestUrl, report.string()};
    } else {
        argv = {"bash", setup.options.baseline, root.string(), setup.manifestUrl, (dir / "work").string(),
                report.string(), std::to_string(setup.options.curlParallel)};
    }
    sync();
    const bench::ChildRun run = bench::RunChild(argv);
    if (!run.started || run.exitCode != 0 || !ReadReport(report, ours, measured)) {
        std::fprintf(stderr, "whole_update_bench: FAILED: %s (exit %d, signal %d)\n", label.c_str(), run.exitCode,
                     run.signal);
        return false;
    }
    measured->wall = run.wallSeconds;
    measured->maxRssMib = static_cast<double>(run.maxRssKib) / 1024.0;
    std::string error;
    if (measured->fetched != static_cast<long>(setup.fetch)) {
        error = "fetched " + std::to_string(measured->fetched) + " archives instead of " + std::to_string(setup.fetch);
    } else {
        CheckInstalled(root, setup.manifest, setup.backups, &error);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "whole_update_bench: FAILED: %s: %s (trees kept in %s)\n", label.c_str(), error.c_str(),
                     setup.runs.c_str());
        return false;
    }
    return true;
}

int Drive(const Options& options, const fs::path& self) {
    for (const char* program : {"bash", "cp", "curl", "unzip", "md5sum", "find", "xargs", "awk", "/usr/bin/python3"}) {
        if (bench::FindInPath(program).empty()) {
            std::fprintf(stderr, "whole_update_bench: %s is not installed\n", program);
            return 2;
        }
    }
    for (const std::string& path : {options.baseline, options.pack}) {
        if (access(path.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "whole_update_bench: %s is missing\n", path.c_str());
            return 2;
        }
    }

    Setup setup;
    setup.options = options;
    setup.self = self;
    const fs::path data = fs::absolute(options.dataDir.empty() ? "bench-data" : options.dataDir);
    const fs::path cache = data / ("whole-update-" + std::to_string(options.files) + "f-" +
                                   std::to_string(options.sizeMib) + "mib-" + std::to_string(options.changedPercent) +
                                   "pct");
    setup.oldTree = cache / "old";
    setup.runs = data / "whole-update-runs";

    std::printf("whole update benchmark\n");
    std::printf("  ours         walk, downloads, unpack, check and install by the updater's components, from\n"
                "               <install root>/%s\n", kProgramFolder);
    std::printf("  peer         %s: md5sum, xargs -P %u curl, unzip, cp --backup\n", options.baseline.c_str(),
                options.curlParallel);
    const Plan plan = MakePlan(options);
    std::printf("  content      old %zu files, %.1f MiB; new: %zu rewritten, %zu added, %.1f MiB to fetch\n",
                plan.files.size() - plan.added, static_cast<double>(plan.oldBytes) / 1048576.0, plan.modified,
                plan.added, static_cast<double>(plan.changedBytes) / 1048576.0);
    std::string error;
    if (!EnsureVersions(options, plan, cache, &error)) {
        std::fprintf(stderr, "whole_update_bench: %s\n", error.c_str());
        return 1;
    }

    // The port the cached release was made for, if it is still free; a new one otherwise.
    QProcess server;
    quint16 port = 0;
    const std::string cached = FirstLine(cache / "release.done");
    const std::size_t at = cached.rfind(" port ");
    if (at != std::string::npos) port = static_cast<quint16>(std::stoul(cached.substr(at + 6)));
    if (port == 0 || !StartServer(&server, cache, port)) {
        port = FreePort();
        if (port == 0 || !StartServer(&server, cache, port)) {
            std::fprintf(stderr, "whole_update_bench: python3 http.server did not start\n");
            return 1;
        }
    }
    if (!EnsureRelease(options, cache, port, &error)) {
        std::fprintf(stderr, "whole_update_bench: %s\n", error.c_str());
        return 1;
    }
    setup.manifestUrl = "http://127.0.0.1:" + std::to_string(port) + "/release/update.json";
    ManifestTexts texts;
    if (!ReadManifest(QString::fromStdString((cache / "release" / "update.json").string()), &texts, &setup.manifest) ||
        setup.manifest.size() != static_cast<int>(plan.files.size())) {
        std::fprintf(stderr, "whole_update_bench: the release's manifest does not list the new version\n");
        return 1;
    }
    setup.fetch = plan.modified + plan.added;
    setup.backups = plan.modified;

    std::error_code ec;
    fs::remove_all(setup.runs, ec);
    std::printf("  server       %s (python3 http.server)\n", setup.manifestUrl.c_str());
    std::printf("  method       one untimed warm-up, then %u rounds, order alternating; each run on a fresh\n"
                "               copy of the old version, synced; wall = fork() to wait4(); both sides checked\n"
                "               against the manifest's MD5s and the number of .bak files after every run\n",
                options.rounds);
    rusage selfUsage{};
    getrusage(RUSAGE_SELF, &selfUsage);
    std::printf("  driver peak  %.1f MiB (what a fork() of the driver starts with)\n",
                static_cast<double>(selfUsage.ru_maxrss) / 1024.0);
    std::fflush(stdout);

    Side ours{"ours", {}};
    Side shell{"shell", {}};
    for (unsigned round = 0; round <= options.rounds; ++round) {
        const bool oursFirst = round % 2 == 0;
        Measured first;
        Measured second;
        const std::string tag = std::to_string(round);
        if (!RunSide(setup, oursFirst, tag + (oursFirst ? "-ours" : "-shell"), &first) ||
            !RunSide(setup, !oursFirst, tag + (oursFirst ? "-shell" : "-ours"), &second)) {
            server.kill();
            server.waitForFinished(5000);
            return 1;
        }
        const Measured& o = oursFirst ? first : second;
        const Measured& s = oursFirst ? second : first;
        if (round == 0) {
            std::printf("warm-up: ours %.3f s, shell %.3f s\n", o.wall, s.wall);
        } else {
            std::printf("round %u: ours %.3f s, shell %.3f s (%s first)\n", round, o.wall, s.wall,
                        oursFirst ? "ours" : "shell");
            ours.runs.push_back(o);
            shell.runs.push_back(s);
        }
        std::fflush(stdout);
    }
    server.kill();
    server.waitForFinished(5000);
    if (!options.keep) fs::remove_all(setup.runs, ec);

    auto medianOf = [](const Side& side, auto value) {
        std::vector<double> values;
        for (const Measured& run : side.runs) values.push_back(value(run));
        return Median(values);
    };
    std::printf("\nmedians over %u rounds, %zu archives fetched per run\n", options.rounds, setup.fetch);
    std::printf("%-22s %10s %10s %12s\n", "phase", "ours s", "shell s", "ours/shell");
    for (const QString& phase : kPhases) {
        const std::string name = phase.toStdString();
        const double o = medianOf(ours, [&](const Measured& m) { return m.phases.at(name); });
        if (phase == kOursOnlyPhase) {
            std::printf("%-22s %10.3f %10s %12s\n", name.c_str(), o, "-", "-");
            continue;
        }
        const double s = medianOf(shell, [&](const Measured& m) { return m.phases.at(name); });
        std::printf("%-22s %10.3f %10.3f %12.2f\n", name.c_str(), o, s, o / s);
    }
    auto rest = [](const Measured& m) {
        double sum = 0;
        for (const auto& phase : m.phases) sum += phase.second;
        return m.wall - sum;
    };
    const double oursRest = medianOf(ours, rest);
    const double shellRest = medianOf(shell, rest);
    std::printf("%-22s %10.3f %10.3f\n", "start and exit", oursRest, shellRest);
    const double oursWall = medianOf(ours, [](const Measured& m) { return m.wall; });
    const double shellWall = medianOf(shell, [](const Measured& m) { return m.wall; });
    const double ratio = oursWall / shellWall;
    std::printf("%-22s %10.3f %10.3f %12.2f\n", "total (wall)", oursWall, shellWall, ratio);

    double oursHwm = 0;
    double oursRss = 0;
    double shellRss = 0;
    for (const Measured& m : ours.runs) {
        oursHwm = std::max(oursHwm, m.hwmMib);
        oursRss = std::max(oursRss, m.maxRssMib);
    }
    for (const Measured& m : shell.runs) shellRss = std::max(shellRss, m.maxRssMib);
    std::printf("\npeak memory (largest over the rounds): ours %.1f MiB (VmHWM of the updater process;\n"
                "  ru_maxrss from wait4() %.1f MiB, which counts the driver pages fork() handed over),\n"
                "  shell %.1f MiB (ru_maxrss: its largest single process)\n",
                oursHwm, oursRss, shellRss);
    std::printf("\nours/shell = %.3f (goal <= %.1f) %s; peak %.1f MiB (goal < %.0f) %s\n", ratio, kGoalRatio,
                ratio <= kGoalRatio ? "met" : "NOT met", oursHwm, kGoalPeakMib,
                oursHwm < kGoalPeakMib ? "met" : "NOT met");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "--run") {
        if (argc != 4) {
            std::fprintf(stderr, "usage: whole_update_bench --run MANIFEST_URL REPORT\n");
            return 2;
        }
        return RunUpdate(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows up even when piped
    return Drive(options, fs::canonical("/proc/self/exe"));
}
