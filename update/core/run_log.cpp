// One line per event: "2026-12-10 14:03:07.512 [4242] W text", local time with milliseconds,
// the process id (two copies of a program may write one log at once), a level letter (D debug,
// I info, W warning, C critical, F fatal) and the message on one line. The log is UTF-8 and
// rotated at 1 MiB, two old files kept (update.log.1, update.log.2).
#include "run_log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <cstdio>
#include <memory>
#include <mutex>

#include "shared_log.h"
#include "update_layout.h"

#ifndef UPDATER_VERSION
#error "UPDATER_VERSION names the programs' own version"
#endif

namespace {

constexpr std::uint64_t kRotateAt = 1024 * 1024;
constexpr int kOldLogs = 2;

struct State {
    std::mutex mutex;
    std::unique_ptr<platform::SharedLog> log;
    QString program;
    QString outcome;
    QElapsedTimer clock;
    bool ended = false;
};

State& Run() {
    static State state;
    return state;
}

char LevelLetter(QtMsgType type) {
    switch (type) {
    case QtDebugMsg: return 'D';
    case QtInfoMsg: return 'I';
    case QtWarningMsg: return 'W';
    case QtCriticalMsg: return 'C';
    case QtFatalMsg: return 'F';
    }
    return '?';
}

// One event, one line: line breaks inside a message are written as "\n".
QByteArray Line(QtMsgType type, const QString& text) {
    QString flat = text;
    flat.replace(QStringLiteral("\r\n"), QStringLiteral("\\n")).replace('\n', QStringLiteral("\\n")).replace('\r', QStringLiteral("\\n"));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("%1 [%2] %3 %4\n")
        .arg(stamp)
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1Char(LevelLetter(type)))
        .arg(flat)
        .toUtf8();
}

void Write(QtMsgType type, const QString& text) {
    State& run = Run();
    const QByteArray line = Line(type, text);
    const std::lock_guard<std::mutex> lock(run.mutex);
    if (run.log) run.log->Append(line.toStdString());
}

void HandleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString masked = RunLog::MaskSecrets(message);
    // stderr gets what Qt's own handler would print (its message pattern included).
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, masked)));
    std::fflush(stderr);
    Write(type, masked);
    if (type == QtFatalMsg) {
        RunLog::End(QStringLiteral("failed: ") + masked);
        std::abort();
    }
}

QString Quoted(const QStringList& arguments) {
    QStringList quoted;
    for (const QString& argument : arguments) quoted.append('"' + argument + '"');
    return quoted.join(' ');
}

}  // namespace

void RunLog::Begin(const UpdateLayout& layout, const QString& program, const QString& mode,
                   const QStringList& arguments) {
    State& run = Run();
    {
        const std::lock_guard<std::mutex> lock(run.mutex);
        run.program = program;
        run.clock.start();
        const QString folder = layout.LogDir();
        if (QDir().mkpath(folder)) {
            const QString name = program.endsWith(QLatin1String(".exe")) ? program.chopped(4) : program;
            run.log = std::make_unique<platform::SharedLog>((folder + '/' + name + ".log").toStdString(), kRotateAt,
                                                            kOldLogs);
        }
    }
    qInstallMessageHandler(HandleMessage);
    Write(QtInfoMsg, MaskSecrets(QStringLiteral("%1 %2 started: mode %3, arguments %4, install root %5, process %6")
                                     .arg(program, QStringLiteral(UPDATER_VERSION), mode.isEmpty() ? "-" : mode,
                                          Quoted(arguments), QDir::cleanPath(layout.InstallRoot()))
                                     .arg(QCoreApplication::applicationPid())));
}

void RunLog::SetOutcome(const QString& outcome) {
    State& run = Run();
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.outcome = outcome;
}

void RunLog::End() {
    State& run = Run();
    QString line;
    {
        const std::lock_guard<std::mutex> lock(run.mutex);
        if (run.ended || !run.clock.isValid()) return;
        run.ended = true;
        line = QStringLiteral("%1 ended: %2, after %3 s")
                   .arg(run.program, run.outcome.isEmpty() ? QStringLiteral("closed") : run.outcome)
                   .arg(run.clock.elapsed() / 1000.0, 0, 'f', 3);
    }
    Write(QtInfoMsg, MaskSecrets(line));
}

void RunLog::End(const QString& outcome) {
    SetOutcome(outcome);
    End();
}

QString RunLog::MaskSecrets(const QString& text) {
    // scheme "://" user ":" password "@": the user stays (it tells support which account), the
    // password goes. The password may hold no "/", "@" or space, as in a URL's authority.
    static const QRegularExpression password(QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^/@:\\s]*):[^/@\\s]*@"));
    QString masked = text;
    return masked.replace(password, QStringLiteral("\\1:***@"));
}
