// Opening an archive, walking its central directory, item information (names, attributes,
// times), lookup by name, closing, and the texts of the result codes.
#include "zip_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "entry_stream.h"
#include "file_io.h"

thread_local ZipResult ZipLastResult = kZipSuccess;

namespace {

constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndRecordSize = 22;
constexpr std::uint32_t kZip64EndSize = 56;  // fixed part; no extensible data
constexpr std::uint32_t kZip64LocatorSize = 20;
constexpr std::uint32_t kCentralRecordSize = 46;
constexpr std::uint32_t kLocalHeaderSize = 30;
// The end record sits at most this far from the end: 22 bytes plus a comment of up to 64 KiB,
// searched in windows that overlap by the 4 signature bytes.
constexpr std::uint32_t kEndSearchLimit = 65535;
constexpr std::uint32_t kEndSearchStep = 1024;
constexpr std::uint32_t kEndSearchWindow = kEndSearchStep + 4;

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t Get64(const unsigned char* p) { return Get32(p) | static_cast<std::uint64_t>(Get32(p + 4)) << 32; }

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Names are stored with whatever path the archiver saw. Drive letters, leading separators and
// everything up to a "..\"-style run are removed, one rule at a time, until none applies.
std::wstring CleanName(std::wstring name) {
    static const wchar_t* const kParentRuns[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
    for (;;) {
        if (name.size() >= 2 && name[1] == L':') {
            name.erase(0, 2);
            continue;
        }
        if (!name.empty() && name[0] == L'\\') {
            name.erase(0, 1);
            continue;
        }
        if (!name.empty() && name[0] == L'/') {
            name.erase(0, 1);
            continue;
        }
        bool changed = false;
        for (const wchar_t* run : kParentRuns) {
            const std::size_t at = name.find(run);
            if (at != std::wstring::npos) {
                name.erase(0, at + 4);
                changed = true;
                break;
            }
        }
        if (!changed) return name;
    }
}

// Windows attribute bits from the external attributes. Archivers on DOS-like hosts store DOS
// attributes in the low half; the others (Unix first) store a Unix mode in the high half.
std::uint32_t AttributesOf(const CentralRecord& record) {
    const unsigned host = record.versionMadeBy >> 8;
    const std::uint32_t a = record.externalAttributes;
    bool directory = (a & 0x40000000) != 0;
    bool readOnly = (a & 0x00800000) == 0;
    bool hidden = false;
    bool system = false;
    bool archive = true;
    if (host == 0 || host == 7 || host == 11 || host == 14) {  // FAT, Macintosh, NTFS, VFAT
        readOnly = (a & 0x01) != 0;
        hidden = (a & 0x02) != 0;
        system = (a & 0x04) != 0;
        directory = (a & 0x10) != 0;
        archive = (a & 0x20) != 0;
    }
    return (directory ? kZipAttrDirectory : 0) | (archive ? kZipAttrArchive : 0) | (hidden ? kZipAttrHidden : 0) |
           (readOnly ? kZipAttrReadOnly : 0) | (system ? kZipAttrSystem : 0);
}

// DOS date and time (2-second resolution) read as local time. A value that is no calendar time
// (an all-zero field from some archivers, a month 13) becomes 1980-01-01 00:00:00 local time,
// the earliest time the format can express, rather than garbage.
std::uint64_t DosTimeToFileTime(std::uint32_t dos) {
    const unsigned date = dos >> 16;
    const unsigned time = dos & 0xFFFF;
    zipio::CalendarTime t{static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 15),
                          static_cast<int>(date & 31),           static_cast<int>(time >> 11),
                          static_cast<int>((time >> 5) & 63),     static_cast<int>((time & 31) * 2)};
    std::uint64_t fileTime = 0;
    if (zipio::LocalTimeToFileTime(t, &fileTime)) return fileTime;
    const zipio::CalendarTime earliest{1980, 1, 1, 0, 0, 0};
    if (zipio::LocalTimeToFileTime(earliest, &fileTime)) return fileTime;
    return static_cast<std::uint64_t>(kUnixEpochAsFileTime + 315532800LL * 10000000LL);
}

std::uint64_t UnixTimeToFileTime(std::uint32_t raw) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(raw)) * 10000000LL +
                                      kUnixEpochAsFileTime);
}

