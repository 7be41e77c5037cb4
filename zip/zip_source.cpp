// Positioned reads over a file handle or a memory block.
#include "zip_source.h"

#include <cstring>
#include <utility>

ZipSource ZipSource::FromFile(zipio::Handle file, bool owned, bool seekable, std::uint32_t startOffset) {
    ZipSource s;
    s.isFile_ = true;
    s.file_ = file;
    s.owned_ = owned;
    s.seekable_ = seekable;
    s.startOffset_ = startOffset;
    return s;
}

ZipSource ZipSource::FromMemory(const void* data, std::uint32_t length) {
    ZipSource s;
    s.memory_ = static_cast<const unsigned char*>(data);
    s.memoryLength_ = length;
    return s;
}

ZipSource::ZipSource(ZipSource&& other) noexcept { *this = std::move(other); }

ZipSource& ZipSource::operator=(ZipSource&& other) noexcept {
    if (this != &other) {
        Release();
        file_ = std::exchange(other.file_, zipio::InvalidHandle());
        isFile_ = std::exchange(other.isFile_, false);
        owned_ = std::exchange(other.owned_, false);
        seekable_ = other.seekable_;
        failed_ = other.failed_;
        startOffset_ = other.startOffset_;
        filePos_ = other.filePos_;
        memory_ = std::exchange(other.memory_, nullptr);
        memoryLength_ = std::exchange(other.memoryLength_, 0);
    }
    return *this;
}

ZipSource::~ZipSource() { Release(); }

void ZipSource::Release() {
    if (isFile_ && owned_ && zipio::IsValid(file_)) zipio::Close(file_);
    file_ = zipio::InvalidHandle();
    isFile_ = false;
}

std::int64_t ZipSource::Length() {
    if (!isFile_) return memoryLength_;
    if (!seekable_) return -1;
    const std::int64_t end = zipio::Seek(file_, 0, zipio::SeekFrom::End);
    filePos_ = end;
    if (end < 0 || end < startOffset_) return -1;
    return end - startOffset_;
}

std::int64_t ZipSource::ReadAt(std::uint32_t pos, void* buffer, std::uint32_t size) {
    if (!isFile_) {
        if (pos >= memoryLength_) return 0;
        const std::uint32_t n = size < memoryLength_ - pos ? size : memoryLength_ - pos;
        std::memcpy(buffer, memory_ + pos, n);
        return n;
    }
    // A caller's handle may have been moved by the caller since our last read.
    if (!owned_) filePos_ = -1;
    const std::int64_t target = static_cast<std::int64_t>(startOffset_) + pos;
    // File positions travel as signed 32-bit distances: an archive lies in the first 2 GiB.
    if (target > INT32_MAX || !seekable_) return -1;
    if (filePos_ != target) {
        filePos_ = zipio::Seek(file_, static_cast<std::int32_t>(target), zipio::SeekFrom::Begin);
        if (filePos_ != target) {
            filePos_ = -1;
            return -1;
        }
    }
    std::uint32_t got = 0;
    if (!zipio::Read(file_, buffer, size, &got)) {
        failed_ = true;
        filePos_ = -1;
        return -1;
    }
    filePos_ += got;
    return got;
}

bool ZipSource::ReadExact(std::uint32_t pos, void* buffer, std::uint32_t size) {
    return ReadAt(pos, buffer, size) == static_cast<std::int64_t>(size);
}
