// download_bench: times a file batch through NetWork::DownLoad against `xargs -P 8 curl`, both
// fetching the same files from Debian's python3 http.server on 127.0.0.1. Not a test.
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "bench_http_server.h"
#include "download_work.h"
#include "network.h"
#include "update_layout.h"

namespace {

struct Options {
    int small = 1000;
    int smallKib = 8;
    int large = 10;
    int largeMib = 8;
    int rounds = 3;
    int curlParallel = 8;
    QList<int> pools;  // pool sizes to time ours with; empty: the default pool only
};

int IntArg(const QStringList& args, int& i) { return i + 1 < args.size() ? args.at(++i).toInt() : 0; }

bool Parse(const QStringList& args, Options& o) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == "--small") o.small = IntArg(args, i);
        else if (a == "--small-kib") o.smallKib = IntArg(args, i);
        else if (a == "--large") o.large = IntArg(args, i);
        else if (a == "--large-mib") o.largeMib = IntArg(args, i);
        else if (a == "--rounds") o.rounds = IntArg(args, i);
        else if (a == "--curl-parallel") o.curlParallel = IntArg(args, i);
        else if (a == "--pool") o.pools.append(IntArg(args, i));
        else return false;
    }
    return o.rounds > 0 && o.curlParallel > 0 && o.small >= 0 && o.large >= 0;
}

bool WriteRandom(const QString& path, qint64 size, quint32 seed) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QRandomGenerator generator(seed);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        const qint64 n = std::min<qint64>(left, block.size());
        if (file.write(block.constData(), n) != n) return false;
    }
    return true;
}

// Files and bytes below root, so each run can be checked for completeness.
QPair<int, qint64> Tally(const QString& root) {
    QPair<int, qint64> t{0, 0};
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++t.first;
        t.second += it.fileInfo().size();
    }
    return t;
}

double Median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

// One batch through the dispatcher, as the updater runs it; -1 when a job failed or it hung.
double RunOurs(const QMap<QString, QString>& files, const QString& dirName) {
    QDir(QCoreApplication::applicationDirPath() + "/" + dirName).removeRecursively();
    int reports = 0;
    int failures = 0;
    QEventLoop loop;
    QElapsedTimer clock;
    {
        NetWork network(UpdateLayout::OfRunningProgram());
        network.SetDir(dirName);
        QObject::connect(&network, &NetWork::workfinished, &loop, [&](int, int ecode) {
            if (ecode != 0) ++failures;
            if (++reports == files.size()) loop.quit();
        });
        QTimer::singleShot(600 * 1000, &loop, &QEventLoop::quit);
        clock.start();
        network.DownLoad(files, DownLoadWork::kUpdateFile);
        loop.exec();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    return reports == files.size() && failures == 0 ? seconds : -1;
}

double RunCurl(const QMap<QString, QString>& files, const QString& outRoot, int parallel,
               const QString& listPath) {
    QDir(outRoot).removeRecursively();
    QFile list(listPath);
    if (!list.open(QIODevice::WriteOnly)) return -1;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        list.write((outRoot + it.key() + " " + it.value() + "\n").toUtf8());
    list.close();
    QProcess xargs;
    xargs.setStandardInputFile(listPath);
    QElapsedTimer clock;
    clock.start();
    xargs.start("xargs", {"-P", QString::number(parallel), "-n", "2", "curl", "-s", "-f", "--max-time", "60",
                          "--create-dirs", "-o"});
    if (!xargs.waitForFinished(600 * 1000) || xargs.exitCode() != 0) return -1;
    return clock.nsecsElapsed() / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows up even when piped
    Options o;
    if (!Parse(app.arguments(), o)) {
        std::fprintf(stderr,
                     "usage: download_bench [--small N] [--small-kib K] [--large N] [--large-mib M]\n"
                     "                      [--rounds R] [--curl-parallel P] [--pool T]...\n");
        return 2;
    }

    QTemporaryDir data;
    QMap<QString, QString> paths;  // key below the download folder -> path on the server
    for (int i = 0; i < o.small; ++i) paths.insert(QString("/small/s%1.zip").arg(i, 4, 10, QChar('0')), {});
    for (int i = 0; i < o.large; ++i) paths.insert(QString("/large/l%1.zip").arg(i, 2, 10, QChar('0')), {});
    QDir().mkpath(data.path() + "/small");
    QDir().mkpath(data.path() + "/large");
    quint32 seed = 1;
    for (auto it = paths.begin(); it != paths.end(); ++it) {
        const bool large = it.key().startsWith("/large/");
        const qint64 size = large ? qint64(o.largeMib) << 20 : qint64(o.smallKib) << 10;
        if (!WriteRandom(data.path() + it.key(), size, seed++)) return 1;
    }
    const QPair<int, qint64> expected = Tally(data.path());

    QProcess server;
    const quint16 port = bench::StartHttpServer(&server, data.path());
    if (port == 0) {
        std::fprintf(stderr, "python3 http.server did not start\n");
        return 1;
    }
    QMap<QString, QString> files;
    for (auto it = paths.constBegin(); it != paths.constEnd(); ++it)
        files.insert(it.key(), "http://127.0.0.1:" + QString::number(port) + it.key());

    const int defaultPool = QThreadPool::globalInstance()->maxThreadCount();
    QList<int> pools = o.pools.isEmpty() ? QList<int>{defaultPool} : o.pools;
    const QString dirName = "bench-download";
    const QString ourRoot = QCoreApplication::applicationDirPath() + "/" + dirName;
    const QString curlRoot = data.path() + "-curl";
    std::printf("%d files, %.1f MiB; curl -P %d; default pool %d threads\n", expected.first,
                expected.second / 1048576.0, o.curlParallel, defaultPool);

    // Round 0 is an untimed warm-up (page cache, the server's first connections).
    QList<double> curlTimes;
    QMap<int, QList<double>> ourTimes;
    bool ok = true;
    for (int round = 0; round <= o.rounds && ok; ++round) {
        const double c = RunCurl(files, curlRoot, o.curlParallel, data.path() + "-list.txt");
        ok = c >= 0 && Tally(curlRoot) == expected;
        if (round > 0) curlTimes.append(c);
        if (c < 0) std::fprintf(stderr, "round %d: curl failed\n", round);
        for (int pool : pools) {
            QThreadPool::globalInstance()->setMaxThreadCount(pool);
            const double t = RunOurs(files, dirName);
            ok = ok && t >= 0 && Tally(ourRoot) == expected;
            if (round > 0) ourTimes[pool].append(t);
            if (t < 0) std::fprintf(stderr, "round %d: ours(pool %d) failed\n", round, pool);
        }
        if (round > 0) {
            std::printf("round %d: curl %.3f s", round, c);
            for (int pool : pools) std::printf(", ours(pool %d) %.3f s", pool, ourTimes[pool].last());
            std::printf("\n");
        }
    }
    server.kill();
    server.waitForFinished(5000);
    QDir(curlRoot).removeRecursively();
    QDir(ourRoot).removeRecursively();
    QFile::remove(data.path() + "-list.txt");
    if (!ok) {
        std::fprintf(stderr, "a run failed or fetched incomplete files\n");
        return 1;
    }
    const double curlMedian = Median(curlTimes);
    std::printf("median: curl %.3f s\n", curlMedian);
    for (int pool : pools) {
        const double t = Median(ourTimes[pool]);
        std::printf("median: ours(pool %d) %.3f s = %.2fx curl\n", pool, t, t / curlMedian);
    }
    return 0;
}
