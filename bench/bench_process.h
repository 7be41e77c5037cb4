// Runs one child program and measures it: wall time, CPU time and the child's peak resident
// memory as the kernel reports it to wait4().
#pragma once

#include <string>
#include <vector>

namespace bench {

struct ChildRun {
    bool started = false;       // false when fork() or exec() failed
    int exitCode = -1;          // exit status, or -1 when the child was killed by a signal
    int signal = 0;             // the signal that ended the child, if any
    double wallSeconds = 0;     // from just before fork() to wait4() returning
    double userSeconds = 0;
    double systemSeconds = 0;
    long maxRssKib = 0;         // ru_maxrss of the child, KiB
};

// Runs argv[0] (looked up in PATH) with the given arguments, in workDir when not empty.
// The child reads standard input from inputFile, or /dev/null when that is empty; its output
// goes where ours goes.
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& workDir = {},
                  const std::string& inputFile = {});

// Runs a command and returns the first line it prints on standard output (empty on failure).
std::string FirstOutputLine(const std::vector<std::string>& argv);

// Full path of the program in PATH, or empty when it is not there.
std::string FindInPath(const std::string& program);

// Parses a whole decimal option value within [lo, hi].
bool ParseUnsigned(const char* text, unsigned lo, unsigned hi, unsigned* value);

}  // namespace bench
