// Single-instance guard: a named, system-wide token that one process at a time can hold, so a
// second copy of a program notices the first and steps aside.
#pragma once

#include <string>

namespace platform {

// true: this process now holds the single-instance guard `name` for the rest of its life;
// false: another process (or an earlier call) already holds it.
bool AcquireSingleInstance(const std::string& name);

}  // namespace platform
