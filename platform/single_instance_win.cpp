// Single-instance guard on Windows: a named mutex in the session's object namespace. Only its
// existence matters; nobody ever waits on it.
#include <windows.h>

#include "single_instance.h"
#include "utf16_win.h"

namespace platform {

bool AcquireSingleInstance(const std::string& name) {
    const std::wstring wideName = Utf8ToUtf16(name);
    // The mutex exists: another instance (or an earlier call here) made it. The handle just opened
    // is left open on purpose; the process is about to give way and end anyway.
    if (OpenMutexW(SYNCHRONIZE, FALSE, wideName.c_str()) != nullptr) return false;
    // The handle is never closed: the mutex, and with it the guard, lives until the system
    // releases the handle at the end of the process. A failed creation still counts as acquired:
    // the guard only keeps a second copy away and must never stop the only one.
    CreateMutexW(nullptr, FALSE, wideName.c_str());
    return true;
}

}  // namespace platform
