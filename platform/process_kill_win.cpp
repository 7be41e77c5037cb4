// Kill by image name on Windows: the system's taskkill command, "/f" for a forced end.
//
// taskkill is started with CreateProcessW and waited for on its process handle, not through
// QProcess: a QProcess watches its child with a thread-pool wait (RegisterWaitForSingleObject)
// whose callback writes into the QProcess's own memory. Wine can still run that callback after
// the wait has been unregistered, when the child ended just as the QProcess was being destroyed;
// the callback then wrote into freed memory and crashed the updater at random later on.
#include <windows.h>

#include <string>

#include "process_kill.h"

namespace platform {

namespace {

// The system's own taskkill.exe, never one from the current or the program's folder, which
// CreateProcessW would search first for a bare name.
std::wstring TaskkillPath() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(folder, length) + L"\\taskkill.exe";
}

// Starts taskkill /im "NAME" /f; the process handle in *process, or nothing when it could not be
// started. Its messages go to this program's own output, and it gets a console window only when
// this program has one. Image names hold no quotes, so the quoted name is one argument as it stands.
bool StartTaskkill(const QString& imageName, HANDLE* process) {
    const std::wstring name = imageName.toStdWString();
    const std::wstring program = TaskkillPath();
    if (name.empty() || name.find(L'"') != std::wstring::npos || program.empty()) return false;
    std::wstring commandLine = L"\"" + program + L"\" /im \"" + name + L"\" /f";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const DWORD flags = GetConsoleWindow() ? 0 : CREATE_NO_WINDOW;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    *process = started.hProcess;
    return true;
}

}  // namespace

void KillByImageName(const QString& imageName) {
    HANDLE process = nullptr;
    if (!StartTaskkill(imageName, &process)) return;
    // The exit code is of no use: "no such process" is as good as success here.
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
}

bool StartKillByImageName(const QString& imageName) {
    HANDLE process = nullptr;
    if (!StartTaskkill(imageName, &process)) return false;
    CloseHandle(process);
    return true;
}

}  // namespace platform
