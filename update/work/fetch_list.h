// The process-wide list of archives to download: manifest entry name -> URL. The file walk fills
// it on a pool thread before it reports; the presenter reads it only after that report.
#pragma once

#include <QMap>
#include <QString>

extern QMap<QString, QString> fetchList;
