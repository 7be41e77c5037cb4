// Single-instance guard on Windows: the wait for a free guard, with the guard's mutex held and
// let go by the test itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "single_instance.h"

namespace {

TEST(SingleInstanceWin, WaitForFreeEndsOnlyOnceTheHolderLetsGo) {
    const std::string name = "platform-test-wait-" + std::to_string(GetCurrentProcessId());
    const HANDLE held = CreateMutexW(nullptr, FALSE, std::wstring(name.begin(), name.end()).c_str());
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(platform::WaitForSingleInstanceFree(name, std::chrono::milliseconds(200)));

    // The mutex goes with its last handle: one kept open by the looks above would keep it alive.
    CloseHandle(held);
    EXPECT_TRUE(platform::WaitForSingleInstanceFree(name, std::chrono::seconds(5)));
    EXPECT_TRUE(platform::AcquireSingleInstance(name));
}

}  // namespace
