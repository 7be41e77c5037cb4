// Extraction of items to a path, into an open file or into memory, the folder chains that
// extraction creates, and ExtractZipToDir, which unpacks a whole archive under one folder.
#include <cstring>
#include <new>
#include <string>

#include "entry_stream.h"
#include "file_io.h"
#include "zip_archive.h"
#include "zip_reader.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A path that names its own root: it starts with a separator or a drive ("C:").
bool IsAbsolute(const std::wstring& path) {
    return (!path.empty() && IsSeparator(path[0])) || (path.size() >= 2 && path[1] == L':');
}

// True when a segment of path climbs out of the folder it is joined to. Besides "..", any
// segment made only of dots and spaces with two or more dots counts: Windows trims trailing
// dots and spaces from names, so ".. " or "..." could end up meaning the parent.
bool HasParentSegment(const std::wstring& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        int dots = 0;
        bool onlyDotsAndSpaces = true;
        for (std::size_t i = start; i < end; ++i) {
            if (path[i] == L'.') {
                ++dots;
            } else if (path[i] != L' ') {
                onlyDotsAndSpaces = false;
            }
        }
        if (onlyDotsAndSpaces && dots >= 2) return true;
        start = end + 1;
    }
    return false;
}

bool Exists(const wchar_t* path) { return zipio::GetAttributes(path) != zipio::kNoAttributes; }

void CreateIfMissing(const wchar_t* root, const std::wstring& rel) {
    wchar_t full[kZipMaxPath];
    if (!zipio::ComposePath(full, root, rel.c_str(), nullptr)) return;  // the later create fails
    if (!Exists(full)) zipio::CreateFolder(full);
}

// Creates root (one level) and then every folder along rel under it, each only when missing:
// for "a/b/" under R that is R, then R + "a", R + "a/b" and R + "a/b/". Failures are left to
// show up when the file itself is created. root may be null: rel then stands alone.
void EnsureFolderChain(const wchar_t* root, const std::wstring& rel) {
    // Most items go into a folder that an earlier item already made: one look settles that.
    wchar_t full[kZipMaxPath];
    if (!rel.empty() && zipio::ComposePath(full, root, rel.c_str(), nullptr) && Exists(full)) return;
    if (root && *root && !Exists(root)) zipio::CreateFolder(root);
    if (rel.empty()) return;
    for (std::size_t i = 1; i < rel.size(); ++i) {
        if (IsSeparator(rel[i])) CreateIfMissing(root, rel.substr(0, i));
    }
    CreateIfMissing(root, rel);
}

// A folder item: the chain is made, and the result says whether the folder is there now.
ZipResult ExtractFolder(const ZipReader& reader, const std::wstring& path) {
    const wchar_t* root = IsAbsolute(path) ? nullptr : reader.extractRoot.c_str();
    wchar_t full[kZipMaxPath];
    if (!zipio::ComposePath(full, root, path.c_str(), nullptr)) return kZipNoFile;
    EnsureFolderChain(root, path);
    const std::uint32_t attributes = zipio::GetAttributes(full);
    return attributes != zipio::kNoAttributes && (attributes & kZipAttrDirectory) ? kZipSuccess : kZipNoFile;
}

// Copies the current item's plain bytes into out, 16 KiB at a time, and gives out the item's
// times once every byte has arrived and the CRC-32 matched.
ZipResult CopyItem(ZipReader& reader, const ZipItemInfo& info, zipio::Handle out) {
    ZipCursor& cursor = *reader.cursor;
    cursor.stream = ZipEntryStream::Open(cursor, reader.passwordOrNull());
    if (!reader.copyBuffer) {
        reader.copyBuffer.reset(new (std::nothrow) unsigned char[zipimpl::kCopyBufferSize]);
        if (!reader.copyBuffer) return kZipNoAlloc;
    }
    if (!cursor.stream) return kZipFlate;
    for (;;) {
        bool end = false;
        const std::int64_t n = cursor.stream->Read(reader.copyBuffer.get(), zipimpl::kCopyBufferSize, &end);
        if (n == ZipEntryStream::kBadPassword) return kZipPassword;
        if (n < 0) return kZipFlate;
        if (n > 0 && !zipio::Write(out, reader.copyBuffer.get(), static_cast<std::uint32_t>(n))) return kZipWrite;
        if (end) {
            if (!cursor.stream->Verified()) return kZipCorrupt;
            zipio::SetTimes(out, info.creationTime, info.accessTime, info.modificationTime);
            return kZipSuccess;
        }
        if (n == 0) return kZipFlate;
    }
}

// Common start of the extraction calls: a valid handle, an index in range, and the item's
// information with the cursor standing on it.
ZipResult PrepareItem(ZipHandle* handle, std::int32_t index, ZipItemInfo* info) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return r;
    ZipReader& reader = *handle->reader;
    reader.CloseItemStream();
    if (index < 0 || index >= reader.cursor->itemCount()) return kZipArgs;
    if (!reader.cursor->MoveTo(index)) return kZipCorrupt;
    return zipimpl::ItemInfo(reader, index, info);
}

