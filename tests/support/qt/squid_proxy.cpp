// squid runs in the foreground (-N) from a configuration of its own in a temporary folder: its
// logs, a hosts file and the password file there, no cache, no DNS server it could reach. Run as
// root it drops to the "proxy" user, so that folder is readable by all and the logs writable.
#include "squid_proxy.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

constexpr char kSquid[] = "/usr/sbin/squid";
constexpr char kBasicAuth[] = "/usr/lib/squid/basic_ncsa_auth";
constexpr int kStartMs = 20000;

bool Write(const QString& path, const QByteArray& bytes, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        *error = "cannot write " + path;
        return false;
    }
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup |
                        QFile::ReadOther | QFile::WriteOther);
    return true;
}

// A port nobody listens on now; squid takes it a moment later.
quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// The password file's line for user: an Apache MD5 hash from openssl, which squid's helper reads.
QByteArray PasswordLine(const QString& user, const QString& password, QString* error) {
    QProcess openssl;
    openssl.start("openssl", {"passwd", "-apr1", password});
    if (!openssl.waitForFinished(10000) || openssl.exitCode() != 0) {
        *error = "openssl passwd failed: " + openssl.readAllStandardError();
        return QByteArray();
    }
    return user.toUtf8() + ":" + openssl.readAllStandardOutput().trimmed() + "\n";
}

}  // namespace

SquidProxy::SquidProxy(const QString& user, const QString& password, const QStringList& names,
                       const QList<quint16>& tunnelPorts)
    : dir_(QDir::tempPath() + "/squid-XXXXXX") {
    const QString dir = dir_.path();
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                   QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther | QFile::WriteOther |
                                   QFile::WriteGroup);
    const quint16 port = FreePort();
    QByteArray hosts;
    for (const QString& name : names) hosts += "127.0.0.1 " + name.toUtf8() + "\n";
    const bool authenticate = !user.isEmpty();
    const QByteArray passwd = authenticate ? PasswordLine(user, password, &error_) : QByteArray();
    if (port == 0 || (authenticate && passwd.isEmpty())) {
        if (error_.isEmpty()) error_ = "no free port";
        return;
    }
    const QByteArray d = dir.toUtf8();
    QByteArray config = "http_port 127.0.0.1:" + QByteArray::number(port) + "\n" +
                        "pid_filename " + d + "/squid.pid\n" + "cache_log " + d + "/cache.log\n" +
                        "logformat updater %rm %ru %>Hs\n" + "access_log stdio:" + d + "/access.log updater\n" +
                        "coredump_dir " + d + "\n" + "hosts_file " + d + "/hosts\n" +
                        // Nothing answers there: a name outside the hosts file does not resolve.
                        "dns_nameservers 127.0.0.1\n"
                        "cache deny all\ncache_mem 8 MB\npinger_enable off\nnetdb_filename none\n"
                        "shutdown_lifetime 0 seconds\nlogfile_rotate 0\n";
    if (geteuid() == 0) config += "cache_effective_user proxy\n";
    // squid's shipped access rules, with authentication in place of its "localnet" rule.
    QByteArray sslPorts = "443";
    for (quint16 tunnelPort : tunnelPorts) sslPorts += " " + QByteArray::number(tunnelPort);
    config += "acl SSL_ports port " + sslPorts + "\n" +
              "acl Safe_ports port 80 443 1025-65535\n"
              "acl CONNECT method CONNECT\n"
              "http_access deny !Safe_ports\n"
              "http_access deny CONNECT !SSL_ports\n";
    if (authenticate) {
        config += "auth_param basic program " + QByteArray(kBasicAuth) + " " + d + "/passwd\n" +
                  "auth_param basic children 2 startup=1\nauth_param basic realm updater tests\n"
                  "acl authenticated proxy_auth REQUIRED\nhttp_access allow authenticated\n";
    } else {
        config += "http_access allow all\n";
    }
    config += "http_access deny all\n";
    if (!Write(dir + "/squid.conf", config, &error_) || !Write(dir + "/hosts", hosts, &error_) ||
        !Write(dir + "/passwd", passwd, &error_) || !Write(dir + "/access.log", QByteArray(), &error_) ||
        !Write(dir + "/cache.log", QByteArray(), &error_)) {
        return;
    }

    squid_.setProcessChannelMode(QProcess::MergedChannels);
    squid_.start(kSquid, {"-N", "-f", dir + "/squid.conf"});
    if (!squid_.waitForStarted(kStartMs)) {
        error_ = QString(kSquid) + " does not start: " + squid_.errorString();
        return;
    }
    const QDeadlineTimer deadline(kStartMs);
    while (!deadline.hasExpired() && squid_.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200)) {
            port_ = port;
            return;
        }
        QThread::msleep(50);
    }
    QFile log(dir + "/cache.log");
    log.open(QIODevice::ReadOnly);
    error_ = "squid did not come up: " + squid_.readAll() + log.readAll().right(2000);
}

SquidProxy::~SquidProxy() {
    if (squid_.state() == QProcess::NotRunning) return;
    squid_.terminate();
    if (!squid_.waitForFinished(10000)) {
        squid_.kill();
        squid_.waitForFinished(10000);
    }
}

QString SquidProxy::Url(const QString& user, const QString& password) const {
    const QString credentials = user.isEmpty() ? QString() : user + ":" + password + "@";
    return "http://" + credentials + "127.0.0.1:" + QString::number(port_);
}

QStringList SquidProxy::Requests() const {
    QFile log(dir_.path() + "/access.log");
    if (!log.open(QIODevice::ReadOnly)) return {};
    // Connections that ended before a request (the start-up probe) are logged with method "-".
    QStringList requests;
    for (const QString& line : QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("- "))) requests.append(line);
    }
    return requests;
}
