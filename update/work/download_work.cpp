// Download worker: one GET through libcurl, streamed piece by piece into its target file, with a
// no-progress limit, a low-speed limit, bounded sizes and heads, safe redirects and no file left
// behind when the transfer fails. Failures are reported with the codes of QNetworkReply, as the
// rest of the updater has always judged them.
#include "download_work.h"

#include <curl/curl.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QUrl>

#include "curl_batch.h"
#include "pending_update.h"
#include "proxy_choice.h"
#include "release_signature.h"

namespace {

// A transfer that receives nothing at all for this long is given up.
constexpr int kStallLimitMs = 60 * 1000;
// Silence is not the only way to hang: a server that sends a byte a second never stalls, and the
// updater would hold its single-instance guard for ever. So every stall-limit-long window, counted
// from the request, must also bring at least this many bytes per second on average, or the
// transfer is given up too. A slow line above this rate is left alone however long the file takes.
constexpr qint64 kMinBytesPerSecond = 1024;
// Read once, at the first download of the process: a positive number of milliseconds that
// replaces kStallLimitMs, and with it the low-speed window (the rate stays the same). Tests set it
// so a stalled or crawling server costs them a second, not a minute; an environment variable
// keeps the knob out of the class interface the rest of the updater uses.
constexpr char kStallLimitVariable[] = "UPDATER_DOWNLOAD_STALL_MS";
int StallLimitMs() {
    static const int limit = [] {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue(kStallLimitVariable, &ok);
        return ok && ms > 0 ? ms : kStallLimitMs;
    }();
    return limit;
}

// True when a segment of the name, split on either separator, would climb out of the download
// directory. Any segment made only of dots and spaces, with at least two dots, counts: Windows
// drops trailing dots and spaces from a path component, so ".. " can act as "..". Dots inside a
// name ("v1..2") are fine.
bool ClimbsOut(const QString& fileName) {
    int dots = 0;
    int others = 0;  // characters of the segment that are neither dots nor spaces
    for (int i = 0; i <= fileName.size(); ++i) {
        const QChar c = i < fileName.size() ? fileName.at(i) : QLatin1Char('/');
        if (c == QLatin1Char('/') || c == QLatin1Char('\\')) {
            if (dots >= 2 && others == 0) return true;
            dots = others = 0;
        } else if (c == QLatin1Char('.')) {
            ++dots;
        } else if (c != QLatin1Char(' ')) {
            ++others;
        }
    }
    return false;
}

// Makes dir and whatever it lacks above it, one level at a time; a level that exists by the time
// it is made, whoever made it, is fine. Not QDir::mkpath: on Windows, when another thread creates
// one of the same folders between its first try and its climb to the parents, it takes the
// existing folder for a failure and gives up, and a batch starts several files into the same new
// folders at once.
bool MakeFolders(const QString& dir) {
    if (QFileInfo(dir).isDir()) return true;
    const int up = dir.lastIndexOf(QLatin1Char('/'));
    if (up > 0 && !MakeFolders(dir.left(up))) return false;
    return QDir().mkdir(dir) || QFileInfo(dir).isDir();
}

// Attempts at one file when its failures are transient (a refused, reset or timed-out connection,
// a name not resolved, a body cut short, a busy or failing server: 408, 429, 500, 502, 503, 504).
// Between them a wait of kRetryMs, then four times that; a server that names its own wait
// (Retry-After) gets it, up to kMaxRetryAfterMs.
constexpr int kAttempts = 3;
constexpr int kRetryMs = 1000;
constexpr int kMaxRetryAfterMs = 30 * 1000;
// Read at every retry: a positive number of milliseconds that replaces kRetryMs, so that tests of
// failing servers do not wait seconds for every file.
constexpr char kRetryVariable[] = "UPDATER_DOWNLOAD_RETRY_MS";
int RetryMs() {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(kRetryVariable, &ok);
    return ok && ms > 0 ? ms : kRetryMs;
}

// The wait a Retry-After value asks for: seconds, or an HTTP date; -1 when it says neither.
qint64 RetryAfterMs(const QByteArray& value) {
    bool ok = false;
    const qint64 seconds = value.trimmed().toLongLong(&ok);
    if (ok) return seconds < 0 ? -1 : seconds * 1000;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(value.trimmed()), Qt::RFC2822Date);
    return when.isValid() ? qMax<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(when)) : -1;
}

