// MD5 (RFC 1321): 64-byte blocks of sixteen little-endian words, four rounds of sixteen steps
// each, then a padding of 0x80, zeros up to 56 bytes mod 64 and the bit length as a
// little-endian 64-bit number. What makes this faster than a textbook version is only the order
// of the additions in a step: the message word and the constant go in before the round
// function, which waits for the previous step, and the second round's function
// (b & d) | (c & ~d) is added as two halves that do not overlap, so the processor can work on
// them side by side.
#include "md5.h"

#include <QtEndian>

#include <cstring>

namespace release {

namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, int bits) { return (x << bits) | (x >> (32 - bits)); }

}  // namespace

#define MD5_STEP(round, a, b, c, d, k, t, r)  \
    a += m[k] + (t);                           \
    round(a, b, c, d);                         \
    a = RotateLeft(a, r) + b;
#define MD5_F(a, b, c, d) a += d ^ (b & (c ^ d))
#define MD5_G(a, b, c, d) \
    a += ~d & c;          \
    a += d & b
#define MD5_H(a, b, c, d) a += b ^ c ^ d
#define MD5_I(a, b, c, d) a += c ^ (b | ~d)

void Md5::Blocks(const unsigned char* blocks, std::size_t count) {
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i) m[i] = qFromLittleEndian<std::uint32_t>(blocks + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEP(MD5_F, a, b, c, d, 0, 0xd76aa478, 7)
        MD5_STEP(MD5_F, d, a, b, c, 1, 0xe8c7b756, 12)
        MD5_STEP(MD5_F, c, d, a, b, 2, 0x242070db, 17)
        MD5_STEP(MD5_F, b, c, d, a, 3, 0xc1bdceee, 22)
        MD5_STEP(MD5_F, a, b, c, d, 4, 0xf57c0faf, 7)
        MD5_STEP(MD5_F, d, a, b, c, 5, 0x4787c62a, 12)
        MD5_STEP(MD5_F, c, d, a, b, 6, 0xa8304613, 17)
        MD5_STEP(MD5_F, b, c, d, a, 7, 0xfd469501, 22)
        MD5_STEP(MD5_F, a, b, c, d, 8, 0x698098d8, 7)
        MD5_STEP(MD5_F, d, a, b, c, 9, 0x8b44f7af, 12)
        MD5_STEP(MD5_F, c, d, a, b, 10, 0xffff5bb1, 17)
        MD5_STEP(MD5_F, b, c, d, a, 11, 0x895cd7be, 22)
        MD5_STEP(MD5_F, a, b, c, d, 12, 0x6b901122, 7)
        MD5_STEP(MD5_F, d, a, b, c, 13, 0xfd987193, 12)
        MD5_STEP(MD5_F, c, d, a, b, 14, 0xa679438e, 17)
        MD5_STEP(MD5_F, b, c, d, a, 15, 0x49b40821, 22)
        MD5_STEP(MD5_G, a, b, c, d, 1, 0xf61e2562, 5)
        MD5_STEP(MD5_G, d, a, b, c, 6, 0xc040b340, 9)
        MD5_STEP(MD5_G, c, d, a, b, 11, 0x265e5a51, 14)
        MD5_STEP(MD5_G, b, c, d, a, 0, 0xe9b6c7aa, 20)
        MD5_STEP(MD5_G, a, b, c, d, 5, 0xd62f105d, 5)
        MD5_STEP(MD5_G, d, a, b, c, 10, 0x02441453, 9)
        MD5_STEP(MD5_G, c, d, a, b, 15, 0xd8a1e681, 14)
        MD5_STEP(MD5_G, b, c, d, a, 4, 0xe7d3fbc8, 20)
        MD5_STEP(MD5_G, a, b, c, d, 9, 0x21e1cde6, 5)
        MD5_STEP(MD5_G, d, a, b, c, 14, 0xc33707d6, 9)
        MD5_STEP(MD5_G, c, d, a, b, 3, 0xf4d50d87, 14)
        MD5_STEP(MD5_G, b, c, d, a, 8, 0x455a14ed, 20)
        MD5_STEP(MD5_G, a, b, c, d, 13, 0xa9e3e905, 5)
        MD5_STEP(MD5_G, d, a, b, c, 2, 0xfcefa3f8, 9)
        MD5_STEP(MD5_G, c, d, a, b, 7, 0x676f02d9, 14)
        MD5_STEP(MD5_G, b, c, d, a, 12, 0x8d2a4c8a, 20)
        MD5_STEP(MD5_H, a, b, c, d, 5, 0xfffa3942, 4)
        MD5_STEP(MD5_H, d, a, b, c, 8, 0x8771f681, 11)
        MD5_STEP(MD5_H, c, d, a, b, 11, 0x6d9d6122, 16)
        MD5_STEP(MD5_H, b, c, d, a, 14, 0xfde5380c, 23)
        MD5_STEP(MD5_H, a, b, c, d, 1, 0xa4beea44, 4)
        MD5_STEP(MD5_H, d, a, b, c, 4, 0x4bdecfa9, 11)
        MD5_STEP(MD5_H, c, d, a, b, 7, 0xf6bb4b60, 16)
        MD5_STEP(MD5_H, b, c, d, a, 10, 0xbebfbc70, 23)
        MD5_STEP(MD5_H, a, b, c, d, 13, 0x289b7ec6, 4)
        MD5_STEP(MD5_H, d, a, b, c, 0, 0xeaa127fa, 11)
        MD5_STEP(MD5_H, c, d, a, b, 3, 0xd4ef3085, 16)
        MD5_STEP(MD5_H, b, c, d, a, 6, 0x04881d05, 23)
        MD5_STEP(MD5_H, a, b, c, d, 9, 0xd9d4d039, 4)
        MD5_STEP(MD5_H, d, a, b, c, 12, 0xe6db99e5, 11)
        MD5_STEP(MD5_H, c, d, a, b, 15, 0x1fa27cf8, 16)
        MD5_STEP(MD5_H, b, c, d, a, 2, 0xc4ac5665, 23)
        MD5_STEP(MD5_I, a, b, c, d, 0, 0xf4292244, 6)
        MD5_STEP(MD5_I, d, a, b, c, 7, 0x432aff97, 10)
        MD5_STEP(MD5_I, c, d, a, b, 14, 0xab9423a7, 15)
        MD5_STEP(MD5_I, b, c, d, a, 5, 0xfc93a039, 21)
        MD5_STEP(MD5_I, a, b, c, d, 12, 0x655b59c3, 6)
        MD5_STEP(MD5_I, d, a, b, c, 3, 0x8f0ccc92, 10)
        MD5_STEP(MD5_I, c, d, a, b, 10, 0xffeff47d, 15)
        MD5_STEP(MD5_I, b, c, d, a, 1, 0x85845dd1, 21)
        MD5_STEP(MD5_I, a, b, c, d, 8, 0x6fa87e4f, 6)
        MD5_STEP(MD5_I, d, a, b, c, 15, 0xfe2ce6e0, 10)
        MD5_STEP(MD5_I, c, d, a, b, 6, 0xa3014314, 15)
        MD5_STEP(MD5_I, b, c, d, a, 13, 0x4e0811a1, 21)
        MD5_STEP(MD5_I, a, b, c, d, 4, 0xf7537e82, 6)
        MD5_STEP(MD5_I, d, a, b, c, 11, 0xbd3af235, 10)
        MD5_STEP(MD5_I, c, d, a, b, 2, 0x2ad7d2bb, 15)
        MD5_STEP(MD5_I, b, c, d, a, 9, 0xeb86d391, 21)
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

void Md5::AddData(const char* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    length_ += size;
    if (pendingSize_ > 0) {
        const std::size_t take = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
        std::memcpy(pending_ + pendingSize_, bytes, take);
        pendingSize_ += take;
        bytes += take;
        size -= take;
        if (pendingSize_ < 64) return;
        Blocks(pending_, 1);
        pendingSize_ = 0;
    }
    Blocks(bytes, size / 64);
    bytes += size / 64 * 64;
    size %= 64;
    std::memcpy(pending_, bytes, size);
    pendingSize_ = size;
}

QByteArray Md5::Result() {
    const std::uint64_t bits = length_ * 8;
    const unsigned char padding[64] = {0x80};
    AddData(reinterpret_cast<const char*>(padding), (pendingSize_ < 56 ? 56 : 120) - pendingSize_);
    unsigned char tail[8];
    qToLittleEndian(bits, tail);
    AddData(reinterpret_cast<const char*>(tail), sizeof tail);
    QByteArray digest(16, Qt::Uninitialized);
    for (int i = 0; i < 4; ++i) qToLittleEndian(state_[i], digest.data() + 4 * i);
    return digest;
}

}  // namespace release
