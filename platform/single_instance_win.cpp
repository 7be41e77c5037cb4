// Single-instance guard on Windows: a named mutex in the session's object namespace. Only its
// existence matters; nobody ever waits on it. The mutex exists for as long as any handle to it is
// open, so whoever only looks must close the handle it got.
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

bool IsSingleInstanceHeld(const std::string& name) {
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Utf8ToUtf16(name).c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    // Only a missing mutex is a free guard. One this process may not open (made by an elevated
    // holder, say) exists all the same.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