bool IsTransientStatus(long status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool IsTransientFailure(CURLcode result) {
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return true;
    default: return false;
    }
}

// Times a file is started over from its first byte, beyond its attempts, when what was kept of
// it cannot be continued: the server refuses the range (416) or answers another one, or the
// finished file does not have the SHA-256 its entry names.
constexpr int kRestarts = 2;
// Archives smaller than this are not kept for the next run when cut short: continuing them would
// save little, and what keeping them costs (a partial name, a file of information) would tell on
// a release of a thousand small files. Their size is the entry's, else the answer's.
constexpr qint64 kPartialWorthKeeping = 1024 * 1024;

// Redirects followed at most; one more fails the transfer.
constexpr long kMaxRedirects = 5;
// The largest response head (status line and headers) accepted.
constexpr qint64 kMaxHead = 64 * 1024;
// What libcurl hands the write callback at most at a time.
constexpr long kReceiveBuffer = 256 * 1024;
// A test's own certificate authority, trusted instead of the system's: tests serve https with a
// certificate they made. Read at every transfer.
constexpr char kCaFileVariable[] = "UPDATER_DOWNLOAD_CA_FILE";

bool IsSuccessStatus(int status) { return status >= 200 && status <= 299; }

// How each proxy met so far asks for credentials (a CURLAUTH_* mask), by its "host:port": a proxy
// that offers Basic alone gets the credentials with the first request of every later transfer,
// instead of a request without them first to learn the scheme (a round trip per file).
struct ProxySchemes {
    QMutex mutex;
    QHash<QString, unsigned long> byProxy;
};

ProxySchemes& KnownSchemes() {
    static ProxySchemes schemes;
    return schemes;
}

// Sends the transfer of url the way ProxyChoice decides: straight (an empty proxy, which also
// keeps libcurl from reading proxy variables of its own), or through an HTTP or SOCKS proxy. An
// http URL then goes as an absolute-form GET, https through a CONNECT tunnel. A proxy that asks
// for credentials gets those it came with by whatever scheme it offers (Basic, Digest, NTLM,
// Negotiate); without any, a libcurl on Windows' SSPI answers NTLM and Negotiate as the logged-on
// user, which is how company proxies expect to be met. Returns the proxy, NoProxy when straight.
QNetworkProxy UseProxy(CURL* easy, const QUrl& url) {
    const QNetworkProxy proxy = ProxyChoice::For(url);
    if (proxy.type() == QNetworkProxy::NoProxy) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        return proxy;
    }
    const bool socks = proxy.type() == QNetworkProxy::Socks5Proxy;
    const bool remoteNames = proxy.capabilities().testFlag(QNetworkProxy::HostNameLookupCapability);
    const QString scheme = !socks ? "http" : remoteNames ? "socks5h" : "socks5";
    // The host in brackets when it is an IPv6 address.
    QUrl address;
    address.setScheme(scheme);
    address.setHost(proxy.hostName());
    address.setPort(proxy.port());
    curl_easy_setopt(easy, CURLOPT_PROXY, address.toEncoded().constData());
    unsigned long schemes = CURLAUTH_ANY;
    {
        ProxySchemes& known = KnownSchemes();
        QMutexLocker lock(&known.mutex);
        schemes = known.byProxy.value(ProxyChoice::Name(proxy), schemes);
    }
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, schemes);
    if (!proxy.user().isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxy.user().toUtf8().constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxy.password().toUtf8().constData());
    } else if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSPI) != 0) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
    }
    // The proxy's own answer to a CONNECT is not the server's head.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    return proxy;
}

// The QNetworkReply code of an HTTP error status.
int StatusError(long status) {
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: break;
    }
    return status >= 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
}

// The QNetworkReply code of a libcurl failure.
int CurlError(CURLcode result, long status) {
    switch (result) {
    case CURLE_HTTP_RETURNED_ERROR: return StatusError(status);
    case CURLE_COULDNT_CONNECT: return QNetworkReply::ConnectionRefusedError;
    case CURLE_COULDNT_RESOLVE_HOST: return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY: return QNetworkReply::ProxyNotFoundError;
    case CURLE_OPERATION_TIMEDOUT: return QNetworkReply::TimeoutError;
    case CURLE_TOO_MANY_REDIRECTS: return QNetworkReply::TooManyRedirectsError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return QNetworkReply::ProtocolUnknownError;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return QNetworkReply::SslHandshakeFailedError;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return QNetworkReply::RemoteHostClosedError;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return QNetworkReply::ProtocolFailure;
    default: return QNetworkReply::UnknownNetworkError;
    }
}

}  // namespace

