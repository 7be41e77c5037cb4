// Builds zip archives byte by byte for tests: every header field can be set or falsified, so
// tests can make archives no ordinary tool would write (odd hosts, bad times, lying sizes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ztest {

constexpr std::uint16_t kHostDos = 0;
constexpr std::uint16_t kHostUnix = 3;
constexpr std::uint16_t kHostNtfs = 11;

struct Entry {
    std::string name;  // stored name bytes
    std::string data;  // uncompressed content
    std::uint16_t method = 8;
    std::uint16_t host = kHostUnix;
    std::uint32_t externalAttributes = 0100644u << 16;
    std::uint16_t dosTime = 0x6000;  // 12:00:00
    std::uint16_t dosDate = 0x5A21;  // 2025-01-01
    std::uint16_t flags = 0;
    std::string localExtra;
    std::string centralExtra;
    std::string password;         // non-empty: traditional PKWARE encryption
    bool dataDescriptor = false;  // flag bit 3, sizes and CRC after the data
    // Local sizes as 0xFFFFFFFF with the real ones in a Zip64 extra field (tag 1) in front of
    // localExtra, as zip writes them when it reads from a pipe and cannot know the size.
    bool localZip64Sizes = false;

    // Falsifications applied to the encoded records.
    std::optional<std::uint32_t> centralCrc, centralSize, centralCompressedSize;
    std::optional<std::uint32_t> localCrc, localSize;
    std::optional<std::uint16_t> localMethod, centralMethod, localNameLength;
    std::optional<std::string> localName;
    std::optional<std::uint32_t> localHeaderOffset;
};

struct Archive {
    std::vector<Entry> entries;
    std::string prefix;   // bytes in front of the archive proper
    std::string comment;  // end-record comment
    std::optional<std::uint16_t> itemsOnDisk, itemsTotal, diskNumber;
    std::optional<std::uint32_t> centralDirOffset, centralDirSize;
    // A Zip64 end record and its locator between the central directory and the end record, as
    // Info-ZIP zip writes them when it reads from a pipe; their 64-bit fields repeat the end
    // record's values unless falsified here.
    bool zip64End = false;
    std::optional<std::uint64_t> zip64Items, zip64CentralDirSize, zip64CentralDirOffset;
    std::optional<std::uint64_t> zip64EndOffset;  // where the locator says the Zip64 end record is
};

// The archive's bytes.
std::string Build(const Archive& archive);

// An ordinary archive of one deflated file stored under name, as the update server packs one
// changed file.
std::string SingleFile(const std::string& name, const std::string& data);

// Raw deflate (no zlib header) of data.
std::string Deflate(const std::string& data);

// Traditional PKWARE decryption of cipherText under password (keys as the password leaves them).
std::string Decrypt(const std::string& password, const std::string& cipherText);

// An extended-timestamp ("UT") extra block with the times whose flag bits are set, in the
// order modification, access, creation.
std::string ExtendedTimestamp(std::uint8_t flags, std::int32_t modification, std::int32_t access = 0,
                              std::int32_t creation = 0);

// Little-endian encoders for hand-made extra fields.
std::string U16(std::uint16_t v);
std::string U32(std::uint32_t v);
std::string U64(std::uint64_t v);

// Unix time to Windows FILETIME.
constexpr std::uint64_t FileTimeFromUnix(std::int64_t seconds) {
    return static_cast<std::uint64_t>(seconds * 10000000LL + 116444736000000000LL);
}

}  // namespace ztest
