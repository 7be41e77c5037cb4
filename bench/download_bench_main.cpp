// download_bench: times a real silent download, `update.exe "" silentDownload URL`, against
// `curl --parallel` and `aria2c -j`, all fetching the same batch from nginx on 127.0.0.1; or, with
// --line-mbit, against curl through a relay that makes a long, thin line of the loopback. Not a test.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <memory>

#include "bench_http_server.h"
#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "line_relay.h"
#include "manifest.h"
#include "tree_compare.h"

namespace {

// The installation update.exe runs in, below a run's folder: <root>/app/bin holds it, <root> is
// the install root it walks (nothing of the batch is installed, so it fetches every entry).
const QString kBin = QStringLiteral("/root/app/bin");
// The served folder: the manifest at its top, the batch below kFiles.
const QString kFiles = QStringLiteral("/files");

// True when dir holds exactly the served files, byte for byte; else says what differs.
bool Fetched(const QString& www, const QString& dir, const std::string& who) {
    std::vector<std::string> differences;
    bench::TreeSummary summary;
    if (bench::CompareTrees((www + kFiles).toStdString(), dir.toStdString(), 5, &differences, &summary)) return true;
    std::fprintf(stderr, "download_bench: FAILED: %s left other files\n", who.c_str());
    for (const std::string& line : differences) std::fprintf(stderr, "  %s\n", line.c_str());
    return false;
}

bool WriteText(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times update.exe's silent download against curl --parallel and aria2c.", 3, {
        {"small", "Small files.", "N", "1000"},
        {"small-kib", "Size of a small file.", "K", "64"},
        {"large", "Large files.", "N", "10"},
        {"large-mib", "Size of a large file.", "M", "8"},
        {"parallel", "Transfers at once for curl and aria2c.", "P", "8"},
        {"line-mbit", "Through a line of this rate each way (0: straight to the server).", "M", "0"},
        {"line-delay-ms", "The line's delay each way.", "D", "40"},
        {"http2", "With --line-mbit: curl over HTTP/2 too (TLS, one connection), against HTTP/1.1.",
         "yes", "no"},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned smallKib = bench::Number(parser, "small-kib", 0, 1 << 20);
    const unsigned largeMib = bench::Number(parser, "large-mib", 0, 4096);
    const std::string parallel = std::to_string(bench::Number(parser, "parallel", 1, 64));
    const unsigned lineMbit = bench::Number(parser, "line-mbit", 0, 100000);
    const unsigned lineDelayMs = bench::Number(parser, "line-delay-ms", 0, 10000);
    const bool http2 = lineMbit > 0 && parser.value("http2") == QLatin1String("yes");
    if (!bench::HaveTools("download_bench", {"curl", "aria2c"})) return 1;
    // Archive names as update-pack writes them: the installed file's path + ".zip".
    std::vector<bench::TreeFile> planned;
    for (unsigned i = 0, n = bench::Number(parser, "small", 0, 100000); i < n; ++i) {
        planned.push_back({QString("small/s%1.dat.zip").arg(i, 5, 10, QChar('0')).toStdString(),
                           std::uint64_t{smallKib} << 10, bench::Content::Random, i + 1});
    }
    for (unsigned i = 0, n = bench::Number(parser, "large", 0, 1000); i < n; ++i) {
        planned.push_back({QString("large/l%1.dat.zip").arg(i, 3, 10, QChar('0')).toStdString(),
                           std::uint64_t{largeMib} << 20, bench::Content::Random, 100000 + i});
    }

    QTemporaryDir data;
    // nginx's workers run as another user when it is started by root.
    QFile::setPermissions(data.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                                           QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    const QString www = data.path() + "/www";
    std::string error;
    if (!bench::WriteTree((www + kFiles).toStdString(), planned, &error)) {
        std::fprintf(stderr, "download_bench: %s\n", error.c_str());
        return 1;
    }
    bench::Nginx server(QCoreApplication::applicationDirPath() + "/download-nginx", www);
    if (server.Start() == 0) return 1;
    // Everything, manifest included, goes through the line when there is one.
    std::unique_ptr<bench::LineRelay> line;
    QString origin = server.Url(QString());
    if (lineMbit > 0) {
        const quint16 serverPort = static_cast<quint16>(QUrl(origin).port());
        line = std::make_unique<bench::LineRelay>(serverPort, std::chrono::milliseconds(lineDelayMs), lineMbit * 1e6);
        const quint16 port = line->Start();
        if (port == 0) return 1;
        origin = QStringLiteral("http://127.0.0.1:%1").arg(port);
    }
    // The same files over HTTP/2, through a line of their own.
    std::unique_ptr<bench::Nginx> server2;
    std::unique_ptr<bench::LineRelay> line2;
    QString origin2;
    if (http2) {
        server2 = std::make_unique<bench::Nginx>(QCoreApplication::applicationDirPath() + "/download-nginx-h2", www, true);
        const quint16 serverPort = server2->Start();
        if (serverPort == 0) return 1;
        line2 = std::make_unique<bench::LineRelay>(serverPort, std::chrono::milliseconds(lineDelayMs), lineMbit * 1e6);
        const quint16 port = line2->Start();
        if (port == 0) return 1;
        origin2 = QStringLiteral("https://127.0.0.1:%1").arg(port);
    }

    // The manifest lists every file with its URL and size; the MD5 of a file that is not
    // installed does not matter.
    QVector<ManifestEntry> entries;
    QByteArray curlList;
    QByteArray ariaList;
    QByteArray curl2List;
    std::uint64_t bytes = 0;
    for (const bench::TreeFile& file : planned) {
        const QString path = "/" + QString::fromStdString(file.path);
        const QString url = origin + kFiles + path;
        entries.append(ManifestEntry{path, QString(32, QChar('0')), url, QString(), static_cast<qint64>(file.size)});
        curlList += "url = \"" + url.toUtf8() + "\"\noutput = \"" + path.mid(1).toUtf8() + "\"\n";
        ariaList += url.toUtf8() + "\n  out=" + path.mid(1).toUtf8() + "\n";
        curl2List += "url = \"" + (origin2 + kFiles + path).toUtf8() + "\"\noutput = \"" + path.mid(1).toUtf8() + "\"\n";
        bytes += file.size;
    }
    const ManifestTexts texts{"2.0.0", "download benchmark", "2026.01.01"};
    if (!WriteText(www + "/update.json", ManifestJson(texts, entries)) ||
        !WriteText(data.path() + "/curl.list", curlList) || !WriteText(data.path() + "/aria2c.list", ariaList) ||
        !WriteText(data.path() + "/curl2.list", curl2List) ||
        !QDir().mkpath(data.path() + "/tmp")) {
        std::fprintf(stderr, "download_bench: cannot lay out %s\n", qPrintable(data.path()));
        return 1;
    }
    // No window, and a single-instance guard of its own: another updater on the machine
    // neither stops ours nor is stopped by it.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TMPDIR", (data.path() + "/tmp").toUtf8());

    std::vector<bench::Tool> tools{
        {"ours", {"update.exe", "", "silentDownload", (origin + "/update.json").toStdString()}, {}},
        {"curl",
         {"curl", "-s", "--no-progress-meter", "-f", "--create-dirs", "--parallel", "--parallel-max", parallel, "-K",
          (data.path() + "/curl.list").toStdString()},
         {}},
        {"aria2c",
         {"aria2c", "-q", "-j", parallel, "--file-allocation=none", "--allow-overwrite=true",
          "--auto-file-renaming=false", "-d", ".", "-i", (data.path() + "/aria2c.list").toStdString()},
         {}},
    };
    // Each run writes into a folder of its own that nothing has used before, and every output
    // stays until the end: on ext4, creating a thousand files right after deleting a thousand
    // costs several times the kernel time (the inode allocator steps over inodes freed in the
    // last half minute), and that cost would land on whichever tool ran after a deletion.
    // Ours runs from its own installation (<run>/root/app/bin, downloading into its "download"
    // folder). Each run must leave exactly the batch (ours also its manifest and the marker of
    // a finished download, taken out before the comparison).
    int run = 0;
    const auto runOnce = [&](bench::Tool& tool, bool timed) {
        const QString base = QString("%1/runs/%2-%3").arg(data.path(), QString::fromStdString(tool.name)).arg(++run);
        const bool ours = tool.name == "ours";
        const QString bin = base + kBin;
        const QString out = ours ? bin + "/download" : base;
        if (!QDir().mkpath(ours ? bin : out) ||
            (ours && !QFile::copy(QStringLiteral(DOWNLOAD_UPDATER), bin + "/update.exe"))) {
            std::fprintf(stderr, "download_bench: cannot lay out %s\n", qPrintable(base));
            return false;
        }
        if (ours) tool.argv[0] = (bin + "/update.exe").toStdString();
        if (!QDir::setCurrent(ours ? bin : out) || !bench::RunTool(tool, timed)) return false;
        if (ours && (!QFile::remove(out + "/local.ini") || !QFile::remove(out + "/update.json"))) {
            std::fprintf(stderr, "download_bench: FAILED: ours left no finished download\n");
            return false;
        }
        return Fetched(www, out, tool.name);
    };
    // Over a line, aria2c (a peer on loopback) is left out: curl is the one to beat there.
    if (line) tools.pop_back();
    if (http2) {
        tools.push_back({"curl-h2",
                         {"curl", "-s", "--no-progress-meter", "-f", "--create-dirs", "--http2", "--cacert",
                          server2->Certificate().toStdString(), "--parallel", "--parallel-max", parallel, "-K",
                          (data.path() + "/curl2.list").toStdString()},
                         {}});
    }
    if (line) {
        std::printf("%zu files, %.1f MiB from nginx through a %u Mbit/s line with %u ms each way; curl %s at once\n",
                    planned.size(), bytes / 1048576.0, lineMbit, lineDelayMs, parallel.c_str());
    } else {
        std::printf("%zu files, %.1f MiB from nginx on 127.0.0.1; curl and aria2c %s at once\n", planned.size(),
                    bytes / 1048576.0, parallel.c_str());
    }
    for (bench::Tool& tool : tools) {  // untimed warm-up: page cache, the server's first connections
        if (!runOnce(tool, false)) return 1;
    }
    if (!bench::RunRounds(tools, rounds, [&](bench::Tool& tool, unsigned) { return runOnce(tool, true); })) return 1;
    if (line) {
        if (http2) {
            bench::PrintTable({&tools[0], &tools[1], &tools[2]});
        } else {
            bench::PrintTable({&tools[0], &tools[1]});
        }
        const double ours = tools[0].MedianWall();
        const double curl = tools[1].MedianWall();
        // The line's own limit: every byte at its rate, plus the round trips of the manifest's
        // request and the first archive's (connections opened within them).
        const double limit = bytes * 8.0 / (lineMbit * 1e6) + 4 * 2 * lineDelayMs / 1000.0;
        std::printf("line limit  = %.2f s (the bytes at %u Mbit/s and four round trips)\n", limit, lineMbit);
        std::printf("ours/curl   = %.2f (goal <= 1.0) %s\n", ours / curl, bench::Verdict(ours <= curl));
        std::printf("ours/limit  = %.2f, curl/limit = %.2f\n", ours / limit, curl / limit);
        if (http2) std::printf("curl-h2/curl = %.2f (HTTP/2 against HTTP/1.1)\n", tools[2].MedianWall() / curl);
        return 0;
    }
    bench::PrintTable({&tools[0], &tools[1], &tools[2]});
    const double ours = tools[0].MedianWall();
    const double curl = tools[1].MedianWall();
    const double aria = tools[2].MedianWall();
    std::printf("ours/curl   = %.2f (goal <= 1.0) %s\n", ours / curl, bench::Verdict(ours <= curl));
    std::printf("ours/aria2c = %.2f (goal <= 0.8) %s\n", ours / aria, bench::Verdict(ours <= 0.8 * aria));
    return 0;
}
