// Windows file probes: FILETIME times from GetFileAttributesExW, read-only = the
// FILE_ATTRIBUTE_READONLY bit, cleared with SetFileAttributesW.
#include "fs_probe.h"

#include <windows.h>

namespace ztest {

namespace {

std::uint64_t FromFileTime(const FILETIME& ft) {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

FileTimes GetFileTimes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    FileTimes times;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return times;
    times.ok = true;
    times.access = FromFileTime(data.ftLastAccessTime);
    times.modification = FromFileTime(data.ftLastWriteTime);
    return times;
}

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void MakeWritable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
    const DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(path.c_str(), cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL);
}

}  // namespace ztest
