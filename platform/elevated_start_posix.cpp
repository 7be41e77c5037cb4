// Detached start on POSIX, standing in for the Windows elevated start: a double fork so the
// program is not this process's child (nothing to reap, it outlives us), setsid() so it leaves our
// session and terminal. POSIX has no consent prompt; the program runs with our rights.
//
// The caller may have other threads, so between fork() and exec only async-signal-safe calls are
// made; everything else (argv, paths) is prepared before the first fork. An exec failure in the
// grandchild travels back as its errno through a close-on-exec pipe: a successful exec closes the
// pipe empty, a failed one writes into it, so the result is truthful without waiting for the
// program.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "elevated_start.h"

namespace platform {

namespace {

void ReportError(int pipe, int error) {
    // An int into an empty pipe: written whole or not at all.
    while (write(pipe, &error, sizeof error) < 0 && errno == EINTR) {
    }
}

// Runs in the grandchild: prepares a clean start and execs; returns only on failure.
void ExecProgram(const char* path, char* const argv[], const char* devNull) {
    // No terminal for a detached program: its stdio goes nowhere.
    const int null = open(devNull, O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
    }
    // A blocked signal mask and ignored signals survive exec. Qt's network code ignores SIGPIPE
    // process-wide; the program must start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(path, argv);
}

}  // namespace

bool StartElevated(const std::string& path) {
    if (path.empty()) return false;
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    const char* const devNull = "/dev/null";

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;

    const pid_t middle = fork();
    if (middle == 0) {
        close(report[0]);
        setsid();
        const pid_t program = fork();
        if (program < 0) {
            ReportError(report[1], errno);
            _exit(1);
        }
        if (program > 0) _exit(0);
        ExecProgram(path.c_str(), argv, devNull);
        ReportError(report[1], errno);
        _exit(127);
    }
    close(report[1]);
    if (middle < 0) {
        close(report[0]);
        return false;
    }
    // The middle child ends at once; reaping it leaves no zombie behind. The grandchild is then
    // an orphan, adopted by init (or the nearest subreaper).
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    // End of file without data: every write end is closed, the grandchild's by its successful
    // exec. The middle child's status covers the case where it died before forking.
    int error = 0;
    ssize_t got;
    while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    return got == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
