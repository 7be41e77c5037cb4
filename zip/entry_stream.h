// The data of one archive item as a stream of plain bytes: read from the archive in 16 KiB
// pieces, decrypted (traditional PKWARE cipher), inflated, and checked against the CRC-32.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class ZipCursor;

class ZipEntryStream {
public:
    // Read results below zero.
    static constexpr std::int64_t kReadFailed = -1;      // the archive could not be read
    static constexpr std::int64_t kBadPassword = -2;     // no password, or the header's check byte differs
    static constexpr std::int64_t kBadData = -3;         // the deflate stream is corrupt

    // Opens the data of the cursor's current item, or returns null when its record or local
    // header is unusable or memory runs out. password may be null.
    static std::unique_ptr<ZipEntryStream> Open(ZipCursor& cursor, const std::string* password);
    ~ZipEntryStream();
    ZipEntryStream(const ZipEntryStream&) = delete;
    ZipEntryStream& operator=(const ZipEntryStream&) = delete;

    // Delivers up to size plain bytes. Returns the count (0 and more) or a negative result;
    // *end becomes true once the item's last byte has been delivered.
    std::int64_t Read(void* buffer, std::uint32_t size, bool* end);

    // True when every byte the directory announced was delivered and their CRC-32 matches.
    bool Verified() const { return remainingUncompressed_ == 0 && crc_ == expectedCrc_; }

private:
    static constexpr std::uint32_t kInputSize = 16384;
    static constexpr std::uint32_t kEncryptionHeaderSize = 12;

    explicit ZipEntryStream(ZipCursor& cursor) : cursor_(cursor) {}
    bool Refill();
    std::int64_t ConsumeHeader();
    void UpdateKeys(std::uint8_t plain);
    void Decrypt(unsigned char* bytes, std::uint32_t count);

    ZipCursor& cursor_;
    std::unique_ptr<unsigned char[]> input_;
    std::uint32_t inputStart_ = 0;
    std::uint32_t inputLeft_ = 0;
    z_stream inflater_{};
    bool inflaterReady_ = false;
    std::uint16_t method_ = 0;
    std::uint32_t dataPos_ = 0;
    std::uint32_t remainingCompressed_ = 0;
    std::uint32_t remainingUncompressed_ = 0;
    std::uint32_t crc_ = 0;
    std::uint32_t expectedCrc_ = 0;
    bool encrypted_ = false;
    bool hasPassword_ = false;
    std::array<std::uint32_t, 3> keys_{};
    std::uint32_t headerLeft_ = 0;
    std::uint8_t checkByte_ = 0;
};
