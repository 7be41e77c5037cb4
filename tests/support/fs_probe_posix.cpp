// POSIX file probes: stat times converted to FILETIME, read-only = no write bit at all.
#include "fs_probe.h"

#include <sys/stat.h>

#include "../../zip/file_io.h"

namespace ztest {

namespace {

std::string NativePath(const std::wstring& path) {
    std::string p = zipio::WideToUtf8(path.c_str(), path.size());
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return p;
}

std::uint64_t ToFileTime(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec * 10000000LL + t.tv_nsec / 100 + 116444736000000000LL);
}

}  // namespace

FileTimes GetFileTimes(const std::wstring& path) {
    struct stat st {};
    FileTimes times;
    if (stat(NativePath(path).c_str(), &st) != 0) return times;
    times.ok = true;
    times.access = ToFileTime(st.st_atim);
    times.modification = ToFileTime(st.st_mtim);
    return times;
}

bool IsReadOnly(const std::wstring& path) {
    struct stat st {};
    return stat(NativePath(path).c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

void MakeWritable(const std::wstring& path) {
    struct stat st {};
    const std::string p = NativePath(path);
    if (stat(p.c_str(), &st) == 0) chmod(p.c_str(), (st.st_mode & 07777) | 0200);
}

}  // namespace ztest
