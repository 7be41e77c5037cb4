// HttpClient: the kept-alive HTTP/1.1 connections of one thread's downloads, by origin, so that
// the next file to the same server goes out on a connection that is already open.
#pragma once

#include <QHash>
#include <QString>
#include <QVector>

class QTcpSocket;
class QUrl;

class HttpClient {
public:
    // At most this many idle connections are kept per origin; more are closed.
    static constexpr int kIdlePerOrigin = 8;

    HttpClient() = default;
    // Closes every idle connection.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // "scheme://host:port" of url, the key connections are kept under.
    static QString Origin(const QUrl& url);

    // An idle connection to origin that is still open and has nothing unread, or nullptr. The
    // caller owns it. Connections the server has closed meanwhile are dropped here.
    QTcpSocket* TakeIdle(const QString& origin);
    // Keeps socket (connected, its response read to the end) for the next request to origin.
    void GiveBack(const QString& origin, QTcpSocket* socket);

private:
    QHash<QString, QVector<QTcpSocket*>> idle_;
};
