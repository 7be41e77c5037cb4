// A log file that several processes append to at once: every line lands whole at the end, and
// the file is rotated at a size bound (name.1, name.2, ...) by whichever writer reaches it first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class SharedLog {
public:
    // path is UTF-8, '/' separators allowed; its folder must exist. Nothing is opened yet.
    // rotateAt: the size in bytes at which the file becomes path.1 (path.1 becomes path.2, and
    // so on); keep: how many such old files stay.
    SharedLog(std::string path, std::uint64_t rotateAt, int keep);
    ~SharedLog();
    SharedLog(const SharedLog&) = delete;
    SharedLog& operator=(const SharedLog&) = delete;

    // Appends bytes (one or more whole lines) in one write at the end of the file, so that
    // writers never interleave within it. False when they could not be written. Not safe to call
    // from two threads at once on one object.
    bool Append(const std::string& bytes);

private:
    struct Handle;
    bool Open();
    // Called with the file at or past the bound: under the file's lock, the writer that finds
    // the path still naming its own file renames the chain; every writer then reopens the path.
    void Rotate();

    std::string path_;
    std::uint64_t rotateAt_;
    int keep_;
    std::unique_ptr<Handle> handle_;
};

}  // namespace platform
