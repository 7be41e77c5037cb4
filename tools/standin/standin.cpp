// Stand-in for the programs the updater starts or ends (the assistant, its sibling service, the
// helper, another updater). Built under each of their file names, it records every start as one
// line in "started.log" next to its own executable:
//   <own file name>[TAB<argument>]...\n
// appended with one write() on an O_APPEND descriptor, so lines of concurrent starts never mix.
// With "--stay" as the first argument it then waits (at most 60 s) so tests can end it.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr time_t kStaySeconds = 60;

void Stay() {
    timespec rest{kStaySeconds, 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof self) return 1;
    const std::string path(self, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');

    std::string line = path.substr(slash + 1);
    for (int i = 1; i < argc; ++i) {
        line += '\t';
        line += argv[i];
    }
    line += '\n';

    const std::string log = path.substr(0, slash) + "/started.log";
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!written) return 1;

    if (argc > 1 && std::strcmp(argv[1], "--stay") == 0) Stay();
    return 0;
}
