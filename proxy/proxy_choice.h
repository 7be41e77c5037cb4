// ProxyChoice: the one place that decides how the updater reaches a URL, straight or through
// which proxy, from the system's own settings. The version check and the downloads both ask it.
#pragma once

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

class QNetworkProxyFactory;

class ProxyChoice {
public:
    // The proxy for url as the system is set up: on Windows Internet Options (a fixed proxy with
    // its bypass list, a PAC script, auto-detection), elsewhere http_proxy, https_proxy (http_proxy
    // when unset) and no_proxy. A proxy's credentials travel with it (user and password in the
    // variable's URL). NoProxy when url goes straight. Decided once per scheme, host and port in a
    // process: a PAC script or auto-detection may take seconds, and a release has a thousand files
    // on the same host.
    static QNetworkProxy For(const QUrl& url);
    // "host:port" of a proxy, for logs and messages: never its credentials.
    static QString Name(const QNetworkProxy& proxy);
    // The log's words for proxy refusing a request with an HTTP status: which proxy, the status
    // and its meaning, and as whom it was asked ("proxy 10.0.0.1:3128 refused: 407 Proxy
    // Authentication Required, as user "ann""). Never the password.
    static QString Refusal(const QNetworkProxy& proxy, int status);
    // A new factory that answers every query with For(): for QNetworkAccessManager::setProxyFactory,
    // which takes it over.
    static QNetworkProxyFactory* NewFactory();
};
