// Link test on Windows: symbolic links and junctions are both reparse points, and the attributes
// of the path itself carry that mark (GetFileAttributesW does not follow a final link).
#include <windows.h>

#include "path_link.h"
#include "utf16_win.h"

namespace platform {

bool IsLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Utf8ToUtf16(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace platform
