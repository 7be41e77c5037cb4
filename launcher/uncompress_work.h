// UnCompressWork (helper): unpacks the pending update's archives into the download directory on
// a pool thread; the helper's main thread installs the unpacked tree afterwards.
#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

#include "install_pipeline.h"

class UnCompressWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    // Unpacks through installation, whose download directory is workDir; the helper installs
    // through the same installation once this worker has reported.
    UnCompressWork(const QString& workDir, install::Installation& installation);
    // Unpacks, then reports uncompressfinished() once, whatever the outcome.
    void run() override;

    // True when archives were found and every one was extracted (and removed).
    bool UnCompressFiles();

signals:
    void uncompressfinished();

private:
    QString workDir_;
    install::Installation& installation_;
};