// libcurl's C callbacks, each passing on to the handler of the transfer it was given; a false
// from the handler aborts the transfer.
struct DownLoadWorkCallbacks {
    static size_t Body(char* data, size_t size, size_t count, void* work) {
        const size_t bytes = size * count;
        return static_cast<DownLoadWork*>(work)->OnBody(data, static_cast<qint64>(bytes)) ? bytes : 0;
    }
    static size_t Header(char* data, size_t size, size_t count, void* work) {
        const size_t bytes = size * count;
        return static_cast<DownLoadWork*>(work)->OnHeader(data, static_cast<qint64>(bytes)) ? bytes : 0;
    }
    static int Progress(void* work, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<DownLoadWork*>(work)->OnProgress() ? 0 : 1;
    }
};

DownLoadWork::DownLoadWork(const QString& downloadDir, int type)
    : QObject(nullptr), type_(type), downloadDir_(downloadDir) {}

DownLoadWork::~DownLoadWork() {
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (headers_ != nullptr) curl_slist_free_all(static_cast<curl_slist*>(headers_));
}

void DownLoadWork::run() {
    CurlBatch batch;
    Start(&batch);
    batch.Run();
}

void DownLoadWork::Start(CurlBatch* batch) {
    // Names begin with "/" and are joined as plain text, so the doubled separator after the
    // directory name is expected.
    const QString& root = downloadDir_;
    if (ClimbsOut(fileName_)) {
        // Reported like a target that cannot be opened: nothing written, no request sent.
        qWarning("Download of %s refused: the name leads out of the download folder", qUtf8Printable(fileName_));
        emit workfinished(type_, QFileDevice::OpenError);
        return;
    }
    // An archive grows under its partial name, kept when the transfer breaks off so the next
    // attempt, or the next run, goes on from there; it takes its own name only when whole and
    // checked. A manifest or a signature is small: written in place, from the start each time.
    targetPath_ = root + "/" + fileName_;
    // A small archive is written in place: continuing it in another run would save little, and a
    // second name per file costs a release of a thousand small files a rename each.
    resumable_ = type_ == kUpdateFile && (sizeLimit_ < 0 || sizeLimit_ >= kPartialWorthKeeping);
    file_.setFileName(resumable_ ? install::PendingUpdate::PartialPath(targetPath_) : targetPath_);
    const QString folder = QDir::cleanPath(QFileInfo(file_.fileName()).path());
    const bool folderMade = MakeFolders(folder);
    // The archive's own name must be free to take at the end (an old copy goes now).
    if (resumable_ && !QFile::remove(targetPath_) && QFileInfo::exists(targetPath_)) {
        qWarning("Download of %s failed: cannot replace %s", qUtf8Printable(fileName_),
                 qUtf8Printable(QDir::toNativeSeparators(targetPath_)));
        emit workfinished(type_, QFileDevice::OpenError);
        return;
    }
    // An archive's partial file keeps what it holds; every write goes to its end.
    if (!folderMade || !file_.open(resumable_ ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly) ||
        (resumable_ && !KeepPartial())) {
        const int error = file_.error();
        const QString reason = folderMade ? "cannot write the file: " + file_.errorString()
                                          : "cannot create the folder " + QDir::toNativeSeparators(folder);
        qWarning("Download of %s failed: %s", qUtf8Printable(fileName_), qUtf8Printable(reason));
        emit workfinished(type_, error != QFileDevice::NoError ? error : QFileDevice::OpenError);
        return;
    }

    CURL* easy = curl_easy_init();
    easy_ = easy;
    curlError_.fill('\0', CURL_ERROR_SIZE);
    // The address as a browser would send it: spaces and other characters a URL may not hold
    // percent-encoded, and an empty path made "/".
    const QByteArray url = QUrl(url_, QUrl::TolerantMode).toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    proxy_ = UseProxy(easy, QUrl::fromEncoded(url));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curlError_.data());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // http and https only, also where a redirect points; at most kMaxRedirects of them, and
    // never from https to http (OnHeader). Credentials a URL carries go to its own host only.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    // Archives are fetched as they lie on the server; should a server compress a reply anyway,
    // it is decoded.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "identity");
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    const QByteArray caFile = qgetenv(kCaFileVariable);
    if (!caFile.isEmpty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, DownLoadWorkCallbacks::Body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, DownLoadWorkCallbacks::Header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, DownLoadWorkCallbacks::Progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

    batch_ = batch;
    Attempt(std::chrono::milliseconds(0));
}

