// Reader internals shared by the reader and extraction units: the archive cursor over the
// central directory, the per-archive reader state and the item-information routine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zip_archive.h"
#include "zip_source.h"

class ZipEntryStream;

// One central-directory record, with the full stored name (raw bytes).
struct CentralRecord {
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t dosDateTime = 0;  // time in the low half, date in the high half
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t size = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t extraLength = 0;
    std::uint16_t commentLength = 0;
    std::uint32_t externalAttributes = 0;
    std::uint32_t localHeaderOffset = 0;
    std::string name;
};

// Where an item's local extra field and data lie, once its local header has been checked.
struct LocalLayout {
    std::uint32_t extraOffset = 0;
    std::uint16_t extraLength = 0;
    std::uint32_t dataOffset = 0;
};

class ZipCursor {
public:
    ZipCursor(ZipSource source);
    ~ZipCursor();

    // Finds and checks the end record and stands on the first item; false if the source holds
    // no usable archive.
    bool Setup();

    // Moves to item k (restarting at the first item when k lies behind). False when a record on
    // the way cannot be read.
    bool MoveTo(std::int32_t k);
    bool MoveToFirst();
    bool MoveToNext();

    // Reads archive bytes at pos, an offset inside the archive proper (the prefix is added).
    bool ReadArchive(std::uint32_t pos, void* buffer, std::uint32_t size);
    std::int64_t ReadArchiveSome(std::uint32_t pos, void* buffer, std::uint32_t size);

    // Checks the current item's local header against its central record.
    bool CheckLocalHeader(LocalLayout* layout);

    ZipSource& source() { return source_; }
    std::uint16_t itemCount() const { return itemCount_; }
    std::int32_t currentIndex() const { return currentIndex_; }
    bool currentOk() const { return currentOk_; }
    const CentralRecord& current() const { return current_; }

    // The open data of one item, if any.
    std::unique_ptr<ZipEntryStream> stream;

private:
    bool FindEndRecord(std::uint32_t* endRecordPos);
    bool FindZip64End(std::uint32_t endPos, std::uint32_t* centralEnd);
    bool ReadCurrentRecord();
    bool LocalZip64SizesMatch(std::uint32_t extraOffset, std::uint16_t extraLength);

    ZipSource source_;
    std::uint16_t itemCount_ = 0;
    std::uint32_t prefixLength_ = 0;
    std::uint32_t endRecordPos_ = 0;
    std::uint32_t centralDirSize_ = 0;
    std::uint32_t centralDirOffset_ = 0;
    std::int32_t currentIndex_ = 0;
    std::uint32_t currentPos_ = 0;
    bool currentOk_ = false;
    CentralRecord current_;
    // The item whose local header was last found consistent, and where its parts lie.
    std::int32_t checkedIndex_ = -1;
    LocalLayout checkedLayout_;
};

struct ZipReader {
    std::unique_ptr<ZipCursor> cursor;
    std::int32_t openItem = -1;
    ZipItemInfo cachedInfo{};
    std::int32_t cachedIndex = -1;
    bool hasPassword = false;
    std::string password;
    std::unique_ptr<unsigned char[]> copyBuffer;
    std::wstring extractRoot;  // empty, or ends in a separator

    const std::string* passwordOrNull() const { return hasPassword ? &password : nullptr; }
    void CloseItemStream();
};

namespace zipimpl {

constexpr std::uint32_t kCopyBufferSize = 16384;

// Stores r in ZipLastResult and returns it.
ZipResult Report(ZipResult r);
// kZipSuccess for a usable reader handle, else the code for a null or foreign handle.
ZipResult CheckHandle(const ZipHandle* handle);
// The permission bits an item from a Unix host recorded, zipio::kNoMode for other hosts.
std::uint32_t ModeOf(const CentralRecord& record);
// Item information for a valid reader (everything after the handle checks).
ZipResult ItemInfo(ZipReader& reader, std::int32_t index, ZipItemInfo* info);

}  // namespace zipimpl
