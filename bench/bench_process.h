// Timed child processes of the benchmark drivers, and the table that compares tools by them.
#pragma once

#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct ChildRun {
    int exitCode = -1;       // -1 when fork() failed or a signal ended the child; 127: no exec
    int signal = 0;          // the signal that ended the child, if any
    double wallSeconds = 0;  // from just before fork() to wait4() returning
    double userSeconds = 0;
    double systemSeconds = 0;
    long maxRssKib = 0;  // ru_maxrss of the child from wait4()
};

// Runs argv[0] (looked up in PATH) in workDir when not empty, standard input from inputFile
// (else /dev/null), output where ours goes. Nothing is allocated between fork() and exec().
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& workDir = {},
                  const std::string& inputFile = {});

// The first line a program prints on standard output, for the version lines of the headers.
std::string FirstOutputLine(const QString& program, const QStringList& arguments);

// False, after saying which one on stderr, when a program is not in PATH (or, given by path,
// not executable).
bool HaveTools(const char* bench, const QStringList& programs);

double Median(std::vector<double> values);

// A tool and its timed runs.
struct Tool {
    std::string name;
    std::vector<std::string> argv;
    std::vector<ChildRun> runs;
    double MedianWall() const;
    double PeakMib() const;  // largest ru_maxrss over the runs
};

// Runs tool.argv + extra; the run joins tool.runs when timed. False, said on stderr, on failure.
bool RunTool(Tool& tool, bool timed, const std::vector<std::string>& extra = {});

// Timed rounds in each of which every tool runs once through runOnce(tool, round), the order
// rotating from round to round; prints each round's wall times.
bool RunRounds(std::vector<Tool>& tools, unsigned rounds, const std::function<bool(Tool&, unsigned)>& runOnce);

inline const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// One row per tool: wall time (median, smallest, largest), median user and system time, peak.
void PrintTable(const std::vector<const Tool*>& tools);

}  // namespace bench