// Extended-timestamp block ("UT", 0x5455): a flags byte (bit 0 modification, bit 1 access,
// bit 2 creation), then a signed 32-bit Unix time for each flag set, in that order. A time
// counts only when its four bytes lie inside both the block and the extra field.
void ApplyExtendedTimes(const unsigned char* extra, std::uint32_t length, ZipItemInfo* info) {
    if (length <= 4) return;
    std::uint32_t pos = 0;
    while (pos + 4 < length) {
        const std::uint32_t dataSize = Get16(extra + pos + 2);
        if (extra[pos] == 'U' && extra[pos + 1] == 'T') {
            const std::uint32_t end = std::min(pos + 4 + dataSize, length);
            const unsigned flags = extra[pos + 4];
            std::uint32_t t = pos + 5;
            std::uint64_t* const targets[] = {&info->modificationTime, &info->accessTime, &info->creationTime};
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1u << bit))) continue;
                if (t + 4 <= end) *targets[bit] = UnixTimeToFileTime(Get32(extra + t));
                t += 4;
            }
            return;
        }
        pos += 4 + dataSize;
    }
}

ZipHandle* FinishOpen(std::unique_ptr<ZipReader> reader, ZipSource source) {
    auto cursor = std::unique_ptr<ZipCursor>(new (std::nothrow) ZipCursor(std::move(source)));
    if (!cursor || !cursor->Setup()) {
        zipimpl::Report(kZipNoFile);
        return nullptr;  // the source closes an owned file as it goes
    }
    reader->cursor = std::move(cursor);
    auto* handle = new (std::nothrow) ZipHandle{kZipHandleReader, reader.get()};
    if (!handle) {
        zipimpl::Report(kZipNoAlloc);
        return nullptr;
    }
    reader.release();
    zipimpl::Report(kZipSuccess);
    return handle;
}

std::unique_ptr<ZipReader> NewReader(const char* password) {
    auto reader = std::make_unique<ZipReader>();
    if (password) {
        reader->hasPassword = true;
        reader->password = password;
    }
    reader->extractRoot = zipio::CurrentDirectory();
    if (!reader->extractRoot.empty() && !IsSeparator(reader->extractRoot.back())) {
        if (reader->extractRoot.size() + 1 < static_cast<std::size_t>(kZipMaxPath)) {
            reader->extractRoot += L'\\';
        } else {
            // No room for the separator: relative paths then resolve against the current
            // directory by the system itself.
            reader->extractRoot.clear();
        }
    }
    return reader;
}

}  // namespace

