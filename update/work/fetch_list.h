// The process-wide lists of what to download: manifest entry name -> archive URL, and for some of
// those entries a patch to fetch first. The file walk fills them on a pool thread before it
// reports; the presenter reads them only after that report.
#pragma once

#include <QMap>
#include <QString>

#include "manifest.h"

// A patch chosen for an entry of fetchList: it applies to base (the installed file, whose MD5 is
// the patch's "from"), and what it rebuilds must have the entry's md5. kept: an earlier run
// fetched it whole (its size and SHA-256 checked), so it needs no transfer.
struct FetchPatch {
    PatchEntry patch;
    QString base;
    QString md5;
    bool kept = false;
};

extern QMap<QString, QString> fetchList;
extern QMap<QString, FetchPatch> fetchPatches;
