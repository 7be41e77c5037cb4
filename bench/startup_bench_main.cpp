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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_http_server.h"
#include "bench_process.h"

// Last: Xlib defines macros (Bool, Status) that clash with names in Qt's headers.
#include <X11/Xlib.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindowDeadlineMs = 30000;

struct Sample {
    double milliseconds = -1;
    long maxRssKib = 0;
};

// A manifest of the usual shape: a change log and a few hundred files.
QByteArray Manifest() {
    QJsonArray files;
    for (int i = 0; i < 300; ++i) {
        files.append(QJsonObject{{"name", QString("/bin/module%1.dll.zip").arg(i)},
                                 {"md5", QString("%1").arg(i, 32, 16, QLatin1Char('0'))},
                                 {"url", QString("http://127.0.0.1:1/module%1.dll.zip").arg(i)}});
    }
    QString log;
    for (int i = 1; i <= 20; ++i) log += QString("%1. 修复了直播推流中的问题<br>").arg(i);
    return QJsonDocument(QJsonObject{{"version", "1.5.0"},
                                     {"description", log},
                                     {"updatedate", "2026.12.01"},
                                     {"filelist", files}})
        .toJson();
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

Sample RunOnce(Display* display, const std::string& updater, const std::string& url, const std::string& tmp) {
    Sample sample;
    XSync(display, True);  // forget the maps of earlier runs

    std::vector<std::string> environment = {"TMPDIR=" + tmp, "XDG_RUNTIME_DIR=" + tmp, "QT_QPA_PLATFORM=xcb"};
    for (char** variable = environ; *variable; ++variable) {
        const std::string text = *variable;
        const bool replaced = text.rfind("TMPDIR=", 0) == 0 || text.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
                              text.rfind("QT_QPA_PLATFORM=", 0) == 0;
        if (!replaced) environment.push_back(text);
    }
    std::vector<char*> envp;
    for (std::string& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string empty;
    std::string mode = "startup";
    std::string argument = url;
    std::string program = updater;
    char* argv[] = {program.data(), empty.data(), mode.data(), argument.data(), nullptr};

    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, updater.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return sample;
    const bool shown = WaitForMap(display, start + std::chrono::milliseconds(kWindowDeadlineMs));
    const Clock::time_point mapped = Clock::now();

    kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (shown) sample.milliseconds = std::chrono::duration<double, std::milli>(mapped - start).count();
    sample.maxRssKib = usage.ru_maxrss;
    return sample;
}

template <typename T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? T() : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString updater;
    unsigned runs = 9;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--update" && i + 1 < args.size()) {
            updater = args[++i];
        } else if (args[i] == "--runs" && i + 1 < args.size() &&
                   bench::ParseUnsigned(argv[i + 1], 1, 1000, &runs)) {
            ++i;
        } else {
            std::fprintf(stderr, "usage: startup_bench --update PATH/update.exe [--runs N]\n");
            return 2;
        }
    }
    Display* display = XOpenDisplay(nullptr);
    if (updater.isEmpty() || !display) {
        std::fprintf(stderr, "startup_bench needs --update and an X display (see run-startup-bench)\n");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

    // An installation tree of its own: root/app/bin/update.exe, the download directory beside it.
    QTemporaryDir root;
    const QString bin = root.path() + "/app/bin";
    const QString www = root.path() + "/www";
    const QString tmp = root.path() + "/tmp";
    QDir().mkpath(bin);
    QDir().mkpath(www);
    QDir().mkpath(tmp);
    QFile::setPermissions(tmp, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);  // as a runtime dir must be
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
    if (port == 0) {
        std::fprintf(stderr, "python3 http.server did not start\n");
        return 1;
    }
    const std::string url = ("http://127.0.0.1:" + QString::number(port) + "/update.json").toStdString();

    std::vector<double> times;
    std::vector<long> memory;
    RunOnce(display, copy.toStdString(), url, tmp.toStdString());  // warms the file cache
    for (unsigned i = 0; i < runs; ++i) {
        const Sample sample = RunOnce(display, copy.toStdString(), url, tmp.toStdString());
        if (sample.milliseconds < 0) {
            std::fprintf(stderr, "run %u: no window within %d ms\n", i + 1, kWindowDeadlineMs);
            return 1;
        }
        times.push_back(sample.milliseconds);
        memory.push_back(sample.maxRssKib);
    }
    server.kill();
    server.waitForFinished();
    XCloseDisplay(display);

    std::printf("startup run to window shown, %u runs: median %.1f ms (min %.1f, max %.1f)\n", runs,
                Median(times), *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()));
    std::printf("peak resident memory by then: median %.1f MiB (max %.1f)\n", Median(memory) / 1024.0,
                *std::max_element(memory.begin(), memory.end()) / 1024.0);
    return 0;
}
