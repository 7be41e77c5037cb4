// Writing files so that they reach stable storage in one batch, and renames that never replace:
// what the install step needs to put a release in place without a half-written file ever
// showing under its real name, and to know it is all on the disk when it reports success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// All paths are UTF-8, '/' separators allowed.

// Writes a copy of source's bytes to a new file at target. Whatever is at target already (a file
// an interrupted run left there, or a link) is removed first, never followed. The copy takes
// source's modification time and its marks: on POSIX its permission bits, on Windows its
// read-only, hidden and system attributes. replaced names the installed file the copy will take
// the place of (empty: none), whose marks stay where source says nothing of them: on POSIX an
// executable replaced by a source without execute bits keeps its bits (archives from hosts that
// record no mode would otherwise unpack programs nobody can start), on Windows a source with none
// of those three attributes takes replaced's. Nothing is flushed. False on any failure, a full
// disk included, with nothing left at target.
bool WriteCopy(const std::string& source, const std::string& target, const std::string& replaced);

// Puts the bytes and attributes of files written by WriteCopy on stable storage, in one batch
// where the system has a call for that: POSIX, one syncfs for each file system holding their
// folders; Windows, FlushFileBuffers on each file (a read-only one loses that mark for the
// moment it takes, since only a handle open for writing can be flushed).
bool FlushFiles(const std::vector<std::string>& files);

// Renames from to to; fails, leaving both alone, when anything is at to. On Windows the rename
// is on stable storage when this returns; on POSIX it is once FlushFolders ran on both folders.
bool MoveNew(const std::string& from, const std::string& to);

// Puts the entries of folders (names created, renamed or removed in them) on stable storage:
// POSIX, one syncfs for each file system holding them (an fsync per folder would wait for a
// journal commit per folder); Windows, FlushFileBuffers on each folder. A folder that is gone
// (removed by a rollback) has nothing to flush and is passed over.
bool FlushFolders(const std::vector<std::string>& folders);

// Makes the file at path (created when missing) size bytes long, every byte allocated on the disk
// (POSIX posix_fallocate; Windows SetEndOfFile, which never leaves a hole), so that writing it
// through a memory mapping cannot run out of space half-way, which would crash the process.
bool ReserveFile(const std::string& path, std::int64_t size);

// A small file held open by this process so that others can tell it is in use: the install's
// journal, which a program starting while an install runs must leave alone. Held until the
// object goes or the process ends, however it ends (the system closes the handle): on POSIX an
// exclusive flock, on Windows a handle that no exclusive open can share.
class HeldFile {
public:
    enum class Found { Held, Missing, Busy, Failed };

    // Writes bytes to a new file at path (whatever file is there removed first) and holds it;
    // on Windows the file is hidden. Nothing is flushed (FlushFiles does that). Null on failure,
    // with nothing left at path.
    static std::unique_ptr<HeldFile> Create(const std::string& path, const std::string& bytes);
    // Holds the file at path and reads it into *bytes: Held; Missing when there is none (or its
    // holder removed it meanwhile); Busy when another process holds it; Failed when it cannot
    // be opened or read.
    static Found Open(const std::string& path, std::unique_ptr<HeldFile>* held, std::string* bytes);

    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Removes the file while still holding it, so that no other process finds it in between,
    // then lets go. Not flushed: FlushFolders on its folder does that.
    bool Remove();

private:
    HeldFile(std::string path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}
    void Close();

    std::string path_;
    std::intptr_t handle_;
};

}  // namespace platform
