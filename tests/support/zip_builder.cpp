// Zip records written field by field, following the layout of PKWARE's application note.
#include "zip_builder.h"

#include <zlib.h>

#include <array>

namespace ztest {

std::string U16(std::uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string U32(std::uint32_t v) {
    return U16(static_cast<std::uint16_t>(v & 0xFFFF)) + U16(static_cast<std::uint16_t>(v >> 16));
}

std::string U64(std::uint64_t v) {
    return U32(static_cast<std::uint32_t>(v & 0xFFFFFFFFu)) + U32(static_cast<std::uint32_t>(v >> 32));
}

std::string Deflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string ExtendedTimestamp(std::uint8_t flags, std::int32_t modification, std::int32_t access,
                              std::int32_t creation) {
    std::string data(1, static_cast<char>(flags));
    if (flags & 1) data += U32(static_cast<std::uint32_t>(modification));
    if (flags & 2) data += U32(static_cast<std::uint32_t>(access));
    if (flags & 4) data += U32(static_cast<std::uint32_t>(creation));
    return "UT" + U16(static_cast<std::uint16_t>(data.size())) + data;
}

namespace {

// Traditional PKWARE encryption: three keys driven by CRC-32 steps over the plain bytes.
class Cipher {
public:
    explicit Cipher(const std::string& password) {
        for (char c : password) Update(static_cast<std::uint8_t>(c));
    }
    std::string Encrypt(const std::string& plain) {
        std::string out = plain;
        for (char& c : out) {
            const std::uint8_t p = static_cast<std::uint8_t>(c);
            const std::uint32_t t = (keys_[2] | 2) & 0xFFFF;
            c = static_cast<char>(p ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
            Update(p);
        }
        return out;
    }
    std::string Decrypt(const std::string& cipherText) {
        std::string out = cipherText;
        for (char& c : out) {
            const std::uint32_t t = (keys_[2] | 2) & 0xFFFF;
            c = static_cast<char>(static_cast<std::uint8_t>(c) ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
            Update(static_cast<std::uint8_t>(c));
        }
        return out;
    }

private:
    static std::uint32_t CrcStep(std::uint32_t crc, std::uint8_t b) {
        return static_cast<std::uint32_t>(get_crc_table()[(crc ^ b) & 0xFF]) ^ (crc >> 8);
    }
    void Update(std::uint8_t p) {
        keys_[0] = CrcStep(keys_[0], p);
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
        keys_[2] = CrcStep(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
    }
    std::array<std::uint32_t, 3> keys_{0x12345678u, 0x23456789u, 0x34567890u};
};

}  // namespace

std::string Decrypt(const std::string& password, const std::string& cipherText) {
    return Cipher(password).Decrypt(cipherText);
}

std::string Build(const Archive& archive) {
    std::string out = archive.prefix;
    std::string central;
    const std::size_t base = archive.prefix.size();
    for (const Entry& e : archive.entries) {
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        std::string payload = e.method == 8 ? Deflate(e.data) : e.data;
        std::uint16_t flags = e.flags;
        if (!e.password.empty()) {
            flags |= 1;
            if (e.dataDescriptor) flags |= 8;
            // 12-byte header: 11 filler bytes, then the check byte the reader verifies.
            std::string header = "0123456789a";
            header += static_cast<char>(e.dataDescriptor ? (e.dosTime >> 8) : (crc >> 24));
            payload = Cipher(e.password).Encrypt(header + payload);
        } else if (e.dataDescriptor) {
            flags |= 8;
        }
        const std::uint32_t size = static_cast<std::uint32_t>(e.data.size());
        const std::uint32_t csize = static_cast<std::uint32_t>(payload.size());
        const std::uint32_t localOffset = static_cast<std::uint32_t>(out.size() - base);
        const std::string localName = e.localName.value_or(e.name);

        out += U32(0x04034b50) + U16(20) + U16(flags) + U16(e.localMethod.value_or(e.method));
        out += U16(e.dosTime) + U16(e.dosDate);
        const bool zeroes = e.dataDescriptor;
        out += U32(zeroes ? 0 : e.localCrc.value_or(crc));
        const std::string localExtra =
            (e.localZip64Sizes ? U16(1) + U16(16) + U64(e.localSize.value_or(size)) + U64(csize) : "") + e.localExtra;
        out += U32(zeroes ? 0 : e.localZip64Sizes ? 0xFFFFFFFFu : csize);
        out += U32(zeroes ? 0 : e.localZip64Sizes ? 0xFFFFFFFFu : e.localSize.value_or(size));
        out += U16(e.localNameLength.value_or(static_cast<std::uint16_t>(localName.size())));
        out += U16(static_cast<std::uint16_t>(localExtra.size()));
        out += localName + localExtra + payload;
        if (e.dataDescriptor) out += U32(0x08074b50) + U32(crc) + U32(csize) + U32(size);

        central += U32(0x02014b50) + U16(static_cast<std::uint16_t>(e.host << 8 | 30)) + U16(20);
        central += U16(flags) + U16(e.centralMethod.value_or(e.method)) + U16(e.dosTime) + U16(e.dosDate);
        central += U32(e.centralCrc.value_or(crc)) + U32(e.centralCompressedSize.value_or(csize));
        central += U32(e.centralSize.value_or(size));
        central += U16(static_cast<std::uint16_t>(e.name.size()));
        central += U16(static_cast<std::uint16_t>(e.centralExtra.size())) + U16(0) + U16(0) + U16(0);
        central += U32(e.externalAttributes) + U32(e.localHeaderOffset.value_or(localOffset));
        central += e.name + e.centralExtra;
    }
    const std::uint32_t cdOffset = static_cast<std::uint32_t>(out.size() - base);
    out += central;
    const std::uint16_t count = static_cast<std::uint16_t>(archive.entries.size());
    const std::uint32_t cdSize = archive.centralDirSize.value_or(static_cast<std::uint32_t>(central.size()));
    const std::uint32_t cdStart = archive.centralDirOffset.value_or(cdOffset);
    if (archive.zip64End) {
        const std::uint64_t recordOffset = out.size() - base;
        const std::uint64_t items = archive.zip64Items.value_or(archive.itemsTotal.value_or(count));
        // Zip64 end record: size of the rest of the record (44), version made by and needed,
        // this disk, directory's disk, items on this disk and in all, directory size and offset.
        out += U32(0x06064b50) + U64(44) + U16(0x031e) + U16(45) + U32(0) + U32(0) + U64(items) + U64(items);
        out += U64(archive.zip64CentralDirSize.value_or(cdSize));
        out += U64(archive.zip64CentralDirOffset.value_or(cdStart));
        // Locator: disk of the Zip64 end record, its offset, number of disks.
        out += U32(0x07064b50) + U32(0) + U64(archive.zip64EndOffset.value_or(recordOffset)) + U32(1);
    }
    out += U32(0x06054b50) + U16(archive.diskNumber.value_or(0)) + U16(0);
    out += U16(archive.itemsOnDisk.value_or(count)) + U16(archive.itemsTotal.value_or(count));
    out += U32(cdSize) + U32(cdStart);
    out += U16(static_cast<std::uint16_t>(archive.comment.size())) + archive.comment;
    return out;
}

std::string SingleFile(const std::string& name, const std::string& data) {
    Archive archive;
    Entry entry;
    entry.name = name;
    entry.data = data;
    archive.entries.push_back(entry);
    return Build(archive);
}

}  // namespace ztest
