// Test archives made by Info-ZIP zip, an independent peer of our zip engine: entries are stored
// under the relative paths given, exactly as the download server packs one changed file.
#pragma once

#include <QString>
#include <QStringList>

namespace infozip {

// True when the zip program is on PATH.
bool Available();

// Runs "zip -X -q archive entries..." inside fromDir, so each entry is stored under its path
// relative to fromDir. The archive's folder is created when missing. True when zip exited with 0
// and the archive exists.
bool MakeArchive(const QString& archive, const QString& fromDir, const QStringList& entries);

}  // namespace infozip
