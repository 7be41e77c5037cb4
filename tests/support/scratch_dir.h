// A folder of its own for one test: made under the system temp folder with a name no other test
// process can be using at the same moment, and removed with its contents at the end.
#pragma once

#include <filesystem>
#include <string>

namespace ztest {

class ScratchDir {
public:
    // prefix starts the folder's name, so that what a crashed test leaves behind says whose it is.
    explicit ScratchDir(const std::string& prefix = "updater-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace ztest
