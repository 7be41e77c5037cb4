// Item data: stored bytes are copied, deflated bytes go through zlib's raw inflate (no zlib
// header or trailer, 32 KiB window). Encrypted items carry a 12-byte header in front of the
// data whose last byte must match a byte of the CRC-32 (or, when sizes follow the data, of the
// DOS time) - the only password check the traditional cipher offers.
#include "entry_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "zip_reader.h"

namespace {

// The traditional cipher's key schedule runs the plain bytes through single CRC-32 steps.
std::uint32_t CrcStep(std::uint32_t crc, std::uint8_t byte) {
    return static_cast<std::uint32_t>(get_crc_table()[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
}

}  // namespace

std::unique_ptr<ZipEntryStream> ZipEntryStream::Open(ZipCursor& cursor, const std::string* password) {
    if (!cursor.currentOk()) return nullptr;
    cursor.stream.reset();
    LocalLayout layout;
    if (!cursor.CheckLocalHeader(&layout)) return nullptr;

    std::unique_ptr<ZipEntryStream> s(new (std::nothrow) ZipEntryStream(cursor));
    if (!s) return nullptr;
    s->input_.reset(new (std::nothrow) unsigned char[kInputSize]);
    if (!s->input_) return nullptr;
    const CentralRecord& record = cursor.current();
    s->method_ = record.method;
    if (s->method_ == 8) {
        if (inflateInit2(&s->inflater_, -MAX_WBITS) != Z_OK) return nullptr;
        s->inflaterReady_ = true;
    }
    s->dataPos_ = layout.dataOffset;
    s->remainingCompressed_ = record.compressedSize;
    s->remainingUncompressed_ = record.size;
    s->crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    s->expectedCrc_ = record.crc;
    s->encrypted_ = (record.flags & 1) != 0;
    s->checkByte_ = static_cast<std::uint8_t>((record.flags & 8) ? (record.dosDateTime >> 8) & 0xFF : record.crc >> 24);
    s->keys_ = {0x12345678u, 0x23456789u, 0x34567890u};
    s->hasPassword_ = password != nullptr;
    if (password) {
        for (char c : *password) s->UpdateKeys(static_cast<std::uint8_t>(c));
    }
    s->headerLeft_ = s->encrypted_ ? kEncryptionHeaderSize : 0;
    return s;
}

ZipEntryStream::~ZipEntryStream() {
    if (inflaterReady_) inflateEnd(&inflater_);
}

void ZipEntryStream::UpdateKeys(std::uint8_t plain) {
    keys_[0] = CrcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = CrcStep(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
}

void ZipEntryStream::Decrypt(unsigned char* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t t = (keys_[2] | 2) & 0xFFFF;
        bytes[i] = static_cast<unsigned char>(bytes[i] ^ ((t * (t ^ 1)) >> 8));
        UpdateKeys(bytes[i]);
    }
}

bool ZipEntryStream::Refill() {
    const std::uint32_t want = std::min(kInputSize, remainingCompressed_);
    if (!cursor_.ReadArchive(dataPos_, input_.get(), want)) return false;
    dataPos_ += want;
    remainingCompressed_ -= want;
    inputStart_ = 0;
    inputLeft_ = want;
    if (encrypted_) Decrypt(input_.get(), want);
    return true;
}

// The 12 header bytes come first, before any data, and are checked even for an empty item:
// otherwise an encrypted empty file would extract under any password.
std::int64_t ZipEntryStream::ConsumeHeader() {
    if (!hasPassword_) return kBadPassword;  // a missing password can only be wrong
    while (headerLeft_ > 0) {
        if (inputLeft_ == 0) {
            if (remainingCompressed_ == 0) return kReadFailed;  // the item is shorter than its header
            if (!Refill()) return kReadFailed;
        }
        const std::uint32_t take = std::min(headerLeft_, inputLeft_);
        headerLeft_ -= take;
        inputStart_ += take;
        inputLeft_ -= take;
    }
    return input_[inputStart_ - 1] == checkByte_ ? 0 : kBadPassword;
}

std::int64_t ZipEntryStream::Read(void* buffer, std::uint32_t size, bool* end) {
    *end = false;
    if (size == 0) return 0;
    if (headerLeft_ > 0) {
        if (const std::int64_t r = ConsumeHeader()) return r;
    }
    size = std::min(size, remainingUncompressed_);
    if (size == 0) {
        *end = true;
        return 0;
    }
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < size) {
        if (inputLeft_ == 0 && remainingCompressed_ > 0 && !Refill()) return kReadFailed;

        std::uint32_t consumed = 0;
        std::uint32_t produced = 0;
        if (method_ == 8) {
            inflater_.next_in = input_.get() + inputStart_;
            inflater_.avail_in = inputLeft_;
            inflater_.next_out = out + total;
            inflater_.avail_out = size - total;
            const int z = inflate(&inflater_, Z_SYNC_FLUSH);
            consumed = inputLeft_ - inflater_.avail_in;
            produced = (size - total) - inflater_.avail_out;
            inputStart_ += consumed;
            inputLeft_ = inflater_.avail_in;
            crc_ = static_cast<std::uint32_t>(crc32(crc_, out + total, produced));
            remainingUncompressed_ -= produced;
            total += produced;
            if (z == Z_STREAM_END || remainingUncompressed_ == 0) {
                *end = true;
                return total;
            }
            // Z_BUF_ERROR only says no progress was possible; that is judged below.
            if (z != Z_OK && z != Z_BUF_ERROR) return kBadData;
        } else {
            produced = consumed = std::min(size - total, inputLeft_);
            std::memcpy(out + total, input_.get() + inputStart_, produced);
            crc_ = static_cast<std::uint32_t>(crc32(crc_, out + total, produced));
            inputStart_ += produced;
            inputLeft_ -= produced;
            remainingUncompressed_ -= produced;
            total += produced;
            if (remainingUncompressed_ == 0) *end = true;
        }
        // The compressed data ran out before the item was complete.
        if (consumed == 0 && produced == 0) return total;
    }
    return total;
}
