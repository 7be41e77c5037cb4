// GetDiskFreeSpaceExW: the first figure is what the caller may use, quotas taken into account.
#include <windows.h>

#include "free_space.h"
#include "utf16_win.h"

namespace platform {

std::int64_t FreeBytes(const std::string& folder) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(Utf8ToUtf16(folder).c_str(), &available, nullptr, nullptr)) return -1;
    return static_cast<std::int64_t>(available.QuadPart);
}

}  // namespace platform
