// File services on Windows: Win32 handles, CreateFileW/ReadFile/WriteFile and the system's own
// time and UTF-8 conversions; wide strings (UTF-16 here) go to the W functions unchanged.
#include <windows.h>

#include <climits>
#include <cstring>
#include <cwchar>

#include "file_io.h"

static_assert(sizeof(wchar_t) == sizeof(WCHAR), "wchar_t must be the Win32 WCHAR (UTF-16)");
static_assert(sizeof(ZipFileHandle) == sizeof(HANDLE), "ZipFileHandle must hold a HANDLE");
static_assert(kZipAttrReadOnly == FILE_ATTRIBUTE_READONLY && kZipAttrHidden == FILE_ATTRIBUTE_HIDDEN &&
                  kZipAttrSystem == FILE_ATTRIBUTE_SYSTEM && kZipAttrDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kZipAttrArchive == FILE_ATTRIBUTE_ARCHIVE,
              "kZipAttr* must be the Windows FILE_ATTRIBUTE_* bits");
static_assert(zipio::kNoAttributes == INVALID_FILE_ATTRIBUTES, "kNoAttributes must be INVALID_FILE_ATTRIBUTES");

namespace zipio {

namespace {

FILETIME ToFileTime(std::uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

std::uint64_t FromFileTime(const FILETIME& ft) {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

const wchar_t* OrEmpty(const wchar_t* s) { return s ? s : L""; }

}  // namespace

Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }
bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE; }

Handle OpenForRead(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

Handle CreateForWrite(const wchar_t* path, std::uint32_t attributes, std::uint32_t /*mode*/) {
    // Windows refuses CREATE_ALWAYS over an existing read-only file (ERROR_ACCESS_DENIED), as
    // wanted. Wine maps the attribute to missing write bits, which root ignores: there the
    // replacement would succeed, so the refusal is made explicit (Windows gives the same answer).
    const DWORD existing = GetFileAttributesW(path);
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const DWORD flags = attributes != 0 ? static_cast<DWORD>(attributes) : FILE_ATTRIBUTE_NORMAL;
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
}

void Close(Handle h) {
    if (IsValid(h)) CloseHandle(h);
}

bool Read(Handle h, void* buffer, std::uint32_t size, std::uint32_t* got) {
    DWORD n = 0;
    const BOOL ok = ReadFile(h, buffer, static_cast<DWORD>(size), &n, nullptr);
    if (got) *got = ok ? static_cast<std::uint32_t>(n) : 0;
    return ok != FALSE;
}

bool Write(Handle h, const void* buffer, std::uint32_t size) {
    const char* in = static_cast<const char*>(buffer);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(h, in, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
        in += written;
        size -= written;
    }
    return true;
}

std::int64_t Seek(Handle h, std::int32_t distance, SeekFrom from) {
    const DWORD method = from == SeekFrom::Begin ? FILE_BEGIN : from == SeekFrom::Current ? FILE_CURRENT : FILE_END;
    // No high part: a position that does not fit 32 bits fails, like a seek before the start.
    const DWORD pos = SetFilePointer(h, static_cast<LONG>(distance), nullptr, method);
    if (pos == INVALID_SET_FILE_POINTER) return -1;
    return static_cast<std::int64_t>(pos);
}

bool SetTimes(Handle h, std::uint64_t creation, std::uint64_t access, std::uint64_t modification) {
    const FILETIME c = ToFileTime(creation);
    const FILETIME a = ToFileTime(access);
    const FILETIME m = ToFileTime(modification);
    return SetFileTime(h, &c, &a, &m) != FALSE;
}

std::uint32_t GetAttributes(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return kNoAttributes;
    return static_cast<std::uint32_t>(attributes);
}

bool CreateFolder(const wchar_t* path) { return CreateDirectoryW(path, nullptr) != FALSE; }

bool RemoveFile(const wchar_t* path) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // a read-only file cannot be deleted
    return DeleteFileW(path) != FALSE;
}

std::wstring CurrentDirectory() {
    wchar_t buffer[kZipMaxPath];
    // The return is the length copied, or the size needed (terminator included) when too small.
    const DWORD n = GetCurrentDirectoryW(kZipMaxPath, buffer);
    if (n == 0 || n >= static_cast<DWORD>(kZipMaxPath)) return std::wstring();
    return std::wstring(buffer, n);
}

bool ComposePath(wchar_t (&out)[kZipMaxPath], const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    a = OrEmpty(a);
    b = OrEmpty(b);
    c = OrEmpty(c);
    const std::size_t length = std::wcslen(a) + std::wcslen(b) + std::wcslen(c);
    if (length >= static_cast<std::size_t>(kZipMaxPath)) return false;
    // Formatted into a local buffer first, so out may also be one of the parts.
    wchar_t composed[kZipMaxPath];
    wsprintfW(composed, L"%s%s%s", a, b, c);
    std::memcpy(out, composed, (length + 1) * sizeof(wchar_t));
    return true;
}

bool LocalTimeToFileTime(const CalendarTime& t, std::uint64_t* fileTime) {
    // Out-of-range fields are refused here rather than wrapped into a WORD that may look valid.
    for (int field : {t.year, t.month, t.day, t.hour, t.minute, t.second}) {
        if (field < 0 || field > 0xFFFF) return false;
    }
    // SystemTimeToFileTime refuses invalid dates, but Wine's accepts February 29 in any year.
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.month == 2 && t.day == 29 && !leap) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    st.wMilliseconds = 0;
    FILETIME local;
    FILETIME utc;
    if (!SystemTimeToFileTime(&st, &local)) return false;  // invalid dates fail here
    if (!LocalFileTimeToFileTime(&local, &utc)) return false;
    *fileTime = FromFileTime(utc);
    return true;
}

std::wstring Utf8ToWide(const char* bytes, std::size_t length) {
    if (!bytes || length == 0 || length > static_cast<std::size_t>(INT_MAX)) return std::wstring();
    const int in = static_cast<int>(length);
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes, in, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    const int done = MultiByteToWideChar(CP_UTF8, 0, bytes, in, &out[0], n);
    out.resize(done > 0 ? static_cast<std::size_t>(done) : 0);
    return out;
}

std::string WideToUtf8(const wchar_t* text, std::size_t length) {
    if (!text || length == 0 || length > static_cast<std::size_t>(INT_MAX)) return std::string();
    const int in = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, in, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    const int done = WideCharToMultiByte(CP_UTF8, 0, text, in, &out[0], n, nullptr, nullptr);
    out.resize(done > 0 ? static_cast<std::size_t>(done) : 0);
    return out;
}

}  // namespace zipio
