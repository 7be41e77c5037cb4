// Progress of a packing run on stderr: one line rewritten in place on a terminal, a plain line
// now and then otherwise, and the summary at the end.
#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>

class PackProgress {
public:
    // quiet: show nothing at all (warnings and errors are not this class's business).
    PackProgress(int totalFiles, qint64 totalBytes, bool quiet);

    // One more file is packed: bytesIn of source, archiveBytes of archive.
    void FileDone(qint64 bytesIn, qint64 archiveBytes);
    // The patches against older versions come next: candidates of them to try.
    void BeginPatches(int candidates);
    // One candidate is done, from any thread: published with patchBytes in place of an archive of
    // archiveBytes, or not (patchBytes < 0: not small enough to be worth it).
    void PatchDone(qint64 patchBytes, qint64 archiveBytes);
    // Ends the progress line (if any) and prints the summary naming where the release went.
    void Finish(const QString& output);
    // Ends the progress line so that a message can follow on a line of its own.
    void Break();

    // "1.5 MiB", "812 bytes"
    static QString Size(qint64 bytes);

private:
    void Print(const QString& text);
    QString Line() const;
    // Redraws the line on a terminal (at most every kRedrawMs unless last) or, elsewhere, prints
    // it when another tenth of done/total is reached.
    void Show(qint64 done, qint64 total);

    int totalFiles_;
    qint64 totalBytes_;
    bool quiet_;
    bool terminal_;
    int files_ = 0;
    qint64 bytesIn_ = 0;
    qint64 archiveBytes_ = 0;
    int lineLength_ = 0;        // of the line now on the terminal; 0 when there is none
    qint64 lastShownMs_ = -1;
    int lastTenth_ = 0;         // plain output: the last tenth of the bytes reported
    QMutex patchMutex_;
    int patchCandidates_ = 0;
    int patchesTried_ = 0;
    int patchesWritten_ = 0;
    qint64 patchBytes_ = 0;
    qint64 patchedArchiveBytes_ = 0;
    QElapsedTimer clock_;
};