namespace zipimpl {

// Archivers on Unix store the file's st_mode in the high half; an empty high half records none.
std::uint32_t ModeOf(const CentralRecord& record) {
    const unsigned host = record.versionMadeBy >> 8;
    const std::uint32_t mode = record.externalAttributes >> 16;
    return host == 3 && mode != 0 ? (mode & 07777) : zipio::kNoMode;
}

ZipResult Report(ZipResult r) {
    ZipLastResult = r;
    return r;
}

ZipResult CheckHandle(const ZipHandle* handle) {
    if (!handle) return kZipArgs;
    if (handle->kind != kZipHandleReader || !handle->reader) return kZipMixed;
    return kZipSuccess;
}

ZipResult ItemInfo(ZipReader& reader, std::int32_t index, ZipItemInfo* info) {
    ZipCursor& cursor = *reader.cursor;
    if (index < -1 || index >= cursor.itemCount()) return kZipArgs;
    reader.CloseItemStream();
    if (index == reader.cachedIndex && index != -1) {
        *info = reader.cachedInfo;
        return kZipSuccess;
    }
    if (index == -1) {
        std::memset(info, 0, sizeof *info);
        info->index = cursor.itemCount();
        return kZipSuccess;
    }
    // A record on the way that cannot be read leaves the rest of the directory unreachable.
    if (!cursor.MoveTo(index)) return kZipCorrupt;
    LocalLayout layout;
    if (!cursor.CheckLocalHeader(&layout)) return kZipCorrupt;

    std::vector<unsigned char> extra(layout.extraLength);
    if (layout.extraLength > 0) {
        const std::int64_t got = cursor.ReadArchiveSome(layout.extraOffset, extra.data(), layout.extraLength);
        if (got != layout.extraLength) return kZipRead;
    }

    const CentralRecord& record = cursor.current();
    // The whole name is decoded and must fit the name buffer once cleaned: cutting it would
    // name a different file. A NUL inside would do the same.
    const std::wstring name = CleanName(zipio::Utf8ToWide(record.name.data(), record.name.size()));
    if (name.size() >= static_cast<std::size_t>(kZipMaxPath) || name.find(L'\0') != std::wstring::npos) {
        return kZipCorrupt;
    }

    ZipItemInfo result{};
    result.index = cursor.currentIndex();
    std::wmemcpy(result.name, name.data(), name.size());
    result.name[name.size()] = L'\0';
    result.attributes = AttributesOf(record);
    result.compressedSize = record.compressedSize;
    result.size = record.size;
    const std::uint64_t dosTime = DosTimeToFileTime(record.dosDateTime);
    result.accessTime = result.creationTime = result.modificationTime = dosTime;
    ApplyExtendedTimes(extra.data(), layout.extraLength, &result);

    *info = result;
    reader.cachedInfo = result;
    reader.cachedIndex = index;
    return kZipSuccess;
}

}  // namespace zipimpl

void ZipReader::CloseItemStream() {
    if (cursor) cursor->stream.reset();
    openItem = -1;
}

ZipCursor::ZipCursor(ZipSource source) : source_(std::move(source)) {}
ZipCursor::~ZipCursor() = default;

// The end record is the last thing in an archive, but a comment of up to 64 KiB may follow
// it. Windows of 1,028 bytes are read backwards from the end and scanned from their high end
// for "PK\5\6", so the hit nearest the end of the source wins.
bool ZipCursor::FindEndRecord(std::uint32_t* endRecordPos) {
    const std::int64_t size = source_.Length();
    if (size < 0) return false;
    const std::uint32_t maxBack =
        static_cast<std::uint32_t>(std::min<std::int64_t>(size, static_cast<std::int64_t>(kEndSearchLimit)));
    unsigned char window[kEndSearchWindow];
    std::uint32_t back = 4;
    while (back < maxBack) {
        back = std::min(back + kEndSearchStep, maxBack);
        const std::uint32_t readPos = static_cast<std::uint32_t>(size - back);
        const std::int64_t got = source_.ReadAt(readPos, window, std::min(kEndSearchWindow, back));
        if (got < 4) return false;
        for (std::int64_t i = got - 4; i >= 0; --i) {
            if (Get32(window + i) == kEndRecordSignature) {
                *endRecordPos = readPos + static_cast<std::uint32_t>(i);
                return true;
            }
        }
    }
    return false;
}

