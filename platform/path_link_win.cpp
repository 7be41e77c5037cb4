// Link test on Windows: symbolic links and junctions are reparse points, and the attributes of the
// path itself carry that mark (GetFileAttributesW does not follow a final link). So are cloud
// placeholders and deduplicated files, which are no links: the kind is the reparse tag, which
// FindFirstFileW reports in dwReserved0.
#include <windows.h>

#include "path_link.h"
#include "utf16_win.h"

namespace platform {

bool IsLink(const std::string& path) {
    const std::wstring wide = Utf8ToUtf16(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide.c_str(), &found);
    // A tag that cannot be read (a drive's root) is taken for a link: refusing is the safe side.
    if (search == INVALID_HANDLE_VALUE) return true;
    FindClose(search);
    return IsLinkReparseTag(found.dwReserved0);
}

}  // namespace platform
