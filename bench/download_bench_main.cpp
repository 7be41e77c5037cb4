// download_bench: times a file batch through NetWork::DownLoad against `xargs -P 8 curl`, both
// fetching the same files from Debian's python3 http.server on 127.0.0.1. Not a test.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

#include "bench_http_server.h"
#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "download_work.h"
#include "network.h"
#include "tree_compare.h"
#include "update_layout.h"

namespace {

// True when a run of who ended well and left in dir exactly the served files, byte for byte.
bool Fetched(double seconds, const QString& www, const QString& dir, const std::string& who) {
    std::vector<std::string> differences;
    bench::TreeSummary summary;
    if (seconds < 0) {
        differences.push_back("a job failed or hung");
    } else if (bench::CompareTrees(www.toStdString(), dir.toStdString(), 5, &differences, &summary)) {
        return true;
    }
    std::fprintf(stderr, "download_bench: FAILED: %s\n", who.c_str());
    for (const std::string& line : differences) std::fprintf(stderr, "  %s\n", line.c_str());
    return false;
}

// One batch through the dispatcher, as the updater runs it; -1 when a job failed or it hung.
double RunOurs(const QMap<QString, QString>& files, const UpdateLayout& layout) {
    QDir(layout.DownloadDir()).removeRecursively();
    int reports = 0;
    int failures = 0;
    QEventLoop loop;
    QElapsedTimer clock;
    {
        NetWork network(layout);
        network.SetDir(UpdateLayout::kDownloadDirName);
        QObject::connect(&network, &NetWork::workfinished, &loop, [&](int, int ecode) {
            failures += ecode != 0;
            if (++reports == files.size()) loop.quit();
        });
        QTimer::singleShot(600 * 1000, &loop, &QEventLoop::quit);
        clock.start();
        network.DownLoad(files, DownLoadWork::kUpdateFile);
        loop.exec();
    }
    return reports == files.size() && failures == 0 ? clock.nsecsElapsed() / 1e9 : -1;
}

double RunCurl(const QMap<QString, QString>& files, const QString& outRoot, unsigned parallel,
               const QString& listPath) {
    QDir(outRoot).removeRecursively();
    QFile list(listPath);
    if (!list.open(QIODevice::WriteOnly)) return -1;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        list.write((outRoot + it.key() + " " + it.value() + "\n").toUtf8());
    }
    list.close();
    const bench::ChildRun run = bench::RunChild({"xargs", "-P", std::to_string(parallel), "-n", "2", "curl", "-s",
                                                 "-f", "--max-time", "60", "--create-dirs", "-o"},
                                                {}, listPath.toStdString());
    return run.exitCode == 0 ? run.wallSeconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times a download batch by NetWork::DownLoad against xargs + curl.", 3, {
        {"small", "Small files.", "N", "1000"},
        {"small-kib", "Size of a small file.", "K", "8"},
        {"large", "Large files.", "N", "10"},
        {"large-mib", "Size of a large file.", "M", "8"},
        {"curl-parallel", "Parallel curl processes.", "P", "8"},
        {"pool", "Time ours with the global pool set to T threads (may be repeated).", "T"},
    });
    const unsigned rounds = bench::Number(parser, "rounds", 1, 100);
    const unsigned smallKib = bench::Number(parser, "small-kib", 0, 1 << 20);
    const unsigned largeMib = bench::Number(parser, "large-mib", 0, 4096);
    const unsigned curlParallel = bench::Number(parser, "curl-parallel", 1, 64);
    std::vector<bench::TreeFile> planned;
    for (unsigned i = 0, n = bench::Number(parser, "small", 0, 100000); i < n; ++i) {
        planned.push_back({QString("small/s%1.zip").arg(i, 4, 10, QChar('0')).toStdString(),
                           std::uint64_t{smallKib} << 10, bench::Content::Random, i + 1});
    }
    for (unsigned i = 0, n = bench::Number(parser, "large", 0, 1000); i < n; ++i) {
        planned.push_back({QString("large/l%1.zip").arg(i, 2, 10, QChar('0')).toStdString(),
                           std::uint64_t{largeMib} << 20, bench::Content::Random, 100000 + i});
    }
    QList<int> pools;
    for (const QString& pool : parser.values("pool")) pools.append(pool.toInt());
    if (pools.isEmpty()) pools.append(QThreadPool::globalInstance()->maxThreadCount());

    QTemporaryDir data;
    const QString www = data.path() + "/www";
    std::string error;
    if (!bench::WriteTree(www.toStdString(), planned, &error)) {
        std::fprintf(stderr, "download_bench: %s\n", error.c_str());
        return 1;
    }
    QProcess server;
    const quint16 port = bench::StartHttpServer(&server, www);
    if (port == 0) return 1;
    QMap<QString, QString> files;  // key below the download folder -> URL
    std::uint64_t bytes = 0;
    for (const bench::TreeFile& file : planned) {
        const QString path = "/" + QString::fromStdString(file.path);
        files.insert(path, "http://127.0.0.1:" + QString::number(port) + path);
        bytes += file.size;
    }
    const UpdateLayout layout(data.path() + "/program");
    const QString curlRoot = data.path() + "/curl";
    std::printf("%zu files, %.1f MiB; curl -P %u; default pool %d threads\n", planned.size(), bytes / 1048576.0,
                curlParallel, QThreadPool::globalInstance()->maxThreadCount());

    // Round 0 is an untimed warm-up (page cache, the server's first connections).
    std::vector<double> curlTimes;
    QMap<int, std::vector<double>> ourTimes;
    for (unsigned round = 0; round <= rounds; ++round) {
        const double c = RunCurl(files, curlRoot, curlParallel, data.path() + "/list.txt");
        if (!Fetched(c, www, curlRoot, "curl")) return 1;
        if (round > 0) curlTimes.push_back(c);
        if (round > 0) std::printf("round %u: curl %.3f s", round, c);
        for (int pool : pools) {
            QThreadPool::globalInstance()->setMaxThreadCount(pool);
            const double t = RunOurs(files, layout);
            if (!Fetched(t, www, layout.DownloadDir(), "ours(pool " + std::to_string(pool) + ")")) return 1;
            if (round > 0) ourTimes[pool].push_back(t);
            if (round > 0) std::printf(", ours(pool %d) %.3f s", pool, t);
        }
        if (round > 0) std::printf("\n");
    }
    server.kill();
    server.waitForFinished(5000);
    const double curlMedian = bench::Median(curlTimes);
    std::printf("median: curl %.3f s\n", curlMedian);
    for (int pool : pools) {
        const double t = bench::Median(ourTimes[pool]);
        std::printf("median: ours(pool %d) %.3f s = %.2fx curl (goal <= 1.0) %s\n", pool, t, t / curlMedian,
                    bench::Verdict(t <= curlMedian));
    }
    return 0;
}