void DownLoadWork::Attempt(std::chrono::milliseconds delay) {
    ++attempt_;
    status_ = 0;
    headBytes_ = 0;
    inBody_ = false;
    proxyRefusing_ = false;
    errorStatus_ = 0;
    stalled_ = false;
    received_ = 0;
    windowReceived_ = 0;
    if (resumable_) AskForTheRest();
    // The limits count from the attempt's start, the wait before it left out.
    startPending_ = true;
    batch_->Add(easy_, [this](int result) { OnDone(result); }, delay);
}

bool DownLoadWork::KeepPartial() {
    // A new, empty partial file has nothing to continue (and no information to read).
    const std::optional<install::PartialInfo> info =
        file_.size() > 0 ? install::PendingUpdate::ReadPartialInfo(targetPath_) : std::nullopt;
    const bool same = info && info->url == url_ && info->sha256.compare(sha256_, Qt::CaseInsensitive) == 0 &&
                      info->size == sizeLimit_;
    // Information found on disk is kept up to date, and goes with the partial file.
    infoWritten_ = info.has_value();
    if (same) {
        etag_ = info->etag;
        lastModified_ = info->lastModified;
    } else if (file_.size() > 0 && !file_.resize(0)) {
        return false;
    }
    // What is known of it is written with the first answer's head, which names its version.
    return true;
}

bool DownLoadWork::SavePartialInfo() {
    // Written for archives large enough to be worth continuing in another run; a smaller one
    // cut short is fetched again whole (within a run the retries continue it all the same).
    const qint64 expected = sizeLimit_ >= 0 ? sizeLimit_ : offset_ + announced_;
    if (expected < kPartialWorthKeeping && !infoWritten_) return true;
    infoWritten_ = true;
    return install::PendingUpdate::WritePartialInfo(targetPath_,
                                                    install::PartialInfo{url_, sha256_, sizeLimit_, etag_, lastModified_});
}