ZipResult ExtractToPath(ZipHandle* handle, std::int32_t index, const wchar_t* pathArg) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return r;
    if (!pathArg) return kZipArgs;
    const std::wstring path = pathArg;
    ZipItemInfo info;
    if (const ZipResult r = PrepareItem(handle, index, &info)) return r;
    ZipReader& reader = *handle->reader;
    // Relative paths are joined to the extraction folder and must stay inside it.
    if (!IsAbsolute(path) && HasParentSegment(path)) return kZipArgs;
    if (info.attributes & kZipAttrDirectory) return ExtractFolder(reader, path);

    std::size_t split = path.size();
    while (split > 0 && !IsSeparator(path[split - 1])) --split;
    const std::wstring dirPart = path.substr(0, split);
    const std::wstring filePart = path.substr(split);
    // A name ending in a separator is a folder even where the archiver set no folder bit.
    if (filePart.empty()) return info.size == 0 ? ExtractFolder(reader, path) : kZipNoFile;

    const wchar_t* root = !dirPart.empty() && IsAbsolute(dirPart) ? nullptr : reader.extractRoot.c_str();
    wchar_t target[kZipMaxPath];
    if (!zipio::ComposePath(target, root, dirPart.c_str(), filePart.c_str())) return kZipNoFile;
    EnsureFolderChain(root, dirPart);

    const std::uint32_t mode = zipimpl::ModeOf(reader.cursor->current());
    const zipio::Handle out = zipio::CreateForWrite(target, info.attributes, mode);
    if (!zipio::IsValid(out)) return kZipNoFile;
    const ZipResult result = CopyItem(reader, info, out);
    zipio::Close(out);
    reader.CloseItemStream();
    // Whatever was written of a failed item would pass for the real file later.
    if (result != kZipSuccess) zipio::RemoveFile(target);
    return result;
}

}  // namespace

ZipResult ZipExtractToPath(ZipHandle* handle, std::int32_t index, const wchar_t* path) {
    return zipimpl::Report(ExtractToPath(handle, index, path));
}

ZipResult ZipExtractToHandle(ZipHandle* handle, std::int32_t index, ZipFileHandle file) {
    ZipItemInfo info;
    if (const ZipResult r = PrepareItem(handle, index, &info)) return zipimpl::Report(r);
    if (info.attributes & kZipAttrDirectory) return zipimpl::Report(kZipSuccess);
    const ZipResult result = CopyItem(*handle->reader, info, file);
    handle->reader->CloseItemStream();
    return zipimpl::Report(result);
}

ZipResult ZipExtractToMemory(ZipHandle* handle, std::int32_t index, void* buffer, std::uint32_t length) {
    if (const ZipResult r = zipimpl::CheckHandle(handle)) return zipimpl::Report(r);
    if (!buffer) return zipimpl::Report(kZipArgs);
    ZipReader& reader = *handle->reader;
    ZipCursor& cursor = *reader.cursor;
    if (index != reader.openItem || !cursor.stream) {
        reader.CloseItemStream();
        if (index < 0 || index >= cursor.itemCount()) return zipimpl::Report(kZipArgs);
        if (!cursor.MoveTo(index)) return zipimpl::Report(kZipCorrupt);
        cursor.stream = ZipEntryStream::Open(cursor, reader.passwordOrNull());
        reader.openItem = index;
    }
    bool end = false;
    const std::int64_t n = cursor.stream ? cursor.stream->Read(buffer, length, &end) : ZipEntryStream::kReadFailed;
    const bool verified = end && cursor.stream->Verified();
    if (n <= 0 || (end && !verified)) reader.CloseItemStream();
    if (end) return zipimpl::Report(verified ? kZipSuccess : kZipCorrupt);
    if (n > 0) return zipimpl::Report(kZipMore);
    return zipimpl::Report(n == ZipEntryStream::kBadPassword ? kZipPassword : kZipFlate);
}

bool ExtractZipToDir(const std::wstring& zipPath, const std::wstring& destDir) {
    if (zipPath.empty() || destDir.empty()) return false;
    ZipHandle* handle = ZipOpenFromPath(zipPath.c_str(), nullptr);
    if (!handle) return false;
    bool ok = ZipSetExtractDir(handle, destDir.c_str()) == kZipSuccess;
    ZipItemInfo info;
    ZipGetItemInfo(handle, -1, &info);
    const std::int32_t count = info.index;
    for (std::int32_t i = 0; ok && i < count; ++i) {
        if (ZipGetItemInfo(handle, i, &info) != kZipSuccess) {
            ok = false;
        } else if (IsAbsolute(info.name) || HasParentSegment(info.name)) {
            zipimpl::Report(kZipArgs);  // would land outside destDir
            ok = false;
        } else if (ZipExtractToPath(handle, i, info.name) != kZipSuccess) {
            ok = false;
        }
    }
    const ZipResult last = ZipLastResult;
    ZipClose(handle);
    zipimpl::Report(last);
    return ok;
}