// Zip64 end-of-central-directory locator, 20 bytes right before the end record: signature,
// disk holding the Zip64 end record (32), that record's offset in the archive (64), number of
// disks (32). The Zip64 end record right before the locator: signature, size of the rest of the
// record (64, 44 without extensible data), version made by (16), version needed (16), this disk
// (32), disk of the central directory (32), items on this disk (64), items in all (64),
// directory size (64), directory offset (64).
//
// Info-ZIP zip writes the pair whenever it reads from a pipe into a file, even for an archive that
// needs none of the 64-bit values. Such an archive is read through its end record alone: the pair
// must sit right before the end record, repeat the end record's counts, size and offset, and
// the locator must point where the directory ends (where the Zip64 end record really lies).
// Anything else (values that need 64 bits, a locator pointing elsewhere, no Zip64 end record
// before the locator) refuses the archive: guessing would misplace the directory. A longer
// Zip64 end record (extensible data, which only directory encryption uses) is refused too. A
// number of disks of 0 is taken for 1, as some writers put it.
//
// Returns true and sets *centralEnd to the Zip64 end record's position when the pair is there,
// true with *centralEnd untouched when there is no locator, false when the archive is refused.
bool ZipCursor::FindZip64End(std::uint32_t endPos, std::uint32_t* centralEnd) {
    if (endPos < kZip64LocatorSize) return true;
    const std::uint32_t locatorPos = endPos - kZip64LocatorSize;
    unsigned char locator[kZip64LocatorSize];
    if (!source_.ReadExact(locatorPos, locator, kZip64LocatorSize)) return false;
    if (Get32(locator) != kZip64LocatorSignature) return true;
    const std::uint32_t recordDisk = Get32(locator + 4);
    const std::uint64_t statedRecordPos = Get64(locator + 8);
    const std::uint32_t disks = Get32(locator + 16);
    if (recordDisk != 0 || disks > 1 || locatorPos < kZip64EndSize) return false;

    const std::uint32_t recordPos = locatorPos - kZip64EndSize;
    unsigned char record[kZip64EndSize];
    if (!source_.ReadExact(recordPos, record, kZip64EndSize)) return false;
    if (Get32(record) != kZip64EndSignature || Get64(record + 4) != kZip64EndSize - 12) return false;
    const std::uint32_t thisDisk = Get32(record + 16);
    const std::uint32_t centralDisk = Get32(record + 20);
    const std::uint64_t itemsOnDisk = Get64(record + 24);
    const std::uint64_t itemsTotal = Get64(record + 32);
    const std::uint64_t size = Get64(record + 40);
    const std::uint64_t offset = Get64(record + 48);
    if (thisDisk != 0 || centralDisk != 0 || itemsOnDisk != itemsTotal || itemsTotal != itemCount_ ||
        size != centralDirSize_ || offset != centralDirOffset_ || statedRecordPos != offset + size) {
        return false;
    }
    *centralEnd = recordPos;
    return true;
}

// End record after its signature: this disk (16), disk of the central directory (16), items
// on this disk (16), items in all (16), directory size (32), directory offset (32), comment
// length (16). Only single-disk archives whose directory ends before the record (or before
// the Zip64 end record, see FindZip64End) are usable; whatever lies between the start of the
// source and the directory's stated offset is a prefix (a program stub, say) that every archive
// offset is shifted by.
bool ZipCursor::Setup() {
    std::uint32_t endPos = 0;
    if (!FindEndRecord(&endPos)) return false;
    unsigned char record[kEndRecordSize];
    if (!source_.ReadExact(endPos, record, kEndRecordSize)) return false;
    const std::uint16_t thisDisk = Get16(record + 4);
    const std::uint16_t centralDisk = Get16(record + 6);
    const std::uint16_t itemsOnDisk = Get16(record + 8);
    const std::uint16_t itemsTotal = Get16(record + 10);
    itemCount_ = itemsTotal;
    centralDirSize_ = Get32(record + 12);
    centralDirOffset_ = Get32(record + 16);
    if (thisDisk != 0 || centralDisk != 0 || itemsOnDisk != itemsTotal) return false;
    std::uint32_t realCentralEnd = endPos;
    if (!FindZip64End(endPos, &realCentralEnd)) return false;
    const std::uint64_t startOffset = source_.startOffset();
    const std::uint64_t centralEnd = static_cast<std::uint64_t>(centralDirOffset_) + centralDirSize_;
    if (realCentralEnd + startOffset < centralEnd) return false;
    endRecordPos_ = endPos;
    prefixLength_ = static_cast<std::uint32_t>(startOffset + realCentralEnd - centralEnd);
    source_.ClearStartOffset();
    MoveToFirst();
    return true;
}

bool ZipCursor::ReadArchive(std::uint32_t pos, void* buffer, std::uint32_t size) {
    return ReadArchiveSome(pos, buffer, size) == static_cast<std::int64_t>(size);
}

std::int64_t ZipCursor::ReadArchiveSome(std::uint32_t pos, void* buffer, std::uint32_t size) {
    const std::uint64_t at = static_cast<std::uint64_t>(prefixLength_) + pos;
    if (at > UINT32_MAX) return -1;
    return source_.ReadAt(static_cast<std::uint32_t>(at), buffer, size);
}

