// resume_bench: a silent download by update.exe from nginx, cut when a share of the release has
// arrived by stopping the server, then run again with the server back: the bytes nginx sends the
// second time against the release, and that run's time against a fresh whole download. Not a test.
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

#include "bench_http_server.h"
#include "bench_options.h"
#include "bench_process.h"
#include "bench_tree.h"
#include "line_relay.h"
#include "manifest.h"
#include "release_signature.h"

namespace {

const QString kFiles = QStringLiteral("/files");

// Bytes of every file below dir, hidden ones (the partial archives) included.
qint64 BytesBelow(const QString& dir) {
    qint64 bytes = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return bytes;
}

// A fresh installation below base with its own copy of update.exe; returns its program folder.
QString LayInstallation(const QString& base) {
    const QString bin = base + "/root/app/bin";
    if (!QDir().mkpath(bin) || !QFile::copy(QStringLiteral(RESUME_UPDATER), bin + "/update.exe")) return QString();
    return bin;
}

// True when the download folder holds the marker and every archive with its manifest SHA-256.
bool Finished(const QString& bin, const QVector<ManifestEntry>& entries) {
    if (!QFileInfo::exists(bin + "/download/local.ini")) {
        std::fprintf(stderr, "resume_bench: FAILED: no marker in %s\n", qPrintable(bin));
        return false;
    }
    for (const ManifestEntry& entry : entries) {
        if (release::FileSha256(bin + "/download" + entry.name) != entry.sha256) {
            std::fprintf(stderr, "resume_bench: FAILED: %s is not the release's\n", qPrintable(entry.name));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times a silent download cut short and resumed, against a whole one.", 1, {
        {"archives", "Archives in the release.", "N", "20"},
        {"archive-mib", "Size of an archive.", "M", "10"},
        {"cut-percent", "Share of the release that arrives before the server stops.", "P", "75"},
        {"line-mbit", "Rate of the line between nginx and the updater, so the cut can be timed.", "M", "400"},
    });
    const unsigned archives = bench::Number(parser, "archives", 1, 1000);
    const unsigned archiveMib = bench::Number(parser, "archive-mib", 1, 1024);
    const unsigned cutPercent = bench::Number(parser, "cut-percent", 1, 99);
    const unsigned lineMbit = bench::Number(parser, "line-mbit", 1, 100000);

    QTemporaryDir data;
    QFile::setPermissions(data.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                                           QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    const QString www = data.path() + "/www";
    std::vector<bench::TreeFile> planned;
    for (unsigned i = 0; i < archives; ++i) {
        planned.push_back({QString("bin/part%1.dll.zip").arg(i, 3, 10, QChar('0')).toStdString(),
                           std::uint64_t{archiveMib} << 20, bench::Content::Random, 500 + i});
    }
    std::string error;
    if (!bench::WriteTree((www + kFiles).toStdString(), planned, &error)) {
        std::fprintf(stderr, "resume_bench: %s\n", error.c_str());
        return 1;
    }
    bench::Nginx server(QCoreApplication::applicationDirPath() + "/resume-nginx", www);
    server.LogBodyBytes(data.path() + "/body-bytes.log");
    const quint16 serverPort = server.Start();
    if (serverPort == 0) return 1;
    bench::LineRelay line(serverPort, std::chrono::milliseconds(2), lineMbit * 1e6);
    const quint16 port = line.Start();
    if (port == 0) return 1;
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(port);

    // Every entry with its size and SHA-256, as update-pack writes them.
    QVector<ManifestEntry> entries;
    qint64 releaseBytes = 0;
    for (const bench::TreeFile& file : planned) {
        const QString path = "/" + QString::fromStdString(file.path);
        entries.append(ManifestEntry{path, QString(32, QChar('0')), origin + kFiles + path,
                                     release::FileSha256(www + kFiles + path), static_cast<qint64>(file.size)});
        releaseBytes += static_cast<qint64>(file.size);
    }
    QFile manifest(www + "/update.json");
    const QByteArray manifestText = ManifestJson({"2.0.0", "resume benchmark", "2026.01.01"}, entries);
    if (!manifest.open(QIODevice::WriteOnly) || manifest.write(manifestText) != manifestText.size()) return 1;
    manifest.close();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TMPDIR", (data.path() + "/tmp").toUtf8());
    QDir().mkpath(data.path() + "/tmp");
    const std::vector<std::string> command{"update.exe", "", "silentDownload", (origin + "/update.json").toStdString()};

    // The first run, cut: the server stops once the share has arrived, and the updater gives up
    // after its retries.
    const QString bin = LayInstallation(data.path() + "/cut");
    if (bin.isEmpty()) return 1;
    QProcess first;
    first.setProgram(bin + "/update.exe");
    first.setArguments({"", "silentDownload", origin + "/update.json"});
    first.setWorkingDirectory(bin);
    first.start();
    QElapsedTimer clock;
    clock.start();
    qint64 arrived = 0;
    while (first.state() != QProcess::NotRunning && clock.elapsed() < 600000) {
        arrived = BytesBelow(bin + "/download");
        if (arrived >= releaseBytes * cutPercent / 100) break;
        QThread::msleep(5);
    }
    server.Stop();
    first.waitForFinished(120000);
    const qint64 kept = BytesBelow(bin + "/download");
    if (!server.Restart()) return 1;

    // The second run goes on; the bytes nginx sends it are what the cut cost.
    const qint64 logOffset = server.BodyLogSize();
    bench::Tool resumed{"resumed", command, {}};
    resumed.argv[0] = (bin + "/update.exe").toStdString();
    if (!QDir::setCurrent(bin) || !bench::RunTool(resumed, true) || !Finished(bin, entries)) return 1;
    const qint64 resent = server.BodyBytesSince(logOffset) - manifestText.size();

    // A whole download for comparison.
    const QString freshBin = LayInstallation(data.path() + "/fresh");
    bench::Tool fresh{"fresh", command, {}};
    fresh.argv[0] = (freshBin + "/update.exe").toStdString();
    if (freshBin.isEmpty() || !QDir::setCurrent(freshBin) || !bench::RunTool(fresh, true) || !Finished(freshBin, entries)) {
        return 1;
    }

    std::printf("%u archives, %.1f MiB, from nginx through a %u Mbit/s line; the server stopped at %.0f %% "
                "arrived, %.0f %% kept on disk\n",
                archives, releaseBytes / 1048576.0, lineMbit, 100.0 * arrived / releaseBytes, 100.0 * kept / releaseBytes);
    bench::PrintTable({&resumed, &fresh});
    std::printf("fetched again / release = %.2f (goal <= 0.30) %s\n", double(resent) / releaseBytes,
                bench::Verdict(resent <= releaseBytes * 0.30));
    std::printf("resumed / fresh time    = %.2f\n", resumed.MedianWall() / fresh.MedianWall());
    return 0;
}
