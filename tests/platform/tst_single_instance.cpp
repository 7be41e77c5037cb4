// Single-instance guard: one holder per name, and names that do not disturb each other.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "single_instance.h"

namespace {

// Guards are system-wide: a suffix unique to this run keeps parallel runs of the suite apart.
std::string UniqueName(const std::string& purpose) {
    static const std::string run =
        std::to_string(std::random_device{}()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return "platform-test-" + purpose + "-" + run;
}

TEST(SingleInstance, IsGrantedOnceThenRefusedForTheSameName) {
    const std::string name = UniqueName("once");
    EXPECT_TRUE(platform::AcquireSingleInstance(name));
    EXPECT_FALSE(platform::AcquireSingleInstance(name));
    EXPECT_FALSE(platform::AcquireSingleInstance(name));
}

TEST(SingleInstance, NamesAreIndependent) {
    // The last two differ only outside ASCII: a lossy conversion of the name would merge them.
    const std::string names[] = {UniqueName("first"), UniqueName("second"),
                                 UniqueName("gard\xC3\xA9-\xD0\xBA\xD0\xBB"),
                                 UniqueName("gard\xC3\xA8-\xD0\xBA\xD0\xBC")};
    for (const std::string& name : names) EXPECT_TRUE(platform::AcquireSingleInstance(name)) << name;
    for (const std::string& name : names) EXPECT_FALSE(platform::AcquireSingleInstance(name)) << name;
}

}  // namespace
