// Names drawn from a clock, a seed or a counter collide when two test processes start in the same
// instant (CTest runs them side by side). Here the folder is claimed with create_directory, which
// fails when the name exists already, so a name is ours only once we made it; a random name just
// keeps the retries rare.
#include "scratch_dir.h"

#include <cstdio>
#include <random>
#include <stdexcept>
#include <system_error>

namespace ztest {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(const std::string& prefix) {
    std::random_device device;
    std::mt19937_64 draw((static_cast<std::uint64_t>(device()) << 32) ^ device());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(draw()));
        const fs::path candidate = base / (prefix + "-" + suffix);
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
        if (error) break;
    }
    throw std::runtime_error("no scratch folder could be made in " + base.u8string());
}

ScratchDir::~ScratchDir() {
    // Tests leave read-only files and folders behind; make them removable first.
    std::error_code error;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->is_symlink(ignored)) continue;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, error);
}

}  // namespace ztest
