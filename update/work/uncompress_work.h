// UnCompressWork (updater): extracts the downloaded archives into the download directory and
// installs the extracted tree over the install root; reports uncompressfinished(ok) once.
#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

class UnCompressWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    explicit UnCompressWork(const QString& workDir);
    void run() override;

    bool UnCompressFiles();
    bool ReplaceAppFiles();

signals:
    void uncompressfinished(bool finish);

private:
    QString workDir_;
};
