// Whether a path names a link: a symbolic link, or on Windows a junction. Writing, renaming or
// deleting through such a path reaches whatever it points at, so callers that must stay inside a
// folder refuse or replace it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// path is UTF-8, '/' separators allowed. The path itself is examined, not what it points at;
// false when nothing is there.
bool IsLink(const std::string& path);

// Whether a Windows reparse point of this tag is a link: a symbolic link, a junction, or any tag
// Windows marks as a name surrogate (bit 29: the point stands for another named entry). Other
// kinds (cloud placeholders, deduplicated files, storage tiers) are the file itself.
constexpr bool IsLinkReparseTag(std::uint32_t tag) { return (tag & 0x20000000u) != 0; }

}  // namespace platform
