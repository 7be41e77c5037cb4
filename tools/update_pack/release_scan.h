// Release tree scan: lists the files of a new version's install tree and sets apart those the
// updater could never install, each with the reason.
#pragma once

#include <QString>
#include <QVector>

struct ReleaseFile {
    QString relativePath;  // below the tree's root, "/" separators, no leading "/"
    QString absolutePath;
    qint64 size = 0;
};

struct UnsupportedFile {
    QString relativePath;
    QString reason;
};

struct ReleaseScan {
    QVector<ReleaseFile> files;              // in path order
    QVector<UnsupportedFile> unsupported;    // in path order
    qint64 totalBytes = 0;                   // of files
};

// Walks root recursively (hidden entries included, symbolic links never followed) and sorts
// every entry into files or unsupported. Empty folders are left out: the updater only copies
// files.
ReleaseScan ScanRelease(const QString& root);
