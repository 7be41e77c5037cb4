// Idle connections: parked without a parent, their signals still connected to nothing, so the
// socket's own notifier keeps its state current (a server that closes an idle connection turns
// it unconnected) and TakeIdle can tell a usable one without sending anything.
#include "http_client.h"

#include <QTcpSocket>
#include <QUrl>

HttpClient::~HttpClient() {
    for (QVector<QTcpSocket*>& sockets : idle_) qDeleteAll(sockets);
}

QString HttpClient::Origin(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return scheme + QStringLiteral("://") + url.host(QUrl::FullyEncoded) + QLatin1Char(':') + QString::number(port);
}

QTcpSocket* HttpClient::TakeIdle(const QString& origin) {
    auto it = idle_.find(origin);
    if (it == idle_.end()) return nullptr;
    QVector<QTcpSocket*>& sockets = *it;
    while (!sockets.isEmpty()) {
        QTcpSocket* socket = sockets.takeLast();
        // Bytes nobody asked for mean the connection is out of step with its requests.
        if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0) return socket;
        delete socket;
    }
    return nullptr;
}

void HttpClient::GiveBack(const QString& origin, QTcpSocket* socket) {
    QVector<QTcpSocket*>& sockets = idle_[origin];
    if (sockets.size() >= kIdlePerOrigin) {
        delete socket;
        return;
    }
    socket->setParent(nullptr);
    sockets.append(socket);
}