void DownLoadWork::AskForTheRest() {
    file_.flush();
    offset_ = file_.size();
    if (headers_ != nullptr) curl_slist_free_all(static_cast<curl_slist*>(headers_));
    headers_ = nullptr;
    // Only what the server vouches is the same version is continued: If-Range makes it send the
    // whole file (200) when its validator has changed since the first bytes came.
    const QByteArray validator = !etag_.isEmpty() ? etag_ : lastModified_;
    if (offset_ > 0 && !validator.isEmpty() && !startOver_) {
        range_ = QByteArray::number(offset_) + "-";
        headers_ = curl_slist_append(nullptr, ("If-Range: " + validator).constData());
        curl_easy_setopt(easy_, CURLOPT_RANGE, range_.constData());
        qInfo("Download of %s goes on from byte %lld", qUtf8Printable(fileName_), static_cast<long long>(offset_));
    } else {
        if (offset_ > 0) file_.resize(0);
        offset_ = 0;
        curl_easy_setopt(easy_, CURLOPT_RANGE, nullptr);
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    startOver_ = false;
}

bool DownLoadWork::TakeRange(int status) {
    if (status == 206) {
        // "bytes <first>-<last>/<total>": it must begin where the kept bytes end, and end where
        // the archive does.
        const QByteArray value = contentRange_.trimmed();
        const int dash = value.indexOf('-');
        const int slash = value.indexOf('/');
        bool firstOk = false;
        bool lastOk = false;
        bool totalOk = false;
        const qint64 first = value.startsWith("bytes ") && dash > 6 ? value.mid(6, dash - 6).toLongLong(&firstOk) : -1;
        const qint64 last = slash > dash ? value.mid(dash + 1, slash - dash - 1).toLongLong(&lastOk) : -1;
        const qint64 total = slash > 0 ? value.mid(slash + 1).toLongLong(&totalOk) : -1;
        if (!firstOk || !lastOk || !totalOk || first != offset_ || last + 1 != total ||
            (sizeLimit_ >= 0 && total != sizeLimit_)) {
            rangeRefused_ = true;
            return false;
        }
    } else if (offset_ > 0) {
        // The whole file after all (the range ignored, or another version of the file).
        file_.flush();
        file_.resize(0);
        offset_ = 0;
    }
    if (status != 206 || !responseEtag_.isEmpty() || !responseLastModified_.isEmpty()) {
        etag_ = responseEtag_;
        lastModified_ = responseLastModified_;
    }
    return SavePartialInfo();
}

bool DownLoadWork::OnProgress() {
    // Called at least every 100 ms of the batch's loop, data or not.
    if (startPending_) {
        startPending_ = false;
        sinceActivity_.start();
        window_.start();
    }
    const qint64 limit = StallLimitMs();
    if (sinceActivity_.elapsed() >= limit) {
        stalled_ = true;
        return false;
    }
    // The window is never restarted by progress: it only ends, and a new one begins.
    if (window_.elapsed() >= limit) {
        if (windowReceived_ < kMinBytesPerSecond * limit / 1000) {
            stalled_ = true;
            return false;
        }
        windowReceived_ = 0;
        window_.start();
    }
    return true;
}

bool DownLoadWork::OnHeader(const char* data, qint64 size) {
    sinceActivity_.start();
    if (inBody_) return true;  // the trailer of a chunked body
    const QByteArray line = QByteArray::fromRawData(data, static_cast<int>(size));
    // Each response (an interim 1xx, a redirect, the final one) starts with its status line,
    // which must be HTTP's: libcurl would take other protocols' lines for one.
    if (status_ == 0 && headBytes_ == 0 && !line.startsWith("HTTP/")) {
        malformed_ = true;
        return false;
    }
    headBytes_ += size;
    if (headBytes_ > kMaxHead) {
        malformed_ = true;
        return false;
    }
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        status_ = parts.size() >= 2 ? parts.at(1).toInt() : 0;
        proxyRefusing_ = false;
        contentLength_.clear();
        location_.clear();
        retryAfter_.clear();
        contentRange_.clear();
        responseEtag_.clear();
        responseLastModified_.clear();
        return true;
    }
    const int colon = line.indexOf(':');
    const QByteArray name = colon > 0 ? line.left(colon).trimmed().toLower() : QByteArray();
    // The headers kept as they come (the last of a name wins).
    QByteArray* const kept = name == "location"        ? &location_
                             : name == "retry-after"   ? &retryAfter_
                             : name == "content-range" ? &contentRange_
                             : name == "etag"          ? &responseEtag_
                             : name == "last-modified" ? &responseLastModified_
                                                       : nullptr;
    if (kept != nullptr) {
        *kept = line.mid(colon + 1).trimmed();
        return true;
    }
    if (name == "content-length") {
        // Two lengths that differ: which one frames the body?
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (!contentLength_.isEmpty() && contentLength_ != value) {
            malformed_ = true;
            return false;
        }
        contentLength_ = value;
        return true;
    }
    if (!line.trimmed().isEmpty()) return true;

    // The head has ended. The next line starts a response of its own.
    const int status = status_;
    headBytes_ = 0;
    status_ = 0;
    if (status >= 300 && status <= 399) {
        // Where libcurl is about to go, if anywhere: never a step down from https to http.
        char* current = nullptr;
        curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &current);
        const QUrl here(QString::fromUtf8(current != nullptr ? current : ""));
        const QUrl next = here.resolved(QUrl::fromEncoded(location_, QUrl::TolerantMode));
        if (!location_.isEmpty() && here.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https")) {
            insecureRedirect_ = true;
            return false;
        }
        // Not followed (no location): its body, if any, is what ends the transfer.
        inBody_ = location_.isEmpty();
        return true;
    }
    // An interim answer: the real one follows.
    if (status >= 100 && status <= 199) return true;
    // The proxy wants credentials. libcurl answers with those it has and reads a new head; if it
    // has none that fit, this is the last answer. Its page is never written either way.
    if (status == 407) {
        proxyRefusing_ = true;
        return true;
    }
    inBody_ = true;
    // An error ends the transfer here, its head read (Retry-After) and its page never written.
    if (status >= 400) {
        errorStatus_ = status;
        return false;
    }
    if (IsSuccessStatus(status)) {
        curl_off_t length = -1;
        curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        announced_ = length;
        if (resumable_ && !TakeRange(status)) return false;
        if (length >= 0 && !CheckSize(offset_ + length)) return false;
    }
    return true;
}

