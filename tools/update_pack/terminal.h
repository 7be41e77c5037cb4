// Whether the standard error stream is an interactive terminal, one implementation per platform.
#pragma once

bool StderrIsTerminal();
