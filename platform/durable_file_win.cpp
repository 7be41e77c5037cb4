// Durable writes on Windows. Files are copied through a large buffer into a file created new
// (CREATE_NEW never opens what is there, a link included) with the source's attributes and time;
// after the batch, FlushFileBuffers on
// each file asks the disk for its data, which by then the cache manager has mostly written
// back. Renames carry MOVEFILE_WRITE_THROUGH, so each is on the disk when MoveFileExW returns,
// and never MOVEFILE_REPLACE_EXISTING: a name in the way fails the rename. A folder handle
// (FILE_FLAG_BACKUP_SEMANTICS) takes FlushFileBuffers too, which commits its entries.
#include <windows.h>

#include <algorithm>
#include <memory>

#include "durable_file.h"
#include "utf16_win.h"

namespace platform {

namespace {

constexpr DWORD kBuffer = DWORD(1) << 20;

// The attributes a copy carries over: what the file says of itself, as opposed to what the file
// system keeps of it (compressed, sparse and the like).
constexpr DWORD kMarks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Closes a handle when it goes out of scope.
struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// Removes whatever file or link is at path; a read-only one after clearing that mark.
void RemoveStale(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        DeleteFileW(path.c_str());
    }
}

bool CopyData(HANDLE in, HANDLE out) {
    const std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer.get(), kBuffer, &got, nullptr)) return false;
        if (got == 0) return true;
        for (DWORD done = 0; done < got;) {
            DWORD put = 0;
            if (!WriteFile(out, buffer.get() + done, got - done, &put, nullptr) || put == 0) return false;
            done += put;
        }
    }
}

// Opens a file or folder for FlushFileBuffers, which needs write access.
HANDLE OpenForFlush(const std::wstring& path, DWORD flags) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

bool WriteCopy(const std::string& source, const std::string& target, const std::string& replaced) {
    const std::wstring to = Utf8ToUtf16(target);
    Handle in(CreateFileW(Utf8ToUtf16(source).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION from;
    if (!in.Valid() || !GetFileInformationByHandle(in.h, &from)) return false;
    DWORD marks = from.dwFileAttributes & kMarks;
    if (marks == 0 && !replaced.empty()) {
        const DWORD old = GetFileAttributesW(Utf8ToUtf16(replaced).c_str());
        if (old != INVALID_FILE_ATTRIBUTES) marks = old & kMarks;
    }
    RemoveStale(to);
    // A file created read-only still takes writes through the handle that created it.
    Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           (marks != 0 ? marks : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out.Valid()) return false;
    // Set last: a write after it would move the time again.
    bool ok = CopyData(in.h, out.h) && SetFileTime(out.h, nullptr, nullptr, &from.ftLastWriteTime);
    ok = CloseHandle(out.h) && ok;
    out.h = INVALID_HANDLE_VALUE;
    if (!ok) RemoveStale(to);
    return ok;
}

bool FlushFiles(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        const std::wstring path = Utf8ToUtf16(file);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;
        const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly && !SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return false;
        bool flushed;
        {
            Handle h(OpenForFlush(path, FILE_ATTRIBUTE_NORMAL));
            flushed = h.Valid() && FlushFileBuffers(h.h);
        }
        if (readOnly && !SetFileAttributesW(path.c_str(), attributes)) return false;
        if (!flushed) return false;
    }
    return true;
}

bool MoveNew(const std::string& from, const std::string& to) {
    return MoveFileExW(Utf8ToUtf16(from).c_str(), Utf8ToUtf16(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool FlushFolders(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        Handle h(OpenForFlush(Utf8ToUtf16(folder), FILE_FLAG_BACKUP_SEMANTICS));
        // Removed (by a rollback): nothing to flush.
        if (!h.Valid() && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) continue;
        if (!h.Valid()) return false;
        // Some file systems and filters refuse to flush a folder handle. The renames into it
        // were written through already (and NTFS commits the folder's earlier changes with
        // them), so that refusal alone must not undo a finished install.
        if (!FlushFileBuffers(h.h) && GetLastError() != ERROR_INVALID_FUNCTION &&
            GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_NOT_SUPPORTED) {
            return false;
        }
    }
    return true;
}

bool ReserveFile(const std::string& path, std::int64_t size) {
    Handle h(CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.Valid()) return false;
    LARGE_INTEGER end;
    end.QuadPart = size;
    return SetFilePointerEx(h.h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h.h);
}

// The holder's handle shares reading, writing and deletion (FlushFiles opens the file again, and
// Remove deletes it while held); an opener asking to share nothing is refused as long as it is
// open, which is the test Open makes.
std::unique_ptr<HeldFile> HeldFile::Create(const std::string& path, const std::string& bytes) {
    const std::wstring wide = Utf8ToUtf16(path);
    RemoveStale(wide);
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    std::unique_ptr<HeldFile> held(new HeldFile(path, reinterpret_cast<std::intptr_t>(h)));
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD put = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(bytes.size() - done, kBuffer));
        if (!WriteFile(h, bytes.data() + done, chunk, &put, nullptr) || put == 0) {
            held->Remove();
            return nullptr;
        }
        done += put;
    }
    return held;
}

HeldFile::Found HeldFile::Open(const std::string& path, std::unique_ptr<HeldFile>* held, std::string* bytes) {
    const HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Found::Missing;
        // A file its holder is deleting answers "access denied" until the holder lets go.
        return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? Found::Busy : Found::Failed;
    }
    std::unique_ptr<HeldFile> file(new HeldFile(path, reinterpret_cast<std::intptr_t>(h)));
    bytes->clear();
    const std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buffer.get(), kBuffer, &got, nullptr)) return Found::Failed;
        if (got == 0) break;
        bytes->append(buffer.get(), got);
    }
    *held = std::move(file);
    return Found::Held;
}

HeldFile::~HeldFile() { Close(); }

void HeldFile::Close() {
    if (handle_ != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

bool HeldFile::Remove() {
    // Marked for deletion through the held handle: the name goes when the handle closes.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const bool removed = SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), FileDispositionInfo,
                                                    &disposition, sizeof disposition) != 0;
    Close();
    return removed;
}

}  // namespace platform
