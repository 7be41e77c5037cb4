// The output folder of a run, built out of sight: everything is written into a hidden folder
// beside the output (same file system) and renamed into place only when complete.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class StagedOutput {
public:
    // output: the folder that will hold the release. An existing, non-empty output is refused
    // unless replace is set.
    StagedOutput(const QString& output, bool replace);
    ~StagedOutput();

    // Checks the output and creates the staging folder (and missing parents of the output).
    // False with error set when the output cannot be written.
    bool Begin(QString* error);
    // Where the files go until Commit.
    QString Path() const;
    // Moves the staging folder into place. A replaced output is set aside first and removed
    // only after the new one is in place; when the move fails it is put back. warning tells of
    // an old release that could not be removed completely.
    bool Commit(QString* error, QString* warning);

private:
    QString output_;
    bool replace_;
    bool committed_ = false;
    std::unique_ptr<QTemporaryDir> staging_;
    QStringList createdParents_;  // deepest last; removed again when the run fails
};
