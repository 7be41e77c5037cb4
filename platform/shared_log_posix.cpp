// POSIX: O_APPEND makes each write() one append at the current end, which writers of other
// processes cannot split. The rotation lock is flock() on the open file, which every writer that
// has the same file open shares; a writer that waited then sees, by comparing inode numbers,
// whether the path still names its file or already a new one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shared_log.h"

namespace platform {

struct SharedLog::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) close(fd);
    }
};

SharedLog::SharedLog(std::string path, std::uint64_t rotateAt, int keep)
    : path_(std::move(path)), rotateAt_(rotateAt), keep_(keep) {}

SharedLog::~SharedLog() = default;

bool SharedLog::Open() {
    auto handle = std::make_unique<Handle>();
    handle->fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (handle->fd < 0) return false;
    handle_ = std::move(handle);
    return true;
}

bool SharedLog::Append(const std::string& bytes) {
    if (!handle_ && !Open()) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(handle_->fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    struct stat own {};
    if (fstat(handle_->fd, &own) == 0 && static_cast<std::uint64_t>(own.st_size) >= rotateAt_) Rotate();
    return true;
}

void SharedLog::Rotate() {
    if (flock(handle_->fd, LOCK_EX) != 0) return;
    struct stat own {}, named {};
    const bool stillNamed = fstat(handle_->fd, &own) == 0 && stat(path_.c_str(), &named) == 0 &&
                            own.st_dev == named.st_dev && own.st_ino == named.st_ino;
    if (stillNamed && static_cast<std::uint64_t>(own.st_size) >= rotateAt_) {
        const auto old = [this](int n) { return path_ + "." + std::to_string(n); };
        std::remove(old(keep_).c_str());
        for (int n = keep_ - 1; n >= 1; --n) std::rename(old(n).c_str(), old(n + 1).c_str());
        if (keep_ > 0) std::rename(path_.c_str(), old(1).c_str());
        else std::remove(path_.c_str());
    }
    // The lock goes with the descriptor; the next line goes to whatever file the path names now.
    handle_.reset();
    Open();
}

}  // namespace platform