bool ZipCursor::MoveToFirst() {
    currentIndex_ = 0;
    currentPos_ = centralDirOffset_;
    currentOk_ = itemCount_ > 0 && ReadCurrentRecord();
    return currentOk_;
}

bool ZipCursor::MoveToNext() {
    if (!currentOk_ || currentIndex_ + 1 >= itemCount_) return false;
    const std::uint64_t next = static_cast<std::uint64_t>(currentPos_) + kCentralRecordSize + current_.nameLength +
                               current_.extraLength + current_.commentLength;
    if (next > UINT32_MAX) {
        currentOk_ = false;
        return false;
    }
    currentPos_ = static_cast<std::uint32_t>(next);
    ++currentIndex_;
    currentOk_ = ReadCurrentRecord();
    return currentOk_;
}

bool ZipCursor::MoveTo(std::int32_t k) {
    if (k < currentIndex_ || !currentOk_) {
        if (!MoveToFirst()) return false;
    }
    while (currentIndex_ < k) {
        if (!MoveToNext()) return false;
    }
    return currentOk_;
}

// Central record: signature, version made by (high byte: host system), version needed, flags,
// method, DOS time and date, CRC-32, compressed and uncompressed size, name, extra and comment
// lengths, disk number, internal and external attributes, local header offset; then the name.
bool ZipCursor::ReadCurrentRecord() {
    checkedIndex_ = -1;
    unsigned char r[kCentralRecordSize];
    if (!ReadArchive(currentPos_, r, kCentralRecordSize) || Get32(r) != kCentralSignature) return false;
    CentralRecord& c = current_;
    c.versionMadeBy = Get16(r + 4);
    c.versionNeeded = Get16(r + 6);
    c.flags = Get16(r + 8);
    c.method = Get16(r + 10);
    c.dosDateTime = Get32(r + 12);
    c.crc = Get32(r + 16);
    c.compressedSize = Get32(r + 20);
    c.size = Get32(r + 24);
    c.nameLength = Get16(r + 28);
    c.extraLength = Get16(r + 30);
    c.commentLength = Get16(r + 32);
    c.externalAttributes = Get32(r + 38);
    c.localHeaderOffset = Get32(r + 42);
    c.name.resize(c.nameLength);
    return c.nameLength == 0 || ReadArchive(currentPos_ + kCentralRecordSize, &c.name[0], c.nameLength);
}

// Local Zip64 extra field (tag 1, 0x0001): a local header whose sizes read 0xFFFFFFFF carries
// both real sizes here, uncompressed first, 64 bits each. zip writes it when it reads from a
// pipe and cannot know the sizes before the data. Blocks are tag (16), data size (16), data;
// every block must lie inside the field. True when the block is there and its sizes equal the
// central record's 32-bit ones; an item that really needs 64 bits fails the comparison.
bool ZipCursor::LocalZip64SizesMatch(std::uint32_t extraOffset, std::uint16_t extraLength) {
    std::vector<unsigned char> extra(extraLength);
    if (extraLength == 0 || !ReadArchive(extraOffset, extra.data(), extraLength)) return false;
    for (std::uint32_t pos = 0; pos + 4 <= extraLength;) {
        const std::uint32_t dataSize = Get16(&extra[pos + 2]);
        if (pos + 4 + dataSize > extraLength) return false;
        if (Get16(&extra[pos]) == 1) {
            return dataSize >= 16 && Get64(&extra[pos + 4]) == current_.size &&
                   Get64(&extra[pos + 12]) == current_.compressedSize;
        }
        pos += 4 + dataSize;
    }
    return false;
}

