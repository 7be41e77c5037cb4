// Platform layer on POSIX: the guard seen from other processes and placed in $TMPDIR, and the
// detached start really starting (or truthfully failing to start) a program.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "elevated_start.h"
#include "scratch_dir.h"
#include "single_instance.h"

namespace {

constexpr std::chrono::seconds kWait(15);

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string UniqueName(const char* purpose) {
    return std::string("platform-test-") + purpose + "-" + std::to_string(getpid());
}

// Runs AcquireSingleInstance(name) in a child process and returns its answer.
bool AcquireInChild(const std::string& name) {
    const pid_t child = fork();
    if (child == 0) _exit(platform::AcquireSingleInstance(name) ? 0 : 1);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SingleInstancePosix, IsHeldAcrossProcessesUntilTheHolderEnds) {
    const std::string name = UniqueName("holder");
    int acquired[2], release[2];
    ASSERT_EQ(pipe(acquired), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        // Holds the guard until the test closes the release pipe.
        const char answer = platform::AcquireSingleInstance(name) ? 'y' : 'n';
        if (write(acquired[1], &answer, 1) != 1) _exit(2);
        close(release[1]);
        char ignored;
        while (read(release[0], &ignored, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(acquired[1]);
    close(release[0]);
    char answer = 0;
    ASSERT_EQ(read(acquired[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');

    EXPECT_FALSE(AcquireInChild(name)) << "a second process got the guard while the first held it";
    EXPECT_FALSE(platform::WaitForSingleInstanceFree(name, std::chrono::milliseconds(100)));

    close(release[1]);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(platform::WaitForSingleInstanceFree(name, kWait));
    // Looking left nothing behind that would keep the next holder out.
    EXPECT_TRUE(AcquireInChild(name)) << "the guard outlived its holder";
    close(acquired[0]);
}

TEST(SingleInstancePosix, LivesInTheTemporaryFolderFromTmpdir) {
    const ztest::ScratchDir scratch("platform-test");
    const std::string tmp = scratch.path().string();
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    const std::string name = UniqueName("tmpdir");
    EXPECT_TRUE(platform::AcquireSingleInstance(name));
    EXPECT_TRUE(Exists(tmp + "/" + name + ".lock"));
    if (previous) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

// A script that records how it was started: "$0 <argument count>" in "<own path>.ran", renamed
// into place so that a reader never sees half of it.
std::string WriteRecordingScript(const std::string& dir, mode_t mode) {
    const std::string path = dir + "/program";
    std::ofstream(path) << "#!/bin/sh\n"
                           "printf '%s %s\\n' \"$0\" \"$#\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.ran\"\n";
    chmod(path.c_str(), mode);
    return path;
}

TEST(StartElevatedPosix, StartsTheProgramWithoutArgumentsAndLeavesNoChild) {
    const ztest::ScratchDir scratch("platform-test");
    const std::string dir = scratch.path().string();
    const std::string program = WriteRecordingScript(dir, 0755);

    ASSERT_TRUE(platform::StartElevated(program));
    // The intermediate child is reaped and the program is not ours: nothing left to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(WaitFor([&] { return Exists(program + ".ran"); })) << "the program did not run";
    EXPECT_EQ(ReadAll(program + ".ran"), program + " 0\n");
}

TEST(StartElevatedPosix, ReportsAProgramThatCannotBeExecuted) {
    const ztest::ScratchDir scratch("platform-test");
    const std::string dir = scratch.path().string();
    // Exists, so the start gets as far as exec; only exec's answer tells the truth.
    EXPECT_FALSE(platform::StartElevated(WriteRecordingScript(dir, 0644)));
    EXPECT_FALSE(platform::StartElevated(dir));
}

}  // namespace
