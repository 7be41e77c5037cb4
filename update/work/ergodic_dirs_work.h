// ErgodicDirsWork: fingerprints every installed file with MD5 and fills fetchList with the
// manifest entries that are missing or differ (fetchPatches with the patches that apply to what is
// installed); reports ergodicdirfinished(fetchList not empty).
#pragma once

#include <QMap>
#include <QObject>
#include <QRunnable>
#include <QString>
#include <QStringList>

#include "manifest.h"

class ErgodicDirsWork : public QObject, public QRunnable {
    Q_OBJECT
public:
    ErgodicDirsWork(const QString& root, const ManifestMap& manifest);
    // Files below folder are not the installation's (the programs' own logs): they are neither
    // hashed nor compared.
    void LeaveOut(const QString& folder);
    void run() override;

signals:
    void ergodicdirfinished(bool finish);

private:
    QString root_;
    // Left-out folders, cleaned and ending in "/".
    QStringList leftOut_;
    // Archive name of a local file -> lower-case hex MD5 of its bytes (empty: unreadable).
    QMap<QString, QString> localChecksums_;
    ManifestMap manifest_;
};
