// Child processes of the benchmark driver: fork/exec/wait4 with timing and resource usage,
// and small helpers to find programs and read their version lines.
#include "bench_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildRun RunChild(const std::vector<std::string>& argv, const std::string& workDir,
                  const std::string& inputFile) {
    ChildRun run;
    if (argv.empty()) return run;
    std::vector<char*> pointers = ArgvPointers(argv);

    // Everything the child needs is prepared before the clock starts.
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) return run;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        close(errorPipe[0]);
        close(errorPipe[1]);
        return run;
    }
    if (pid == 0) {
        close(errorPipe[0]);
        const int input = open(inputFile.empty() ? "/dev/null" : inputFile.c_str(), O_RDONLY);
        if (input >= 0) {
            dup2(input, STDIN_FILENO);
            close(input);
        }
        if (input >= 0 && (workDir.empty() || chdir(workDir.c_str()) == 0)) {
            execvp(pointers[0], pointers.data());
        }
        const int err = errno;
        // Tell the parent why the child never became the program.
        ssize_t ignored = write(errorPipe[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(errorPipe[1]);

    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(pid, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    const auto end = std::chrono::steady_clock::now();

    int childErrno = 0;
    const ssize_t got = read(errorPipe[0], &childErrno, sizeof childErrno);
    close(errorPipe[0]);
    if (waited != pid) return run;
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(),
                     std::strerror(childErrno));
        return run;
    }

    run.started = true;
    run.wallSeconds = std::chrono::duration<double>(end - start).count();
    run.userSeconds = Seconds(usage.ru_utime);
    run.systemSeconds = Seconds(usage.ru_stime);
    run.maxRssKib = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

std::string FirstOutputLine(const std::vector<std::string>& argv) {
    if (argv.empty()) return {};
    std::vector<char*> pointers = ArgvPointers(argv);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const size_t eol = text.find('\n');
    if (eol != std::string::npos) text.resize(eol);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string FindInPath(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return access(program.c_str(), X_OK) == 0 ? program : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(begin, end - begin);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        begin = end + 1;
    }
    return {};
}

bool ParseUnsigned(const char* text, unsigned lo, unsigned hi, unsigned* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < lo || parsed > hi) return false;
    *value = static_cast<unsigned>(parsed);
    return true;
}

}  // namespace bench
