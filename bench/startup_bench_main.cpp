// startup_bench: how long a "startup" run of update.exe takes from process start to its window
// appearing on the X display, and how much memory it has used by then. The manifest comes from
// Debian's python3 http.server on 127.0.0.1. Needs an X server (run-startup-bench starts Xvfb);
// the window counts as shown when the server maps it. Not a test.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_http_server.h"
#include "bench_options.h"
#include "bench_process.h"

// Last: Xlib defines macros (Bool, Status) that clash with names in Qt's headers.
#include <X11/Xlib.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindowDeadlineMs = 30000;

// A manifest of the usual shape: a change log and a few hundred files.
QByteArray Manifest() {
    QStringList files;
    for (int i = 0; i < 300; ++i) {
        files << QString(R"({"name": "/bin/module%1.dll.zip", "md5": "%2", "url": "http://127.0.0.1:1/m%1.zip"})")
                     .arg(i).arg(i, 32, 16, QLatin1Char('0'));
    }
    QString log;
    for (int i = 1; i <= 20; ++i) log += QString("%1. 修复了直播推流中的问题<br>").arg(i);
    return QString(R"({"version": "1.5.0", "description": "%1", "updatedate": "2026.12.01", "filelist": [%2]})")
        .arg(log, files.join(",\n")).toUtf8();
}

// Waits for the next top-level window that the X server maps; false at the deadline.
bool WaitForMap(Display* display, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(std::max<long long>(left, 0)));
    }
    return false;
}

// One run: milliseconds to the window into times, peak memory (KiB) into memory; false if none.
bool RunOnce(Display* display, const std::string& updater, const std::string& url, std::vector<double>* times,
             std::vector<double>* memory) {
    XSync(display, True);  // forget the maps of earlier runs
    const char* argv[] = {updater.c_str(), "", "startup", url.c_str(), nullptr};
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
    const bool shown = WaitForMap(display, start + std::chrono::milliseconds(kWindowDeadlineMs));
    times->push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    memory->push_back(usage.ru_maxrss);
    return shown;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    bench::ParseOptions(parser, app, "Times a \"startup\" run of update.exe to its window (run under Xvfb).", 9,
                        {{"update", "The update.exe to start.", "PATH", STARTUP_UPDATER}});
    const QString updater = parser.value("update");
    const unsigned runs = bench::Number(parser, "rounds", 1, 1000);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "startup_bench needs an X display (see run-startup-bench)\n");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

    // An installation tree of its own: root/app/bin/update.exe, the download directory beside it.
    QTemporaryDir root;
    const QString bin = root.path() + "/app/bin";
    const QString www = root.path() + "/www";
    const QString tmp = root.path() + "/tmp";
    for (const QString& folder : {bin, www, tmp}) QDir().mkpath(folder);
    QFile::setPermissions(tmp, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);  // as a runtime dir must be
    for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR"}) setenv(name, qPrintable(tmp), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    const QString copy = bin + "/update.exe";
    QFile manifest(www + "/update.json");
    if (!QFile::copy(updater, copy) || !manifest.open(QIODevice::WriteOnly) || manifest.write(Manifest()) < 0) {
        std::fprintf(stderr, "cannot lay out the installation tree\n");
        return 1;
    }
    manifest.close();
    QFile::setPermissions(copy, QFile::permissions(updater));

    QProcess server;
    const quint16 port = bench::StartHttpServer(&server, www);
    if (port == 0) return 1;
    const std::string url = ("http://127.0.0.1:" + QString::number(port) + "/update.json").toStdString();

    std::vector<double> times, memory;
    for (unsigned i = 0; i <= runs; ++i) {  // run 0 warms the file cache
        if (!RunOnce(display, copy.toStdString(), url, &times, &memory)) {
            std::fprintf(stderr, "run %u: no window within %d ms\n", i, kWindowDeadlineMs);
            return 1;
        }
        if (i == 0) times.clear(), memory.clear();
    }
    server.kill();
    server.waitForFinished();
    XCloseDisplay(display);

    std::printf("startup run to window shown, %u runs: median %.1f ms (min %.1f, max %.1f)\n", runs,
                bench::Median(times), *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()));
    std::printf("peak resident memory by then: median %.1f MiB (max %.1f)\n", bench::Median(memory) / 1024.0,
                *std::max_element(memory.begin(), memory.end()) / 1024.0);
    return 0;
}
