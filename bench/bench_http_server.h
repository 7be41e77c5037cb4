// Debian's python3 http.server on 127.0.0.1 as the benchmarks' download server: an ordinary,
// independent server, the same for our side and the baselines.
#pragma once

#include <QProcess>
#include <QString>

namespace bench {

// Starts the server in server over folder on port (0: a free one it picks). Returns the port it
// listens on, or 0 when it did not come up within 10 s (the server is then stopped).
quint16 StartHttpServer(QProcess* server, const QString& folder, quint16 port = 0);

}  // namespace bench