bool DownLoadWork::OnBody(const char* data, qint64 size) {
    sinceActivity_.start();
    if (proxyRefusing_) return true;
    received_ += size;
    windowReceived_ += size;
    if (!CheckSize(offset_ + received_)) return false;  // nothing over the limit reaches the disk
    // QFile buffers small writes; a full disk shows up at latest on the next write that needs the
    // buffer flushed, and at the final flush in Finish().
    if (file_.write(data, size) != size) {
        writeError_ = QFileDevice::WriteError;
        return false;
    }
    return true;
}

bool DownLoadWork::CheckSize(qint64 size) {
    const qint64 limit = type_ == kManifest ? kManifestLimit : type_ == kSignature ? kSignatureLimit : sizeLimit_;
    if (limit >= 0 && size > limit) tooLarge_ = true;
    return !tooLarge_;
}

void DownLoadWork::OnDone(int result) {
    long status = errorStatus_;
    if (status == 0) curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    // The proxy's own refusal: of the tunnel an https URL needs, or of the GET of an http URL.
    long connectStatus = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    if (connectStatus >= 300 && errorStatus_ == 0) errorStatus_ = static_cast<int>(connectStatus);
    if (proxy_.type() != QNetworkProxy::NoProxy && !proxy_.user().isEmpty()) LearnScheme();
    if (status == 407 && errorStatus_ == 0 && result == CURLE_OK) errorStatus_ = 407;
    const bool byProxy = errorStatus_ != 0 && (connectStatus >= 300 || errorStatus_ == 407);
    const QString reason = byProxy ? ProxyChoice::Refusal(proxy_, errorStatus_)
                           : errorStatus_ != 0 ? QStringLiteral("HTTP %1").arg(errorStatus_)
                                               : QString::fromUtf8(curlError_.constData());
    const bool transient = !tooLarge_ && writeError_ == 0 && !insecureRedirect_ && !malformed_ &&
                           (stalled_ || IsTransientStatus(errorStatus_) ||
                            (errorStatus_ == 0 && IsTransientFailure(static_cast<CURLcode>(result))));
    // What was kept cannot be continued: the file from its first byte, at once.
    const bool refusedRange = rangeRefused_ || (errorStatus_ == 416 && offset_ > 0);
    if (resumable_ && refusedRange && restarts_ < kRestarts) {
        StartOver(rangeRefused_ ? "the server answered another range" : "the server refused the range");
        return;
    }
    if (transient && attempt_ < kAttempts) {
        // What arrived of an archive stays for the next attempt to continue; anything else starts
        // afresh.
        if (!resumable_) {
            file_.seek(0);
            file_.resize(0);
        }
        qint64 waitMs = attempt_ == 1 ? RetryMs() : 4 * RetryMs();
        const qint64 asked = (errorStatus_ == 429 || errorStatus_ == 503) ? RetryAfterMs(retryAfter_) : -1;
        if (asked >= 0) waitMs = qMin<qint64>(asked, kMaxRetryAfterMs);
        qWarning("Download of %s from %s failed (%s); attempt %d of %d in %.1f s", qUtf8Printable(fileName_),
                 qUtf8Printable(url_), stalled_ ? "no progress" : qUtf8Printable(reason), attempt_ + 1, kAttempts,
                 waitMs / 1000.0);
        curlError_.fill('\0', CURL_ERROR_SIZE);
        Attempt(std::chrono::milliseconds(waitMs));
        return;
    }

    // A body found too large is refused for that, even when a limit ran out while the abort
    // was on its way.
    int ecode = 0;
    if (tooLarge_) {
        ecode = QNetworkReply::ContentAccessDenied;
    } else if (stalled_) {
        ecode = QNetworkReply::TimeoutError;
    } else if (writeError_ != 0) {
        ecode = writeError_;
    } else if (insecureRedirect_) {
        ecode = QNetworkReply::InsecureRedirectError;
    } else if (malformed_) {
        ecode = QNetworkReply::ProtocolFailure;
    } else if (byProxy) {
        ecode = errorStatus_ == 407 ? QNetworkReply::ProxyAuthenticationRequiredError
                                    : QNetworkReply::ProxyConnectionRefusedError;
    } else if (errorStatus_ != 0) {
        ecode = StatusError(errorStatus_);
    } else if (result != CURLE_OK) {
        ecode = CurlError(static_cast<CURLcode>(result), status);
    } else if (!IsSuccessStatus(static_cast<int>(status))) {
        // A 1xx or a 3xx that was not followed (300, 304, a redirect without a location) ends
        // "without error" with no file body at all, which must not pass for a download.
        ecode = QNetworkReply::ProtocolFailure;
    }
    // libcurl's words only where it judged; where a limit here ended the transfer the code says it.
    const bool ownAbort = tooLarge_ || stalled_ || writeError_ != 0 || insecureRedirect_ || malformed_;
    if (ecode == 0 && type_ == kUpdateFile) {
        ecode = Complete();
        if (ecode < 0) return;  // started over
    }
    // A partial archive is worth keeping for the next run only when the transfer broke off and
    // the server named the version of its bytes (ETag, Last-Modified): nothing else can be continued.
    keepPartial_ = resumable_ && ecode != 0 && transient && !refusedRange && offset_ + received_ > 0 &&
                   infoWritten_ && (!etag_.isEmpty() || !lastModified_.isEmpty());
    Finish(ecode, ecode != 0 && !ownAbort && (result != CURLE_OK || errorStatus_ != 0) ? reason
                  : ecode != 0 && hashMismatch_ ? QStringLiteral("its SHA-256 is not the manifest's")
                                                : QString());
}

