// Terminal lines are redrawn at most ten times a second and end with a carriage return, padded
// with spaces over a longer previous line (no escape sequences: the Windows console does not
// always understand them). Into a pipe or a log, a line is written when another tenth of the
// bytes is done, but not more often than every two seconds, so small runs show the summary only.
#include "pack_progress.h"

#include <QMutexLocker>

#include <algorithm>
#include <cstdio>

#include "terminal.h"

namespace {

constexpr qint64 kRedrawMs = 100;
constexpr qint64 kPlainLineMs = 2000;

}  // namespace

PackProgress::PackProgress(int totalFiles, qint64 totalBytes, bool quiet)
    : totalFiles_(totalFiles), totalBytes_(totalBytes), quiet_(quiet), terminal_(StderrIsTerminal()) {
    clock_.start();
    // The first file may be large: show the line before it is done.
    if (terminal_ && !quiet_) {
        const QString line = Line();
        Print(QLatin1Char('\r') + line);
        lineLength_ = line.size();
    }
}

QString PackProgress::Size(qint64 bytes) {
    if (bytes < 1024) return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024) return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    if (bytes < 1024LL * 1024 * 1024) return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024), 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(bytes / (1024.0 * 1024 * 1024), 0, 'f', 2);
}

QString PackProgress::Line() const {
    if (patchCandidates_ > 0) {
        return QStringLiteral("patching: %1/%2 files against older versions").arg(patchesTried_).arg(patchCandidates_);
    }
    return QStringLiteral("packing: %1/%2 files, %3 of %4")
        .arg(files_)
        .arg(totalFiles_)
        .arg(Size(bytesIn_), Size(totalBytes_));
}

void PackProgress::Print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void PackProgress::FileDone(qint64 bytesIn, qint64 archiveBytes) {
    ++files_;
    bytesIn_ += bytesIn;
    archiveBytes_ += archiveBytes;
    Show(bytesIn_, totalBytes_);
}

void PackProgress::BeginPatches(int candidates) {
    patchCandidates_ = candidates;
    lastTenth_ = 0;
    lastShownMs_ = -1;
    if (candidates > 0) Show(0, candidates);
}

void PackProgress::PatchDone(qint64 patchBytes, qint64 archiveBytes) {
    QMutexLocker lock(&patchMutex_);
    ++patchesTried_;
    if (patchBytes >= 0) {
        ++patchesWritten_;
        patchBytes_ += patchBytes;
        patchedArchiveBytes_ += archiveBytes;
    }
    Show(patchesTried_, patchCandidates_);
}

void PackProgress::Show(qint64 done, qint64 total) {
    if (quiet_) return;
    const qint64 now = clock_.elapsed();
    if (terminal_) {
        if (done < total && lastShownMs_ >= 0 && now - lastShownMs_ < kRedrawMs) return;
        const QString line = Line();
        Print(QLatin1Char('\r') + line.leftJustified(lineLength_));
        lineLength_ = line.size();
        lastShownMs_ = now;
    } else {
        const int tenth = total > 0 ? static_cast<int>(done * 10 / total) : 10;
        if (tenth > lastTenth_ && now - std::max<qint64>(lastShownMs_, 0) >= kPlainLineMs) {
            Print(Line() + QLatin1Char('\n'));
            lastTenth_ = tenth;
            lastShownMs_ = now;
        }
    }
}

void PackProgress::Break() {
    if (lineLength_ > 0) Print(QStringLiteral("\n"));
    lineLength_ = 0;
}

void PackProgress::Finish(const QString& output) {
    Break();
    if (quiet_) return;
    Print(QStringLiteral("packed %1 files: %2 in, %3 of archives, %4 s -> %5\n")
              .arg(files_)
              .arg(Size(bytesIn_), Size(archiveBytes_))
              .arg(clock_.elapsed() / 1000.0, 0, 'f', 1)
              .arg(output));
    if (patchCandidates_ == 0) return;
    Print(QStringLiteral("patches: %1 of %2 written, %3 in place of %4 of archives (%5 saved)\n")
              .arg(patchesWritten_)
              .arg(patchCandidates_)
              .arg(Size(patchBytes_), Size(patchedArchiveBytes_), Size(patchedArchiveBytes_ - patchBytes_)));
}
