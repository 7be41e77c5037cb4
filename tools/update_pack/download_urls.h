// Where a release is served from: the base URL the publisher gives, checked and normalised, and
// the download URL of each archive below it.
#pragma once

#include <QString>

// Checks a base URL given by the publisher: absolute, http or https, a host, no query or
// fragment. Returns it fully percent-encoded without a trailing "/", or an empty string with
// error set.
QString NormaliseBaseUrl(const QString& input, QString* error);

// Download URL of an archive: the normalised base + its name, each byte of the UTF-8 name
// percent-encoded except unreserved characters and "/".
QString ArchiveUrl(const QString& base, const QString& name);
