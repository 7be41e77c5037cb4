// Whether a path names a link: a symbolic link, or on Windows any reparse point (symbolic link or
// junction). Writing, renaming or deleting through such a path reaches whatever it points at, so
// callers that must stay inside a folder refuse or replace it.
#pragma once

#include <string>

namespace platform {

// path is UTF-8, '/' separators allowed. The path itself is examined, not what it points at;
// false when nothing is there.
bool IsLink(const std::string& path);

}  // namespace platform
