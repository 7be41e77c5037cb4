// Binary patches between two versions of a file, as a release publishes them beside the full
// archives: one Zstandard frame of the new file compressed with the old file as its raw-content
// prefix, which is what `zstd --patch-from=OLD` writes and reads, so either can make or apply one.
#pragma once

#include <QString>

namespace release {

// Writes to patchPath the patch that rebuilds newPath from oldPath: long-distance matching, a
// window as large as both files, the new file's size and an XXH64 checksum of it in the frame.
// False with error set when a file cannot be read or written; nothing is left at patchPath then.
bool MakePatch(const QString& oldPath, const QString& newPath, const QString& patchPath, QString* error);

// Rebuilds, at outPath, the file that patchPath makes of oldPath. The patch must be one frame
// that states its content size, at most maxBytes (so a damaged or hostile patch cannot fill the
// disk), and the frame's checksum must match. The output is written through a mapping of a file
// whose space is taken first, and the old file is mapped: memory holds neither file. False with
// error set (damaged patch, wrong old file, no space, ...), with nothing left at outPath.
bool ApplyPatch(const QString& oldPath, const QString& patchPath, const QString& outPath, qint64 maxBytes,
                QString* error);

}  // namespace release
