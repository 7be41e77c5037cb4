// Zstandard's patch-from mode: the old file is a raw-content prefix of the new one's frame, so
// the new file's bytes are coded as matches into the old where they can be. Long-distance
// matching finds them across the whole file, and the window must reach from the end of the new
// file back to the start of the old one: its log is one above the larger file's highest bit, as
// the zstd tool sets it. The frame records the content size (so the patch can be applied into a
// file of known size) and an XXH64 checksum of the content (a damaged patch fails there).
#include "binary_patch.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>

#include <zstd.h>

#include "durable_file.h"

namespace release {

namespace {

// Compression level of published patches: slow to make, once, and as small as zstd gets them
// without its "ultra" levels, whose memory the updater's decoder would also need.
constexpr int kLevel = 19;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// A whole file mapped for reading; an empty file maps to nothing (Qt maps no empty range).
struct MappedFile {
    QFile file;
    const uchar* data = nullptr;
    qint64 size = 0;

    bool Open(const QString& path) {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) return false;
        size = file.size();
        if (size == 0) return true;
        data = file.map(0, size);
        return data != nullptr;
    }
};

int WindowLog(qint64 largest) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (qint64(1) << log) < largest * 2) ++log;
    return log;
}

QString ZstdText(size_t code) { return QString::fromLatin1(ZSTD_getErrorName(code)); }

}  // namespace

bool MakePatch(const QString& oldPath, const QString& newPath, const QString& patchPath, QString* error) {
    MappedFile before;
    MappedFile after;
    if (!before.Open(oldPath) || !after.Open(newPath)) {
        *error = QStringLiteral("cannot read %1").arg(before.data || before.size == 0 ? newPath : oldPath);
        return false;
    }
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    ZSTD_CCtx* c = cctx.get();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLog(std::max(before.size, after.size)));
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setPledgedSrcSize(c, static_cast<unsigned long long>(after.size));
    if (before.size > 0) ZSTD_CCtx_refPrefix(c, before.data, static_cast<size_t>(before.size));

    QFile out(patchPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot create %1: %2").arg(patchPath, out.errorString());
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[ZSTD_CStreamOutSize()]);
    ZSTD_inBuffer input{after.data, static_cast<size_t>(after.size), 0};
    for (;;) {
        ZSTD_outBuffer output{buffer.get(), ZSTD_CStreamOutSize(), 0};
        const size_t left = ZSTD_compressStream2(c, &output, &input, ZSTD_e_end);
        if (ZSTD_isError(left)) {
            *error = QStringLiteral("cannot compress %1: %2").arg(newPath, ZstdText(left));
            break;
        }
        if (out.write(buffer.get(), qint64(output.pos)) != qint64(output.pos)) {
            *error = QStringLiteral("cannot write %1: %2").arg(patchPath, out.errorString());
            break;
        }
        if (left == 0) {
            if (out.flush()) return true;
            *error = QStringLiteral("cannot write %1: %2").arg(patchPath, out.errorString());
            break;
        }
    }
    out.close();
    QFile::remove(patchPath);
    return false;
}

bool ApplyPatch(const QString& oldPath, const QString& patchPath, const QString& outPath, qint64 maxBytes,
                QString* error) {
    QFile::remove(outPath);  // an earlier attempt's
    MappedFile base;
    MappedFile patch;
    if (!base.Open(oldPath)) {
        *error = QStringLiteral("cannot read %1").arg(oldPath);
        return false;
    }
    if (!patch.Open(patchPath) || patch.size == 0) {
        *error = QStringLiteral("cannot read %1").arg(patchPath);
        return false;
    }
    // One frame, the whole file, stating the size of what it makes.
    const size_t patchSize = static_cast<size_t>(patch.size);
    const unsigned long long content = ZSTD_getFrameContentSize(patch.data, patchSize);
    if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN ||
        ZSTD_findFrameCompressedSize(patch.data, patchSize) != patchSize) {
        *error = QStringLiteral("%1 is not a patch").arg(patchPath);
        return false;
    }
    if (content > static_cast<unsigned long long>(std::max<qint64>(maxBytes, 0))) {
        *error = QStringLiteral("%1 would make %2 bytes, more than the %3 allowed").arg(patchPath).arg(content).arg(maxBytes);
        return false;
    }
    const std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    if (base.size > 0) ZSTD_DCtx_refPrefix(dctx.get(), base.data, static_cast<size_t>(base.size));

    if (!platform::ReserveFile(outPath.toStdString(), qint64(content))) {
        *error = QStringLiteral("cannot make room for %1 (%2 bytes)").arg(outPath).arg(content);
        QFile::remove(outPath);
        return false;
    }
    QFile out(outPath);
    bool ok = out.open(QIODevice::ReadWrite);
    if (ok && content > 0) {
        uchar* target = out.map(0, qint64(content));
        if (!target) {
            *error = QStringLiteral("cannot map %1: %2").arg(outPath, out.errorString());
            ok = false;
        } else {
            const size_t made = ZSTD_decompressDCtx(dctx.get(), target, size_t(content), patch.data, patchSize);
            if (ZSTD_isError(made) || made != content) {
                *error = QStringLiteral("%1 does not apply to %2: %3")
                             .arg(patchPath, oldPath, ZSTD_isError(made) ? ZstdText(made) : QStringLiteral("short"));
                ok = false;
            }
        }
        if (target) ok = out.unmap(target) && ok;
    } else if (ok) {
        // An empty file still has a frame to check: its checksum and its prefix's use.
        const size_t made = ZSTD_decompressDCtx(dctx.get(), nullptr, 0, patch.data, patchSize);
        if (ZSTD_isError(made) || made != 0) {
            *error = QStringLiteral("%1 does not apply to %2").arg(patchPath, oldPath);
            ok = false;
        }
    } else {
        *error = QStringLiteral("cannot open %1: %2").arg(outPath, out.errorString());
    }
    out.close();
    if (!ok) QFile::remove(outPath);
    return ok;
}

}  // namespace release
