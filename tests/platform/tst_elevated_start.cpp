// Elevated start, on every platform: a program that is not there is reported as not started.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "elevated_start.h"

namespace {

class StartOfMissingProgram : public ::testing::TestWithParam<const char*> {};

TEST_P(StartOfMissingProgram, Fails) {
    // '/' separators, as the updater passes them.
    const std::string path = std::filesystem::temp_directory_path().generic_u8string() + "/" + GetParam();
    EXPECT_FALSE(platform::StartElevated(path)) << path;
}

INSTANTIATE_TEST_SUITE_P(Paths, StartOfMissingProgram,
                         ::testing::Values("platform-test-no-such-program.exe",
                                           "platform-test-no-such-folder/program.exe"));

}  // namespace
