// libFuzzer target for the zip engine: each input is taken as a whole archive held in memory and
// driven through the reading half of the handle API, once without and once with a password.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <limits>

#include "zip_archive.h"

namespace {

// Bounds that keep one input fast even when it claims huge counts or inflates without end.
constexpr std::int32_t kMaxItems = 300;
constexpr int kMaxPiecesPerItem = 64;
constexpr int kMaxPiecesPerInput = 2048;
// A small odd piece: many calls per item, and pieces that straddle the engine's buffers.
constexpr std::uint32_t kPieceSize = 97;

// The engine promises that every call leaves its result in ZipLastResult and that item names
// are terminated within the name buffer; a breach is a finding like any crash.
ZipResult Checked(ZipResult result) {
    if (ZipLastResult != result) __builtin_trap();
    return result;
}

void CheckTerminated(const ZipItemInfo& info) {
    if (std::wmemchr(info.name, L'\0', kZipMaxPath) == nullptr) __builtin_trap();
}

void Explore(const std::uint8_t* data, std::size_t size, const char* password) {
    ZipHandle* zip = ZipOpenFromMemory(data, static_cast<std::uint32_t>(size), password);
    if (zip == nullptr) return;

    ZipItemInfo info{};
    std::int32_t count = 0;
    if (Checked(ZipGetItemInfo(zip, -1, &info)) == kZipSuccess) count = std::min(info.index, kMaxItems);

    unsigned char piece[kPieceSize];
    int budget = kMaxPiecesPerInput;
    for (std::int32_t i = 0; i < count; ++i) {
        if (Checked(ZipGetItemInfo(zip, i, &info)) != kZipSuccess) continue;
        CheckTerminated(info);
        if (i == 0) {
            std::int32_t found = -1;
            Checked(ZipFindItem(zip, info.name, true, &found, &info));
            CheckTerminated(info);
        }
        // Items longer than the allowance are left half read: the next item must still work.
        for (int calls = 0; calls < kMaxPiecesPerItem && budget > 0; ++calls, --budget) {
            if (Checked(ZipExtractToMemory(zip, i, piece, sizeof piece)) != kZipMore) break;
        }
    }
    // One index past the end, and a lookup that walks every name.
    Checked(ZipGetItemInfo(zip, count, &info));
    std::int32_t found = -1;
    Checked(ZipFindItem(zip, L"tree/readme.txt", false, &found, nullptr));
    Checked(ZipClose(zip));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max()) return 0;
    Explore(data, size, nullptr);
    // The password the encrypted seeds were made with.
    Explore(data, size, "secret");
    return 0;
}
