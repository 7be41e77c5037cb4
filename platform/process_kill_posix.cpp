// Kill by image name on POSIX (Linux /proc): SIGKILL to every process of our real user whose
// executable file has the name. The executable is the target of /proc/PID/exe; when the file was
// removed or replaced after the start (what an update does), the kernel shows the old path with
// " (deleted)" appended, and such a process still counts under its old name.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process_kill.h"

namespace platform {

namespace {

constexpr char kDeletedMark[] = " (deleted)";
// How long a kill waits for the processes it signalled to be gone.
constexpr qint64 kEndWaitMs = 5000;

std::string ProcPath(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// File name of the executable of pid; empty when the process is gone or not ours to inspect.
std::string ImageNameOf(pid_t pid) {
    char target[PATH_MAX];
    const ssize_t length = readlink(ProcPath(pid, "exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return std::string();
    std::string path(target, static_cast<size_t>(length));
    const size_t markLength = sizeof kDeletedMark - 1;
    if (path.size() > markLength && path.compare(path.size() - markLength, markLength, kDeletedMark) == 0) {
        path.resize(path.size() - markLength);
    }
    return path.substr(path.rfind('/') + 1);
}

// A /proc entry name that is a process id, or 0.
pid_t PidOf(const char* entryName) {
    if (*entryName < '1' || *entryName > '9') return 0;
    char* end = nullptr;
    const long value = std::strtol(entryName, &end, 10);
    return *end == '\0' && value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

std::vector<pid_t> FindProcesses(const std::string& imageName) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    const uid_t user = getuid();
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = PidOf(entry->d_name);
        if (pid == 0) continue;
        // The owner of /proc/PID is the real user of the process. Any lookup may fail because the
        // process has just ended; it is then simply not found.
        struct stat info;
        if (stat(ProcPath(pid, "").c_str(), &info) != 0 || info.st_uid != user) continue;
        if (ImageNameOf(pid) == imageName) found.push_back(pid);
    }
    closedir(proc);
    return found;
}

// Whether pid still runs: /proc/PID/stat holds "PID (COMM) STATE ...", where the command may
// itself contain ") ", hence the last one. A zombie (Z) or a dying process (X) is done.
bool IsRunning(pid_t pid) {
    FILE* file = std::fopen(ProcPath(pid, "stat").c_str(), "re");
    if (file == nullptr) return false;
    char buffer[512];
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    buffer[length] = '\0';
    const std::string line(buffer, length);
    const size_t commandEnd = line.rfind(") ");
    if (commandEnd == std::string::npos || commandEnd + 2 >= line.size()) return false;
    const char state = line[commandEnd + 2];
    return state != 'Z' && state != 'X';
}

void KillAll(const QString& imageName) {
    const std::vector<pid_t> pids = FindProcesses(QFile::encodeName(imageName).toStdString());
    const pid_t self = getpid();
    bool killSelf = false;
    std::vector<pid_t> killed;
    for (const pid_t pid : pids) {
        if (pid == self) {
            killSelf = true;
        } else if (kill(pid, SIGKILL) == 0) {
            killed.push_back(pid);
        }
    }
    // SIGKILL takes effect asynchronously; the files of a process are only free once it is gone.
    QElapsedTimer timer;
    timer.start();
    for (const pid_t pid : killed) {
        while (IsRunning(pid) && !timer.hasExpired(kEndWaitMs)) {
            const timespec pause{0, 2 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    // Last, so that everyone else has been dealt with before the caller goes.
    if (killSelf) kill(self, SIGKILL);
}

}  // namespace

void KillByImageName(const QString& imageName) {
    KillAll(imageName);
}

// POSIX needs no helper process: the kill runs here and now, and when the caller is among the
// processes ended, it is ended last.
bool StartKillByImageName(const QString& imageName) {
    KillAll(imageName);
    return true;
}

}  // namespace platform
