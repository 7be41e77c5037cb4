#include "bench_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace bench {

ChildRun RunChild(const std::vector<std::string>& argv, const std::string& workDir, const std::string& inputFile) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    const char* input = inputFile.empty() ? "/dev/null" : inputFile.c_str();

    ChildRun run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return run;
    if (pid == 0) {
        const int fd = open(input, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && dup2(fd, STDIN_FILENO) >= 0 && (workDir.empty() || chdir(workDir.c_str()) == 0)) {
            execvp(pointers[0], pointers.data());
        }
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.userSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    run.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.maxRssKib = usage.ru_maxrss;
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

std::string FirstOutputLine(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments, QIODevice::ReadOnly);
    process.waitForFinished();
    return QString::fromLocal8Bit(process.readAllStandardOutput()).section('\n', 0, 0).trimmed().toStdString();
}

bool HaveTools(const char* bench, const QStringList& programs) {
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty()) {
            std::fprintf(stderr, "%s: %s is missing (scripts/setup-deps installs the tools)\n", bench,
                         qPrintable(program));
            return false;
        }
    }
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Tool::MedianWall() const {
    std::vector<double> wall;
    for (const ChildRun& run : runs) wall.push_back(run.wallSeconds);
    return Median(wall);
}

double Tool::PeakMib() const {
    long peak = 0;
    for (const ChildRun& run : runs) peak = std::max(peak, run.maxRssKib);
    return static_cast<double>(peak) / 1024.0;
}

bool RunTool(Tool& tool, bool timed, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = tool.argv;
    argv.insert(argv.end(), extra.begin(), extra.end());
    const ChildRun run = RunChild(argv);
    if (run.exitCode != 0) {
        std::fprintf(stderr, "FAILED: %s (exit %d, signal %d)\n", tool.name.c_str(), run.exitCode, run.signal);
        return false;
    }
    if (timed) tool.runs.push_back(run);
    return true;
}

bool RunRounds(std::vector<Tool>& tools, unsigned rounds, const std::function<bool(Tool&, unsigned)>& runOnce) {
    for (unsigned round = 1; round <= rounds; ++round) {
        std::printf("round %u:", round);
        for (std::size_t k = 0; k < tools.size(); ++k) {
            Tool& tool = tools[(round - 1 + k) % tools.size()];
            if (!runOnce(tool, round)) return false;
            std::printf("  %s %.3f s", tool.name.c_str(), tool.runs.back().wallSeconds);
        }
        std::printf("\n");
    }
    return true;
}

void PrintTable(const std::vector<const Tool*>& tools) {
    std::printf("\n%-8s %10s %9s %9s %9s %9s %12s\n", "tool", "median s", "min s", "max s", "user s", "sys s",
                "peak MiB");
    for (const Tool* tool : tools) {
        std::vector<double> wall, user, sys;
        for (const ChildRun& run : tool->runs) {
            wall.push_back(run.wallSeconds);
            user.push_back(run.userSeconds);
            sys.push_back(run.systemSeconds);
        }
        std::printf("%-8s %10.3f %9.3f %9.3f %9.3f %9.3f %12.1f\n", tool->name.c_str(), Median(wall),
                    *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
                    Median(user), Median(sys), tool->PeakMib());
    }
    std::printf("(medians of the timed rounds; peak = largest ru_maxrss of the child from wait4())\n\n");
}

}  // namespace bench
