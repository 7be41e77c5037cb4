// Single-instance guard on POSIX: an exclusive flock() on "<name>.lock" in the temporary folder.
// The lock belongs to the open file description, so it holds for as long as the descriptor stays
// open (the life of the process) and the kernel drops it however the process ends. A second
// open() in the same process is a different description and is refused like any other process,
// the same answer Windows gives for a second call.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "single_instance.h"

namespace platform {

namespace {

// The folder QDir::tempPath() names: $TMPDIR when set and not empty, else /tmp. The updater's
// Qt code and this guard must agree on it.
std::string TempDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
}

std::string LockPath(const std::string& name) { return TempDirectory() + "/" + name + ".lock"; }

}  // namespace

bool AcquireSingleInstance(const std::string& name) {
    const std::string path = LockPath(name);
    // O_CLOEXEC: programs this process starts must not inherit the description and the lock.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // Without a lock file there is no guard to respect: the only copy must still run.
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return false;
    }
    // fd stays open, deliberately never closed.
    return true;
}

bool IsSingleInstanceHeld(const std::string& name) {
    // No lock file: nobody has taken the guard (and nobody could, as AcquireSingleInstance
    // answers when it cannot open the file either).
    const int fd = open(LockPath(name).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    // flock() offers no look without taking: a lock taken here is let go by the close().
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

}  // namespace platform
