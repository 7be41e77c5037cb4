// UnCompressWork (updater): extracts the downloaded archives into the download directory and
// installs the extracted tree over the install root once it matches the manifest; reports
// uncompressfinished(ok) once.
#pragma once

#include <QMap>
#include <QObject>
#include <QRunnable>
#include <QString>

#include "install_pipeline.h"

class UnCompressWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    // expectedMd5: the manifest's MD5 of each installed file by path ("/bin/app.dll"); the
    // unpacked files are checked against it before anything is installed.
    UnCompressWork(const QString& workDir, const QString& installRoot, const QMap<QString, QString>& expectedMd5 = {});
    // An installation configured by its caller.
    explicit UnCompressWork(const install::Installation& installation);
    // Signed updates: see install::Installation::RequireArchiveSha256.
    void RequireArchiveSha256(const QMap<QString, QString>& archiveSha256) {
        installation_.RequireArchiveSha256(archiveSha256);
    }
    // UnCompressFiles, then ReplaceAppFiles; reports whether the update was installed.
    void run() override;

    // Extraction step: true when archives were found and all of them extracted.
    bool UnCompressFiles();
    // Check and replacement step: true when files were found and all of them installed. Installs
    // nothing after a failed extraction or when a file differs from the manifest.
    bool ReplaceAppFiles();

signals:
    void uncompressfinished(bool finish);

private:
    install::Installation installation_;
};
