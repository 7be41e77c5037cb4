// Link test on POSIX: lstat describes the path itself without following a final symbolic link.
#include <sys/stat.h>

#include "path_link.h"

namespace platform {

bool IsLink(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace platform
