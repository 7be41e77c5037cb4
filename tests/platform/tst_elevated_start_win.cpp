// Elevated start on Windows: the probe program is really started through the shell.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "elevated_start.h"

namespace {

constexpr DWORD kWaitMs = 20000;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(StartElevated, StartsTheProgram) {
    // The build gives the probe's path with '/' separators, which the start passes on unchanged.
    const std::string probe = START_PROBE_PATH;
    const std::wstring marker = Wide(probe + ".ran");
    DeleteFileW(marker.c_str());
    ASSERT_EQ(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_TRUE(platform::StartElevated(probe));
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < kWaitMs) {
        Sleep(20);
    }
    EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "the probe left no trace";
    DeleteFileW(marker.c_str());
}

}  // namespace
