// Free space of the file system holding a folder, as an unprivileged writer may use it. Asked once
// per archive by the unpack, so it is the one system call, not a walk of the mount table.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Bytes the calling user may still write on the file system of the existing folder (UTF-8 path),
// or -1 when that cannot be told.
std::int64_t FreeBytes(const std::string& folder);

}  // namespace platform
