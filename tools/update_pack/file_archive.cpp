// Archives are written with libzip and read back with our zip engine, the reader inside the
// updater: a file whose archive the updater could not unpack, or would unpack to other bytes than
// the manifest's MD5 promises (the file changed while it was packed), stops the run here rather
// than on the users' machines.
#include "file_archive.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <vector>

#include <zip.h>

#include "release_files.h"
#include "zip_archive.h"

namespace {

// Best compression: an archive is packed once and downloaded by every user.
constexpr zip_uint32_t kDeflateLevel = 9;
constexpr std::uint32_t kCheckPiece = 256 * 1024;

QString LibzipText(zip_error_t* error) { return QString::fromLocal8Bit(zip_error_strerror(error)); }

QString LibzipText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = LibzipText(&error);
    zip_error_fini(&error);
    return text;
}

QString EngineText(ZipResult code) {
    wchar_t text[128];
    ZipResultText(code, text, sizeof text / sizeof text[0]);
    return QString::fromWCharArray(text);
}

// External attributes of the item: a Unix host and a regular file's mode. The installed copy is
// always writable by its owner (the zip engine turns a missing write bit into the read-only
// attribute, and a read-only file would block the next update); execute bits are kept.
zip_uint32_t ItemMode(const QString& sourcePath) {
    const bool executable = QFileInfo(sourcePath).permissions() & QFileDevice::ExeOwner;
    const zip_uint32_t mode = 0100000u | (executable ? 0755u : 0644u);
    return mode << 16;
}

}  // namespace

bool WriteFileArchive(const QString& sourcePath, const QString& storedPath, const QString& archivePath,
                      QString* error) {
    int openCode = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_EXCL, &openCode);
    if (!archive) {
        *error = QStringLiteral("cannot create %1: %2").arg(archivePath, LibzipText(openCode));
        return false;
    }

    zip_error_t sourceError;
    zip_error_init(&sourceError);
    zip_source_t* source = zip_source_file_create(QFile::encodeName(sourcePath).constData(), 0, -1, &sourceError);
    if (!source) {
        *error = QStringLiteral("cannot read %1: %2").arg(sourcePath, LibzipText(&sourceError));
        zip_error_fini(&sourceError);
        zip_discard(archive);
        return false;
    }
    zip_error_fini(&sourceError);

    // Names go in as UTF-8; libzip sets the UTF-8 flag on those that are not plain ASCII.
    const zip_int64_t index = zip_file_add(archive, storedPath.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
    }
    const qint64 modified = QFileInfo(sourcePath).lastModified().toSecsSinceEpoch();
    // The zip format keeps DOS local time with 2-second steps; libzip does the conversion.
    const bool added = index >= 0 &&
                       zip_set_file_compression(archive, index, ZIP_CM_DEFLATE, kDeflateLevel) == 0 &&
                       zip_file_set_mtime(archive, index, static_cast<time_t>(modified), 0) == 0 &&
                       zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, ItemMode(sourcePath)) == 0;
    // The file's bytes are read and compressed only now, inside zip_close; libzip writes to a
    // temporary file beside the archive and removes it when that fails.
    if (!added || zip_close(archive) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(archivePath, LibzipText(zip_get_error(archive)));
        zip_discard(archive);
        QFile::remove(archivePath);
        return false;
    }
    return true;
}

bool CheckFileArchive(const QString& archivePath, const QString& storedPath, const QString& md5, QString* error) {
    ZipHandle* handle = ZipOpenFromPath(archivePath.toStdWString().c_str(), nullptr);
    if (!handle) {
        *error = QStringLiteral("%1 does not open with the updater's zip reader: %2")
                     .arg(archivePath, EngineText(ZipLastResult));
        return false;
    }
    ZipItemInfo info{};
    ZipGetItemInfo(handle, -1, &info);
    const std::int32_t count = info.index;
    QString name;
    if (count == 1 && ZipGetItemInfo(handle, 0, &info) == kZipSuccess) {
        // The reader shows names with the platform's separators.
        name = QString::fromWCharArray(info.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    if (count != 1 || name != storedPath) {
        ZipClose(handle);
        *error = QStringLiteral("%1 reads back with %2 items, first named \"%3\"").arg(archivePath).arg(count).arg(name);
        return false;
    }

    // Every piece before the last fills the buffer; the last holds what remains of the size.
    QCryptographicHash hash(QCryptographicHash::Md5);
    std::vector<char> buffer(kCheckPiece);
    std::uint32_t left = info.size;
    ZipResult result;
    do {
        result = ZipExtractToMemory(handle, 0, buffer.data(), kCheckPiece);
        if (result != kZipSuccess && result != kZipMore) break;
        const std::uint32_t piece = std::min(left, kCheckPiece);
        hash.addData(buffer.data(), static_cast<int>(piece));
        left -= piece;
    } while (result == kZipMore);
    ZipClose(handle);

    if (result != kZipSuccess) {
        *error = QStringLiteral("%1 does not unpack with the updater's zip reader: %2")
                     .arg(archivePath, EngineText(result));
        return false;
    }
    const QString got = QString::fromLatin1(hash.result().toHex());
    if (!release::Md5Matches(got, md5)) {
        *error = QStringLiteral("%1 unpacks to content with MD5 %2, not %3 (did the file change while it was packed?)")
                     .arg(archivePath, got, md5);
        return false;
    }
    return true;
}
