// ErgodicDirsWork: fingerprints every installed file with MD5 and fills fetchList with the
// manifest entries that are missing or differ; reports ergodicdirfinished(fetchList not empty).
#pragma once

#include <QMap>
#include <QObject>
#include <QRunnable>
#include <QString>

#include "manifest.h"

class ErgodicDirsWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    ErgodicDirsWork(const QString& root, const ManifestMap& manifest);
    void run() override;

signals:
    void ergodicdirfinished(bool finish);

private:
    QString root_;
    // Archive name of a local file -> lower-case hex MD5 of its bytes (empty: unreadable).
    QMap<QString, QString> localChecksums_;
    ManifestMap manifest_;
};
