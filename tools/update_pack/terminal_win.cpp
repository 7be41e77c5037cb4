// Windows: _isatty on the C runtime's descriptor 2 (a console; pipes and files are not).
#include "terminal.h"

#include <io.h>

bool StderrIsTerminal() { return _isatty(2) != 0; }
