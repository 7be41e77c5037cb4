// Public interface of the request library: the kinds of request the updater makes, the constants
// it exchanges with the update service, and the one call that performs an exchange.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <functional>

#if defined(QREQUEST_BUILDING)
#define QREQUEST_EXPORT Q_DECL_EXPORT
#else
#define QREQUEST_EXPORT Q_DECL_IMPORT
#endif

namespace qRequest {

// The request kinds the service understands; the number travels in the X-Request-Api header.
enum RequestApi {
    CheckVersion = 108,  // is a newer client available?
};

// Who is asking: sent as request headers with every exchange.
inline constexpr char kPlatformVendor[] = "Microsoft";
inline constexpr char kAppId[] = "pc.korvan.lumadrift";
inline constexpr char kChannel[] = "official";
inline constexpr char kProduct[] = "harbor_pc";
inline constexpr char kPlatformName[] = "Windows";
inline constexpr char kOsName[] = "Windows";
inline constexpr char kVersionNumber[] = "1.4.5.1";  // this client's version
inline constexpr char kContentType[] = "application/json; charset=utf-8";

// The header names under which the values above travel.
inline constexpr char kApiHeader[] = "X-Request-Api";
inline constexpr char kPlatformVendorHeader[] = "X-Platform-Vendor";
inline constexpr char kAppIdHeader[] = "X-App-Id";
inline constexpr char kChannelHeader[] = "X-Channel";
inline constexpr char kProductHeader[] = "X-Product";
inline constexpr char kPlatformNameHeader[] = "X-Platform";
inline constexpr char kOsNameHeader[] = "X-OS";
inline constexpr char kVersionNumberHeader[] = "versionNumber";

// The service answers with a JSON envelope {"code": ..., "msg": ..., "result": ...}; "success"
// is the member callers test for a request the service accepted.
inline const QString kCodeKey = QStringLiteral("code");
inline const QString kMsgKey = QStringLiteral("msg");
inline const QString kResultKey = QStringLiteral("result");
inline const QString kSuccessKey = QStringLiteral("success");
// Texts for a user interface to show when an exchange fails or takes too long, and when the
// service answers with a failure of its own. The updater itself shows neither.
inline const QString kSlowNetworkMessage = QStringLiteral("网络较慢,请稍后再试");
inline const QString kServerErrorMessage = QStringLiteral("服务器异常,请稍后再试");

// Where requests go. The default sits under the reserved .invalid domain, which never resolves:
// a build that was not pointed at a real service fails fast instead of talking to a stranger.
// The environment variable names another endpoint (tests, demonstrations).
inline constexpr char kDefaultEndpoint[] = "https://version-check.invalid/api/v1/request";
inline constexpr char kEndpointVariable[] = "UPDATER_REQUEST_ENDPOINT";

// Limit on a whole exchange, connection to last byte. The updater has no window; a dead service
// must not keep it running forever. The environment variable (milliseconds, read at each call)
// overrides it, so tests need not wait half a minute.
inline constexpr int kTimeoutMs = 30000;
inline constexpr char kTimeoutVariable[] = "UPDATER_REQUEST_TIMEOUT_MS";

// Sends params as one JSON object in the body of an HTTP POST (Content-Type kContentType) to the
// endpoint, with the kind and identity headers above. Redirects are followed only when they are
// no less safe (same scheme, or http to https).
//
// done(true, body) for a 2xx answer; done(false, QByteArray()) for a network error, any other
// status (an unfollowed 3xx included) or the time-out. done runs exactly once, in the thread of
// the QCoreApplication's event loop, and never inside this call: a caller in that thread sees
// commonRequest return first. Callable from any thread once the QCoreApplication exists;
// exchanges still pending when it is destroyed are dropped without calling done.
QREQUEST_EXPORT void commonRequest(RequestApi api, QMap<QString, QJsonValue> params,
                                   std::function<void(bool, QByteArray)> done);

}  // namespace qRequest
