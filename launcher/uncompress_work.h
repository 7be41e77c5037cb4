// UnCompressWork (helper): unpacks the pending update's archives into the download directory on
// a pool thread; the helper's main thread installs the unpacked tree afterwards.
#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

#include "install_steps.h"

class UnCompressWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    explicit UnCompressWork(const QString& workDir);
    // Unpacks, then reports extractfailed() when an archive would not extract, and
    // uncompressfinished() in every case, once per run.
    void run() override;

    // True when archives were found and every one was extracted (and removed).
    bool UnCompressFiles();

signals:
    // An archive failed to extract: the unpacked tree is incomplete and must not be installed.
    // Always followed by uncompressfinished().
    void extractfailed();
    void uncompressfinished();

private:
    install::StepResult Extract();

    QString workDir_;
};