// Local header: signature, version needed, flags, method, DOS time and date, CRC-32,
// compressed and uncompressed size, name length, extra length; then name, extra and data.
// With flag bit 3 the CRC and sizes follow the data in a descriptor, so only the central
// record's values can be trusted and the local ones are not compared. Local sizes of
// 0xFFFFFFFF stand for those in the local Zip64 extra field.
bool ZipCursor::CheckLocalHeader(LocalLayout* layout) {
    if (!currentOk_) return false;
    // Item information and the extraction that follows it check the same header: once is enough.
    if (checkedIndex_ == currentIndex_) {
        *layout = checkedLayout_;
        return true;
    }
    const CentralRecord& c = current_;
    unsigned char h[kLocalHeaderSize];
    if (!ReadArchive(c.localHeaderOffset, h, kLocalHeaderSize) || Get32(h) != kLocalSignature) return false;
    const std::uint16_t flags = Get16(h + 6);
    const std::uint16_t method = Get16(h + 8);
    if (method != c.method || (method != 0 && method != 8)) return false;
    const bool sizesInZip64Extra = Get32(h + 18) == 0xFFFFFFFFu || Get32(h + 22) == 0xFFFFFFFFu;
    if (!(flags & 8) && (Get32(h + 14) != c.crc ||
                         (!sizesInZip64Extra && (Get32(h + 18) != c.compressedSize || Get32(h + 22) != c.size)))) {
        return false;
    }
    const std::uint16_t nameLength = Get16(h + 26);
    if (nameLength != c.nameLength) return false;
    const std::uint64_t extraOffset = static_cast<std::uint64_t>(c.localHeaderOffset) + kLocalHeaderSize + nameLength;
    const std::uint16_t extraLength = Get16(h + 28);
    if (extraOffset + extraLength > UINT32_MAX) return false;
    if (!(flags & 8) && sizesInZip64Extra &&
        !LocalZip64SizesMatch(static_cast<std::uint32_t>(extraOffset), extraLength)) {
        return false;
    }
    layout->extraOffset = static_cast<std::uint32_t>(extraOffset);
    layout->extraLength = extraLength;
    layout->dataOffset = static_cast<std::uint32_t>(extraOffset + extraLength);
    checkedIndex_ = currentIndex_;
    checkedLayout_ = *layout;
    return true;
}

ZipHandle* ZipOpenFromPath(const wchar_t* path, const char* password) {
    if (!path) {
        zipimpl::Report(kZipArgs);
        return nullptr;
    }
    auto reader = NewReader(password);
    const zipio::Handle file = zipio::OpenForRead(path);
    if (!zipio::IsValid(file)) {
        zipimpl::Report(kZipNoFile);
        return nullptr;
    }
    const std::int64_t start = zipio::Seek(file, 0, zipio::SeekFrom::Current);
    const bool seekable = start >= 0;
    return FinishOpen(std::move(reader),
                      ZipSource::FromFile(file, true, seekable, seekable ? static_cast<std::uint32_t>(start) : 0));
}

ZipHandle* ZipOpenFromHandle(ZipFileHandle file, const char* password) {
    auto reader = NewReader(password);
    const std::int64_t start = zipio::IsValid(file) ? zipio::Seek(file, 0, zipio::SeekFrom::Current) : -1;
    if (start < 0) {
        zipimpl::Report(kZipSeek);
        return nullptr;
    }
    return FinishOpen(std::move(reader), ZipSource::FromFile(file, false, true, static_cast<std::uint32_t>(start)));
}

ZipHandle* ZipOpenFromMemory(const void* data, std::uint32_t length, const char* password) {
    if (!data) {
        zipimpl::Report(kZipArgs);
        return nullptr;
    }
    return FinishOpen(NewReader(password), ZipSource::FromMemory(data, length));
}

ZipResult ZipSetExtractDir(ZipHandle* handle, const wchar_t* directory) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return zipimpl::Report(r);
    if (!directory) return zipimpl::Report(kZipArgs);
    std::wstring root = directory;
    if (root.empty() || !IsSeparator(root.back())) root += L'\\';
    // The folder, its separator and every name joined to it must fit the path buffers.
    if (root.size() >= static_cast<std::size_t>(kZipMaxPath)) return zipimpl::Report(kZipArgs);
    handle->reader->extractRoot = root;
    return zipimpl::Report(kZipSuccess);
}

ZipResult ZipGetItemInfo(ZipHandle* handle, std::int32_t index, ZipItemInfo* info) {
    if (!info) return zipimpl::Report(kZipArgs);
    info->index = 0;
    info->name[0] = L'\0';
    info->size = 0;
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return zipimpl::Report(r);
    return zipimpl::Report(zipimpl::ItemInfo(*handle->reader, index, info));
}

