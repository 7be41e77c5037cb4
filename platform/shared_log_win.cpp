// Windows: each line is written at the end of the file (the offset FILE_WRITE_TO_END_OF_FILE,
// through a handle opened with FILE_APPEND_DATA alone) while holding LockFileEx on a byte far past
// any real size, which every handle to the same file shares: appends alone are not atomic across
// processes everywhere (Wine loses a line now and then without the lock). Every writer shares
// reading, writing and deleting, so that a file another writer has open can still be renamed
// away. The rotation takes the same lock; a writer that waited then sees, by comparing file ids,
// whether the path still names its file or already a new one.
#include <windows.h>

#include <memory>

#include "shared_log.h"
#include "utf16_win.h"

namespace platform {

namespace {

// The byte locked for a write or a rotation: the lock does not need the byte to exist.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// Holds the lock of file's writers while it lives; Held() false when it could not be taken.
class WriterLock {
public:
    explicit WriterLock(HANDLE file) : file_(file) {
        at_.OffsetHigh = kLockOffsetHigh;
        held_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at_) != 0;
    }
    ~WriterLock() {
        if (held_) UnlockFileEx(file_, 0, 1, 0, &at_);
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    bool Held() const { return held_; }

private:
    HANDLE file_;
    OVERLAPPED at_{};
    bool held_ = false;
};

HANDLE OpenForAppend(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

struct SharedLog::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

SharedLog::SharedLog(std::string path, std::uint64_t rotateAt, int keep)
    : path_(std::move(path)), rotateAt_(rotateAt), keep_(keep) {}

SharedLog::~SharedLog() = default;

bool SharedLog::Open() {
    auto handle = std::make_unique<Handle>();
    // Reading the attributes serves the size and id checks.
    handle->file = OpenForAppend(Utf8ToUtf16(path_), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    if (handle->file == INVALID_HANDLE_VALUE) return false;
    handle_ = std::move(handle);
    return true;
}

bool SharedLog::Append(const std::string& bytes) {
    if (!handle_ && !Open()) return false;
    bool full = false;
    {
        const WriterLock lock(handle_->file);
        if (!lock.Held()) return false;
        OVERLAPPED end{};
        end.Offset = end.OffsetHigh = 0xFFFFFFFF;  // at the end of the file, whatever it is now
        DWORD wrote = 0;
        if (!WriteFile(handle_->file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, &end) ||
            wrote != bytes.size()) {
            return false;
        }
        LARGE_INTEGER size{};
        full = GetFileSizeEx(handle_->file, &size) && static_cast<std::uint64_t>(size.QuadPart) >= rotateAt_;
    }
    if (full) Rotate();
    return true;
}

void SharedLog::Rotate() {
    {
        const WriterLock lock(handle_->file);
        if (!lock.Held()) return;
        const std::wstring path = Utf8ToUtf16(path_);
        const HANDLE named = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool stillNamed = named != INVALID_HANDLE_VALUE && SameFile(named, handle_->file);
        if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
        LARGE_INTEGER size{};
        if (stillNamed && GetFileSizeEx(handle_->file, &size) && static_cast<std::uint64_t>(size.QuadPart) >= rotateAt_) {
            const auto old = [this](int n) { return Utf8ToUtf16(path_ + "." + std::to_string(n)); };
            DeleteFileW(old(keep_).c_str());
            for (int n = keep_ - 1; n >= 1; --n) MoveFileExW(old(n).c_str(), old(n + 1).c_str(), MOVEFILE_REPLACE_EXISTING);
            if (keep_ > 0) MoveFileExW(path.c_str(), old(1).c_str(), MOVEFILE_REPLACE_EXISTING);
            else DeleteFileW(path.c_str());
        }
    }
    // The lock is let go before the handle it was taken on closes; the next line goes to
    // whatever file the path names now.
    handle_.reset();
    Open();
}

}  // namespace platform
