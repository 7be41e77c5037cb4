// One run of update-pack: checks the request, packs every file of the release tree into its own
// archive, writes update.json and moves the result into place.
#pragma once

#include <QString>
#include <QStringList>

struct PackRequest {
    QString tree;           // install root of the new version
    QString output;         // folder that receives update.json and the archives
    QString baseUrl;        // where the output folder will be served from
    QString version;
    QString description;
    QString date;           // "yyyy.MM.dd"
    QString serviceAnswer;  // where to write the version-check answer; empty: none
    QString signKey;        // secret key file (update-pack keygen) signing update.json; empty: unsigned
    QStringList patchFrom;  // install roots of older versions to publish patches against
    bool force = false;
    bool skipUnsupported = false;
    bool replace = false;
    bool quiet = false;
};

// Runs the request, reporting on stderr. With a sign key, update.json.sig beside update.json
// holds the signature of update.json's exact bytes. Returns the process exit code: 0 on success, 1 when
// nothing (or, only for a failed service answer, no answer) was published.
int RunPack(const PackRequest& request);
