// The link test on real paths: links to a folder and to a file are links, what they point at and
// ordinary entries are not, nor is a missing path. (The cross build's C++ library cannot make
// links, so under Wine only the second half runs.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "path_link.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class PathLink : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "folder");
        std::ofstream(root_ / "file") << "bytes";
    }
    std::string At(const char* name) const { return (root_ / name).generic_u8string(); }

    ztest::ScratchDir scratch_{"path-link"};
    const fs::path root_ = scratch_.path();
};

TEST_F(PathLink, OrdinaryEntriesAndMissingPathsAreNotLinks) {
    EXPECT_FALSE(platform::IsLink(At("folder")));
    EXPECT_FALSE(platform::IsLink(At("file")));
    EXPECT_FALSE(platform::IsLink(At("missing")));
    EXPECT_FALSE(platform::IsLink(""));
}

TEST_F(PathLink, LinksAreLinksButNotWhatTheyPointAt) {
    std::error_code error;
    fs::create_directory_symlink(root_ / "folder", root_ / "folder link", error);
    if (!error) fs::create_symlink(root_ / "file", root_ / "file link", error);
    if (error) GTEST_SKIP() << "links cannot be made here: " << error.message();
    EXPECT_TRUE(platform::IsLink(At("folder link")));
    EXPECT_TRUE(platform::IsLink(At("file link")));
    EXPECT_FALSE(platform::IsLink(At("folder")));
}

// Windows' own tags (winnt.h): the links, and the reparse points that are the file itself.
TEST(ReparseTag, OnlyNameSurrogatesAreLinks) {
    EXPECT_TRUE(platform::IsLinkReparseTag(0xA000000Cu));   // IO_REPARSE_TAG_SYMLINK
    EXPECT_TRUE(platform::IsLinkReparseTag(0xA0000003u));   // IO_REPARSE_TAG_MOUNT_POINT (junction)
    EXPECT_TRUE(platform::IsLinkReparseTag(0xA000001Du));   // IO_REPARSE_TAG_LX_SYMLINK
    EXPECT_FALSE(platform::IsLinkReparseTag(0x9000001Au));  // IO_REPARSE_TAG_CLOUD_1 (a placeholder)
    EXPECT_FALSE(platform::IsLinkReparseTag(0x80000013u));  // IO_REPARSE_TAG_DEDUP
    EXPECT_FALSE(platform::IsLinkReparseTag(0xC0000004u));  // IO_REPARSE_TAG_HSM
    EXPECT_FALSE(platform::IsLinkReparseTag(0x80000017u));  // IO_REPARSE_TAG_WOF (compressed)
}

}  // namespace
