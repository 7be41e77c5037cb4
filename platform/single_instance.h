// Single-instance guard: a named, system-wide token that one process at a time can hold, so a
// second copy of a program notices the first and steps aside.
#pragma once

#include <chrono>
#include <string>

namespace platform {

// true: this process now holds the single-instance guard `name` for the rest of its life;
// false: another process (or an earlier call) already holds it.
bool AcquireSingleInstance(const std::string& name);

// Whether some process (this one included) holds the guard `name` right now. Looking acquires
// nothing that outlasts the call; on POSIX it takes the guard for an instant when it is free.
bool IsSingleInstanceHeld(const std::string& name);

// Looks every few milliseconds until the guard `name` is free, at most for `timeout`. true: free
// (a program started now can acquire it); false: still held when the time ran out.
bool WaitForSingleInstanceFree(const std::string& name, std::chrono::milliseconds timeout);

}  // namespace platform
