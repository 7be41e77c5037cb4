// UnCompressWork (updater): extracts the downloaded archives into the download directory and
// installs the extracted tree over the install root once it matches the manifest; reports
// uncompressfinished(ok) once.
#pragma once

#include <QMap>
#include <QObject>
#include <QRunnable>
#include <QString>

class UnCompressWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    // expectedMd5: the manifest's MD5 of each installed file by path ("/bin/app.dll"); the
    // unpacked files are checked against it before anything is installed.
    UnCompressWork(const QString& workDir, const QString& installRoot, const QMap<QString, QString>& expectedMd5 = {});
    void run() override;

    bool UnCompressFiles();
    bool ReplaceAppFiles();

signals:
    void uncompressfinished(bool finish);

private:
    QString workDir_;
    QString installRoot_;
    QMap<QString, QString> expectedMd5_;
};
