// Elevated start on Windows: the shell's "runas" verb, which shows the consent prompt and starts
// the program with administrator rights.
#include <windows.h>

#include <shellapi.h>

#include "elevated_start.h"
#include "utf16_win.h"

namespace platform {

bool StartElevated(const std::string& path) {
    // The shell accepts '/' as a separator, so the path goes through unchanged.
    const std::wstring widePath = Utf8ToUtf16(path);
    const HINSTANCE result = ShellExecuteW(nullptr, L"runas", widePath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // The result is a fake instance handle: values up to 32 are error codes (SE_ERR_*).
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform
