// Elevated start: launches another program detached from this one, on Windows with a request for
// administrator rights (the system asks the user).
#pragma once

#include <string>

namespace platform {

// Starts the program at path (UTF-8, '/' separators allowed), no arguments, not waiting for it.
// Windows asks for administrator rights. Returns whether the start succeeded.
bool StartElevated(const std::string& path);

}  // namespace platform
