// The bytes under an open archive: a file (opened by us or lent by the caller) or a block of
// the caller's memory, read at absolute positions.
#pragma once

#include <cstdint>

#include "file_io.h"

class ZipSource {
public:
    // A file source; owned handles are closed with the source. The start offset is the
    // handle's position when the archive was opened (0 once the archive's prefix is known).
    static ZipSource FromFile(zipio::Handle file, bool owned, bool seekable, std::uint32_t startOffset);
    static ZipSource FromMemory(const void* data, std::uint32_t length);

    ZipSource() = default;
    ZipSource(ZipSource&& other) noexcept;
    ZipSource& operator=(ZipSource&& other) noexcept;
    ZipSource(const ZipSource&) = delete;
    ZipSource& operator=(const ZipSource&) = delete;
    ~ZipSource();

    // Length of the source measured from the start offset, or -1 when it cannot be learnt.
    std::int64_t Length();
    // Reads up to size bytes at pos (relative to the start offset); returns the count read, or
    // -1 when the position cannot be reached or the read fails. Past the end it reads less.
    std::int64_t ReadAt(std::uint32_t pos, void* buffer, std::uint32_t size);
    // Reads exactly size bytes at pos or fails.
    bool ReadExact(std::uint32_t pos, void* buffer, std::uint32_t size);

    std::uint32_t startOffset() const { return startOffset_; }
    void ClearStartOffset() { startOffset_ = 0; }
    bool failed() const { return failed_; }

private:
    void Release();

    zipio::Handle file_ = zipio::InvalidHandle();
    bool isFile_ = false;
    bool owned_ = false;
    bool seekable_ = false;
    bool failed_ = false;
    std::uint32_t startOffset_ = 0;
    // Where the file position stands (absolute), so sequential reads need no seek; -1 unknown.
    std::int64_t filePos_ = -1;

    const unsigned char* memory_ = nullptr;
    std::uint32_t memoryLength_ = 0;
};
