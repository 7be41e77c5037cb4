// Debian's python3 http.server on 127.0.0.1 as the benchmarks' download server: an ordinary,
// independent server, the same for our side and the baselines.
#pragma once

#include <QProcess>
#include <QString>

namespace bench {

// Starts the server in server over folder on a free port. Returns that port, or 0 when it did
// not come up within 10 s (said on stderr; the server is then stopped).
quint16 StartHttpServer(QProcess* server, const QString& folder);

}  // namespace bench
