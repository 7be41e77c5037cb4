// UTF-8 to UTF-16 for the W functions of the Win32 API, shared by the Windows sources of the
// platform layer.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Malformed UTF-8 becomes U+FFFD, as MultiByteToWideChar does without MB_ERR_INVALID_CHARS.
inline std::wstring Utf8ToUtf16(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
    return wide;
}

}  // namespace platform
