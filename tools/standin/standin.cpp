// Stand-in for the programs the updater starts or ends (the assistant, its sibling service, the
// helper, another updater). Built under each of their file names, it records every start as one
// line in "started.log" next to its own executable:
//   <own file name>[TAB<argument>]...\n   (UTF-8)
// appended with one write to a file opened for appending only (on Windows one stand-in at a
// time), so lines of concurrent starts never mix or get lost. With "--stay" as the first argument
// it then waits (at most 60 s) so tests can end it.
#include <string>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#endif

namespace {

constexpr int kStaySeconds = 60;

#ifdef _WIN32

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

int Run() {
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768) return 1;
    const std::wstring path(self, length);
    const size_t slash = path.find_last_of(L"\\/");

    // The arguments as the starter wrote them, wide: non-ASCII ones arrive intact.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return 1;
    std::string line = Utf8(path.substr(slash + 1));
    for (int i = 1; i < argc; ++i) line += '\t' + Utf8(argv[i]);
    line += '\n';
    const bool stay = argc > 1 && std::wstring(argv[1]) == L"--stay";
    LocalFree(argv);

    // Windows appends each write whole at the end of a file opened for appending only, but Wine
    // takes the file's size and writes there: two stand-ins starting together could write their
    // lines over each other, and a test would count one start too few. A mutex of the session
    // keeps the appends of all stand-ins apart.
    const HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\updater-standin-started-log");
    if (!turn) return 1;
    const DWORD waited = WaitForSingleObject(turn, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return 1;
    const std::wstring log = path.substr(0, slash) + L"\\started.log";
    const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;  // the mutex goes with the process
    DWORD written = 0;
    const bool ok = WriteFile(file, line.data(), DWORD(line.size()), &written, nullptr) && written == line.size();
    CloseHandle(file);
    ReleaseMutex(turn);
    CloseHandle(turn);
    if (!ok) return 1;

    if (stay) Sleep(kStaySeconds * 1000);
    return 0;
}

#else

int Run(int argc, char** argv) {
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

    if (argc > 1 && std::strcmp(argv[1], "--stay") == 0) {
        timespec rest{kStaySeconds, 0};
        while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
    }
    return 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    return Run();
#else
    return Run(argc, argv);
#endif
}
