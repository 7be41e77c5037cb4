// statvfs: blocks available to unprivileged users (not the root-reserved ones) times the
// fundamental block size.
#include <sys/statvfs.h>

#include "free_space.h"

namespace platform {

std::int64_t FreeBytes(const std::string& folder) {
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) != 0) return -1;
    return static_cast<std::int64_t>(fs.f_bavail) * static_cast<std::int64_t>(fs.f_frsize);
}

}  // namespace platform
