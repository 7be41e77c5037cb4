// Md5: the MD5 digest the walk compares every installed file by, computed here rather than by
// QCryptographicHash because the walk spends nearly all its time in it and this one is faster.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace release {

class Md5 {
public:
    // Feeds bytes; any split of the same bytes into calls gives the same digest.
    void AddData(const char* data, std::size_t size);
    // The 16-byte digest of everything fed; the object is spent afterwards.
    QByteArray Result();

private:
    // Runs the compression function over count whole 64-byte blocks.
    void Blocks(const unsigned char* blocks, std::size_t count);

    std::uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    std::uint64_t length_ = 0;  // bytes fed in all
    unsigned char pending_[64];
    std::size_t pendingSize_ = 0;
};

}  // namespace release
