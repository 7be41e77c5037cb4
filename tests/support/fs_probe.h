// File facts that std::filesystem does not give portably: Windows FILETIME times and the
// read-only attribute (a mode without write bits on POSIX).
#pragma once

#include <cstdint>
#include <string>

namespace ztest {

struct FileTimes {
    bool ok = false;
    std::uint64_t access = 0;
    std::uint64_t modification = 0;
};
// Times of the file at path as FILETIME values (100 ns since 1601-01-01 UTC).
FileTimes GetFileTimes(const std::wstring& path);

bool IsReadOnly(const std::wstring& path);
// Clears the read-only state so the file can be replaced or removed.
void MakeWritable(const std::wstring& path);

}  // namespace ztest