ZipResult ZipFindItem(ZipHandle* handle, const wchar_t* name, bool ignoreCase, std::int32_t* index,
                      ZipItemInfo* info) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return zipimpl::Report(r);
    if (!name || !index) return zipimpl::Report(kZipArgs);
    ZipReader& reader = *handle->reader;
    ZipCursor& cursor = *reader.cursor;
    reader.CloseItemStream();

    // Stored names are compared as raw bytes: the UTF-8 form of the name asked for.
    std::string wanted = zipio::WideToUtf8(name, std::wcslen(name));
    auto upper = [](std::string s) {
        for (char& c : s) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        return s;
    };
    if (ignoreCase) wanted = upper(wanted);

    const std::int32_t remembered = cursor.currentIndex();
    bool found = false;
    if (wanted.size() < 256 && cursor.currentOk() && cursor.MoveToFirst()) {
        do {
            const std::string& stored = cursor.current().name;
            if (stored.size() == wanted.size() && (ignoreCase ? upper(stored) : stored) == wanted) {
                found = true;
                break;
            }
        } while (cursor.MoveToNext());
    }
    if (found) {
        *index = cursor.currentIndex();
        return zipimpl::Report(info ? zipimpl::ItemInfo(reader, *index, info) : kZipSuccess);
    }
    cursor.MoveTo(remembered);
    *index = -1;
    if (info) {
        std::memset(info, 0, sizeof *info);
        info->index = -1;
    }
    return zipimpl::Report(kZipNotFound);
}

ZipResult ZipClose(ZipHandle* handle) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return zipimpl::Report(r);
    ZipReader* reader = handle->reader;
    reader->CloseItemStream();
    delete reader;  // the cursor closes its source, and with it a file the reader opened
    handle->reader = nullptr;
    handle->kind = 0;
    delete handle;
    return zipimpl::Report(kZipSuccess);
}

std::uint32_t ZipResultText(ZipResult code, wchar_t* buffer, std::uint32_t size) {
    struct Text {
        ZipResult code;
        const wchar_t* text;
    };
    static const Text kTexts[] = {
        {kZipSuccess, L"Success"},
        {kZipDupHandle, L"Culdn't duplicate handle"},
        {kZipNoFile, L"Couldn't create/open file"},
        {kZipNoAlloc, L"Failed to allocate memory"},
        {kZipWrite, L"Error writing to file"},
        {kZipNotFound, L"File not found in the zipfile"},
        {kZipMore, L"Still more data to unzip"},
        {kZipCorrupt, L"Zipfile is corrupt or not a zipfile"},
        {kZipRead, L"Error reading file"},
        {kZipPassword, L"Correct password required"},
        {kZipArgs, L"Caller: faulty arguments"},
        {kZipNotMemory, L"Caller: can only get memory of a memory zipfile"},
        {kZipMemSize, L"Caller: not enough space allocated for memory zipfile"},
        {kZipPrevious, L"Caller: there was a previous error"},
        {kZipEnded, L"Caller: additions to the zip have already been ended"},
        {kZipSizeBug, L"Zip-bug: the anticipated size turned out wrong"},
        {kZipPartlyUnzipped, L"Caller: the file had already been partially unzipped"},
        {kZipMixed, L"Caller: mixing creation and opening of zip"},
        {kZipNotInitialised, L"Zip-bug: internal initialisation not completed"},
        {kZipSeek, L"Zip-bug: trying to seek the unseekable"},
        {kZipNoChange, L"Zip-bug: tried to change mind, but not allowed"},
        {kZipFlate, L"Zip-bug: an internal error during flation"},
    };
    if (code == kZipUseLastResult) code = ZipLastResult;
    const wchar_t* text = L"unknown zip result code";
    for (const Text& t : kTexts) {
        if (t.code == code) text = t.text;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(std::wcslen(text));
    if (buffer && size > 0) {
        const std::uint32_t n = std::min(length, size - 1);
        std::wmemcpy(buffer, text, n);
        buffer[n] = L'\0';
    }
    return length;
}
