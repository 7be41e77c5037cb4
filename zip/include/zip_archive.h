// Zip archive engine: opens single-disk zip archives (stored or deflated items, optionally
// under the traditional PKWARE cipher), lists their items and extracts them to files or memory.
#pragma once

#include <cstdint>
#include <string>

// Every operation returns one of these codes and also leaves it in ZipLastResult.
// ZipResultText gives the fixed message of each code.
typedef std::uint32_t ZipResult;

constexpr ZipResult kZipSuccess = 0x00000000;
constexpr ZipResult kZipDupHandle = 0x00000100;
constexpr ZipResult kZipNoFile = 0x00000200;        // target or archive could not be created/opened
constexpr ZipResult kZipNoAlloc = 0x00000300;
constexpr ZipResult kZipWrite = 0x00000400;         // a write to the target failed
constexpr ZipResult kZipNotFound = 0x00000500;      // ZipFindItem found no item of that name
constexpr ZipResult kZipMore = 0x00000600;          // ZipExtractToMemory: call again for the next piece
constexpr ZipResult kZipCorrupt = 0x00000700;       // inconsistent records or item data (also CRC-32 mismatch)
constexpr ZipResult kZipRead = 0x00000800;          // reading the archive failed
constexpr ZipResult kZipPassword = 0x00001000;      // encrypted item, wrong or missing password
constexpr ZipResult kZipArgs = 0x00010000;          // bad handle, index, buffer or path
constexpr ZipResult kZipNotMemory = 0x00020000;
constexpr ZipResult kZipMemSize = 0x00030000;
constexpr ZipResult kZipPrevious = 0x00040000;
constexpr ZipResult kZipEnded = 0x00050000;
constexpr ZipResult kZipSizeBug = 0x00060000;
constexpr ZipResult kZipPartlyUnzipped = 0x00070000;
constexpr ZipResult kZipMixed = 0x00080000;         // handle is not a reader handle
constexpr ZipResult kZipNotInitialised = 0x01000000;
constexpr ZipResult kZipSeek = 0x02000000;          // caller's file handle cannot seek
constexpr ZipResult kZipNoChange = 0x04000000;
constexpr ZipResult kZipFlate = 0x05000000;         // read/inflate error, or data ended early

// Passed to ZipResultText in place of a code: stands for the value of ZipLastResult.
constexpr ZipResult kZipUseLastResult = 0x00000001;

// The result of the most recent operation made on the calling thread. Each thread has its own:
// archives are extracted on several threads at once, and a caller reading why its own call
// failed must not see the outcome of another thread's call made in between. A thread that has
// made no call yet reads kZipSuccess.
extern thread_local ZipResult ZipLastResult;

// Longest path or name the engine handles, in wide characters including the terminator.
constexpr int kZipMaxPath = 260;

// An open OS file: a Windows HANDLE there, a file descriptor on POSIX systems.
#ifdef _WIN32
typedef void* ZipFileHandle;
#else
typedef int ZipFileHandle;
#endif

// Windows file-attribute bits as reported in ZipItemInfo::attributes.
constexpr std::uint32_t kZipAttrReadOnly = 0x01;
constexpr std::uint32_t kZipAttrHidden = 0x02;
constexpr std::uint32_t kZipAttrSystem = 0x04;
constexpr std::uint32_t kZipAttrDirectory = 0x10;
constexpr std::uint32_t kZipAttrArchive = 0x20;

struct ZipItemInfo {
    // Position in the central directory; for the summary request (index -1) the item count.
    std::int32_t index;
    // Stored name decoded from UTF-8, drive letters, leading separators and "..\" runs removed.
    wchar_t name[kZipMaxPath];
    std::uint32_t attributes;
    // Windows FILETIME values: 100 ns intervals since 1601-01-01 UTC.
    std::uint64_t accessTime;
    std::uint64_t creationTime;
    std::uint64_t modificationTime;
    std::uint32_t compressedSize;
    std::uint32_t size;
};

struct ZipReader;

// What the open operations hand out; the caller owns it until ZipClose.
constexpr std::uint32_t kZipHandleReader = 1;
struct ZipHandle {
    std::uint32_t kind;  // kZipHandleReader for every handle this engine creates
    ZipReader* reader;
};

// Opening. Each returns null on failure; ZipLastResult then tells why. The password may be null.
// From a handle, the archive starts at the handle's current position; the handle must be
// seekable and stays the caller's. From memory, the bytes are used in place and must outlive
// the handle.
ZipHandle* ZipOpenFromPath(const wchar_t* path, const char* password);
ZipHandle* ZipOpenFromHandle(ZipFileHandle file, const char* password);
ZipHandle* ZipOpenFromMemory(const void* data, std::uint32_t length, const char* password);

// Sets the folder that relative extraction paths are joined to (a separator is appended when
// missing). The folder is created by the first extraction that needs it.
ZipResult ZipSetExtractDir(ZipHandle* handle, const wchar_t* directory);

// Fills info for item index, or the summary (item count in info.index) for index -1.
ZipResult ZipGetItemInfo(ZipHandle* handle, std::int32_t index, ZipItemInfo* info);

// Looks an item up by its stored name, byte for byte or ignoring ASCII case. info may be null.
ZipResult ZipFindItem(ZipHandle* handle, const wchar_t* name, bool ignoreCase, std::int32_t* index,
                      ZipItemInfo* info);

// Writes item index to path (relative paths are joined to the extraction folder), creating the
// folders on the way and giving the file the item's attributes and times. Relative paths with a
// ".." segment are refused. A failed extraction leaves no file at the target.
ZipResult ZipExtractToPath(ZipHandle* handle, std::int32_t index, const wchar_t* path);

// Writes item index's bytes into the caller's open file and sets the file's times.
ZipResult ZipExtractToHandle(ZipHandle* handle, std::int32_t index, ZipFileHandle file);

// Delivers item index in pieces of up to length bytes: kZipMore for each piece before the last,
// kZipSuccess for the last one. Call again with the same index for the next piece.
ZipResult ZipExtractToMemory(ZipHandle* handle, std::int32_t index, void* buffer, std::uint32_t length);

// Closes the archive and frees the handle.
ZipResult ZipClose(ZipHandle* handle);

// Copies the text of code (kZipUseLastResult: of ZipLastResult) into buffer, cut to size - 1
// characters and terminated. Returns the full length of the text, without the terminator.
std::uint32_t ZipResultText(ZipResult code, wchar_t* buffer, std::uint32_t size);

// Extracts every item of the archive at zipPath under destDir, in directory order. True only when
// the archive opened and every item extracted (an archive with no items counts); false for empty
// arguments. Extraction stops at the first item that fails; a name that would land outside
// destDir counts as a failure and nothing is written for it.
bool ExtractZipToDir(const std::wstring& zipPath, const std::wstring& destDir);
