// POSIX: isatty on descriptor 2.
#include "terminal.h"

#include <unistd.h>

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