int DownLoadWork::Complete() {
    if (!file_.flush()) return QFileDevice::WriteError;
    if (!sha256_.isEmpty() && release::FileSha256(file_.fileName()).compare(sha256_, Qt::CaseInsensitive) != 0) {
        // Bytes of two versions joined, a partial file changed on disk, or a wrong archive: the
        // whole file once more, and then it is the server's archive that is wrong.
        if (restarts_ < kRestarts) {
            StartOver("its SHA-256 is not the manifest's");
            return -1;
        }
        hashMismatch_ = true;
        return QNetworkReply::ContentAccessDenied;
    }
    if (!resumable_) return 0;
    file_.close();
    if (!file_.rename(targetPath_)) return QFileDevice::RenameError;
    if (infoWritten_) QFile::remove(install::PendingUpdate::PartialInfoPath(targetPath_));
    return 0;
}

void DownLoadWork::StartOver(const char* why) {
    ++restarts_;
    startOver_ = true;
    rangeRefused_ = false;
    if (!resumable_) {
        file_.seek(0);
        file_.resize(0);
    }
    qWarning("Download of %s from %s starts over: %s", qUtf8Printable(fileName_), qUtf8Printable(url_), why);
    curlError_.fill('\0', CURL_ERROR_SIZE);
    // Not an attempt of its own: nothing failed on the way.
    --attempt_;
    Attempt(std::chrono::milliseconds(0));
}

void DownLoadWork::LearnScheme() {
    long offered = 0;
    curl_easy_getinfo(easy_, CURLINFO_PROXYAUTH_AVAIL, &offered);
    if (offered != static_cast<long>(CURLAUTH_BASIC)) return;
    ProxySchemes& known = KnownSchemes();
    QMutexLocker lock(&known.mutex);
    known.byProxy.insert(ProxyChoice::Name(proxy_), CURLAUTH_BASIC);
}

void DownLoadWork::Finish(int ecode, const QString& reason) {
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    easy_ = nullptr;
    // Every byte on disk before anybody is told; a failing final flush is a write error too.
    if (file_.isOpen() && !file_.flush() && ecode == 0) ecode = QFileDevice::WriteError;
    file_.close();
    // A failed transfer must not leave a partial body where the installer would take it for the
    // real file; a partial archive under its own name, with what continuing it needs, may stay.
    if (ecode != 0) {
        if (!keepPartial_) {
            file_.remove();
            if (resumable_) install::PendingUpdate::RemovePartial(targetPath_);
        }
        // The window only says that the update failed; the log says which file and why.
        qWarning("Download of %s from %s failed: code %d%s, %lld bytes received", qUtf8Printable(fileName_),
                 qUtf8Printable(url_), ecode, reason.isEmpty() ? "" : qUtf8Printable(" (" + reason + ")"),
                 static_cast<long long>(received_));
    }
    emit workfinished(type_, ecode);
}
