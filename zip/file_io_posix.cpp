// File services on POSIX systems: file descriptors, mkdir/stat, futimens and mktime, with wide
// strings (UTF-32 here) converted to UTF-8 paths in which '\' separates folders as on Windows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "file_io.h"

namespace zipio {

namespace {

constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr wchar_t kReplacement = 0xFFFD;

std::string NativePath(const wchar_t* path) {
    std::string p = WideToUtf8(path, std::wcslen(path));
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return p;
}

timespec ToTimespec(std::uint64_t fileTime) {
    const std::int64_t units = static_cast<std::int64_t>(fileTime) - kUnixEpochAsFileTime;
    std::int64_t seconds = units / 10000000;
    std::int64_t rest = units % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>(rest * 100);
    return t;
}

// The process's umask, which open() applies to new files but fchmod() does not. Linux shows it in
// /proc/self/status; elsewhere it can only be read by setting it and back, briefly leaving
// another thread's new files under a mask of 077 (stricter, never looser).
mode_t CurrentUmask() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask & 0777);
    }
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return mask;
}

}  // namespace

Handle InvalidHandle() { return -1; }
bool IsValid(Handle h) { return h >= 0; }

Handle OpenForRead(const wchar_t* path) {
    int fd;
    do {
        fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Handle CreateForWrite(const wchar_t* path, std::uint32_t attributes, std::uint32_t itemMode) {
    const std::string p = NativePath(path);
    // Set-id and sticky bits are never taken from an archive: a downloaded program must not
    // run with its owner's rights.
    const mode_t mode = itemMode != kNoMode ? static_cast<mode_t>(itemMode & 0777)
                        : (attributes & kZipAttrReadOnly) ? 0444
                                                          : 0666;
    int fd;
    do {
        fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EEXIST) return fd;

    // Something is there already. A read-only file cannot be replaced, even by an
    // administrator; root bypasses the mode bits here, so the check is made explicitly.
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)) {
        errno = EACCES;
        return -1;
    }
    do {
        fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && itemMode != kNoMode) {
        fchmod(fd, mode & ~CurrentUmask());  // open() leaves an existing file's mode as it was
    } else if (fd >= 0 && (attributes & kZipAttrReadOnly) && fstat(fd, &st) == 0) {
        fchmod(fd, st.st_mode & 07555);  // the replaced file keeps no write bit either
    }
    return fd;
}

void Close(Handle h) {
    if (h >= 0) ::close(h);
}

bool Read(Handle h, void* buffer, std::uint32_t size, std::uint32_t* got) {
    *got = 0;
    char* out = static_cast<char*>(buffer);
    while (*got < size) {
        const ssize_t n = ::read(h, out + *got, size - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        *got += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool Write(Handle h, const void* buffer, std::uint32_t size) {
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(h, in + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

std::int64_t Seek(Handle h, std::int32_t distance, SeekFrom from) {
    const int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
    const off_t pos = ::lseek(h, distance, whence);
    // Positions are 32-bit in the archive format: like a 32-bit file pointer without its high
    // part, a position beyond 4 GiB cannot be represented.
    if (pos < 0 || pos > static_cast<off_t>(UINT32_MAX)) return -1;
    return pos;
}

bool SetTimes(Handle h, std::uint64_t /*creation*/, std::uint64_t access, std::uint64_t modification) {
    const timespec times[2] = {ToTimespec(access), ToTimespec(modification)};
    return ::futimens(h, times) == 0;
}

std::uint32_t GetAttributes(const wchar_t* path) {
    struct stat st {};
    if (::stat(NativePath(path).c_str(), &st) != 0) return kNoAttributes;
    std::uint32_t attributes = S_ISDIR(st.st_mode) ? kZipAttrDirectory : kZipAttrArchive;
    if ((st.st_mode & 0222) == 0) attributes |= kZipAttrReadOnly;
    return attributes;
}

bool CreateFolder(const wchar_t* path) { return ::mkdir(NativePath(path).c_str(), 0777) == 0; }

bool RemoveFile(const wchar_t* path) { return ::unlink(NativePath(path).c_str()) == 0; }

std::wstring CurrentDirectory() {
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) return std::wstring();
    std::wstring dir = Utf8ToWide(buffer, std::strlen(buffer));
    if (dir.size() >= static_cast<std::size_t>(kZipMaxPath)) return std::wstring();
    return dir;
}

bool ComposePath(wchar_t (&out)[kZipMaxPath], const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    std::size_t used = 0;
    for (const wchar_t* part : {a, b, c}) {
        if (!part) continue;
        const std::size_t n = std::wcslen(part);
        if (used + n >= static_cast<std::size_t>(kZipMaxPath)) return false;
        std::wmemcpy(out + used, part, n);
        used += n;
    }
    out[used] = L'\0';
    return true;
}

bool LocalTimeToFileTime(const CalendarTime& t, std::uint64_t* fileTime) {
    static const int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > kDaysInMonth[t.month - 1] || t.hour > 23 ||
        t.minute > 59 || t.second > 59 || t.hour < 0 || t.minute < 0 || t.second < 0) {
        return false;
    }
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.month == 2 && t.day == 29 && !leap) return false;
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    errno = 0;
    const time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return false;
    *fileTime = static_cast<std::uint64_t>(static_cast<std::int64_t>(seconds) * 10000000LL + kUnixEpochAsFileTime);
    return true;
}

// UTF-8 decoding that accepts only shortest forms of scalar values; every malformed sequence
// (stray continuation byte, truncated or overlong sequence, surrogate, beyond U+10FFFF)
// becomes one U+FFFD and decoding resumes at the next byte that can start a sequence.
std::wstring Utf8ToWide(const char* bytes, std::size_t length) {
    std::wstring out;
    out.reserve(length);
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t lowest = 0;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, lowest = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, lowest = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, lowest = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        for (; j < length && j <= i + static_cast<std::size_t>(extra) && (s[j] & 0xC0) == 0x80; ++j) {
            cp = (cp << 6) | (s[j] & 0x3F);
        }
        if (j != i + 1 + static_cast<std::size_t>(extra) || cp < lowest || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            i = j;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i = j;
    }
    return out;
}

std::string WideToUtf8(const wchar_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace zipio
