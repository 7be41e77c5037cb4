// File services of the zip engine: the few file-system, time and text calls it needs, with one
// implementation per platform (file_io_win.cpp on Windows, file_io_posix.cpp elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zip_archive.h"

namespace zipio {

using Handle = ZipFileHandle;
Handle InvalidHandle();
bool IsValid(Handle h);

// Opens an existing file for reading; others may read it at the same time.
Handle OpenForRead(const wchar_t* path);
// Mode bits (permissions, set-id, sticky) that an item from a Unix host recorded, or
// kNoMode for items from hosts that record none.
constexpr std::uint32_t kNoMode = 0xFFFFFFFF;

// Creates a file for writing, replacing an existing one, with the given attribute bits
// (kZipAttr*). Fails where the platform refuses: an existing read-only file, a folder. Where
// files have POSIX modes, the file gets mode's permission bits (less the umask, never set-id or
// sticky bits) when it is not kNoMode; Windows keeps to the attributes.
Handle CreateForWrite(const wchar_t* path, std::uint32_t attributes, std::uint32_t mode);
void Close(Handle h);

// Reads up to size bytes; *got is the count read (0 at the end of the file).
bool Read(Handle h, void* buffer, std::uint32_t size, std::uint32_t* got);
// Writes all size bytes or fails.
bool Write(Handle h, const void* buffer, std::uint32_t size);

enum class SeekFrom { Begin, Current, End };
// Moves the file position by a signed 32-bit distance and returns the new position, or -1 when
// the handle cannot seek.
std::int64_t Seek(Handle h, std::int32_t distance, SeekFrom from);

// Sets the three times of an open file (Windows FILETIME values; POSIX has no creation time).
bool SetTimes(Handle h, std::uint64_t creation, std::uint64_t access, std::uint64_t modification);

constexpr std::uint32_t kNoAttributes = 0xFFFFFFFF;
// Attribute bits of whatever is at path (kZipAttrDirectory for a folder), kNoAttributes if nothing.
std::uint32_t GetAttributes(const wchar_t* path);
// Creates one folder; its parent must exist.
bool CreateFolder(const wchar_t* path);
// Removes a file, read-only or not.
bool RemoveFile(const wchar_t* path);

// The process's current directory, or an empty string when it does not fit kZipMaxPath.
std::wstring CurrentDirectory();

// out = a + b + c when the result (with its terminator) fits kZipMaxPath; false otherwise.
bool ComposePath(wchar_t (&out)[kZipMaxPath], const wchar_t* a, const wchar_t* b, const wchar_t* c);

// A calendar time read as the machine's local time, converted to a UTC FILETIME. False when the
// fields do not form a valid time.
struct CalendarTime {
    int year, month, day, hour, minute, second;
};
bool LocalTimeToFileTime(const CalendarTime& t, std::uint64_t* fileTime);

// UTF-8 <-> wide text. Malformed input becomes U+FFFD, as the Windows conversions do.
std::wstring Utf8ToWide(const char* bytes, std::size_t length);
std::string WideToUtf8(const wchar_t* text, std::size_t length);

}  // namespace zipio
