// The manifest of a signed release: read only when the publisher's signature of its exact bytes
// verifies under the key the program was built with, and judged by the rules signing adds.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "manifest.h"

// Reads the manifest at path as ReadUsableManifest does, but only when, in this order:
// signaturePath holds a signature text of the file's exact bytes that verifies under
// publicKeyText; every entry carries a "sha256" (the downloaded archives are checked against
// it); and the manifest's "version" is not below currentVersion (CompareVersions; a version that
// does not compare is refused too), so that an old signed release with known faults cannot be
// offered again. False, with problem saying why, otherwise. The file is read once, so the bytes
// parsed are the bytes verified.
bool ReadSignedManifest(const QString& path, const QString& signaturePath, const QByteArray& publicKeyText,
                        const QString& currentVersion, ManifestTexts* texts, ManifestMap* files, QString* problem,
                        QStringList* unmanaged);
