// The wait for a free single-instance guard, the same on every platform: the guard gives no
// notice when its holder lets go, so it is looked at again and again.
#include <algorithm>
#include <thread>

#include "single_instance.h"

namespace platform {

namespace {

// Short enough that a program waiting for the guard starts right after the holder's exit.
constexpr std::chrono::milliseconds kLookInterval(50);

}  // namespace

bool WaitForSingleInstanceFree(const std::string& name, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IsSingleInstanceHeld(name)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kLookInterval, deadline - now));
    }
    return true;
}

}  // namespace platform
