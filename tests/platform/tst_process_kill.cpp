// Kill by image name against stand-in programs: every process of the name ends, processes of
// other names live on, a replaced executable still counts under its name, and a caller of the
// name ends itself only after the others.
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "process_kill.h"

namespace {

constexpr int kWaitMs = 15000;
// Makes a copy of this test program end every process of its own name (see main).
constexpr char kKillOwnName[] = "--kill-own-name";
// Its exit code when it survived its own kill.
constexpr int kSurvivedOwnKill = 3;

#ifdef _WIN32
// Whether pid runs: its process object is not yet signalled.
bool IsAlive(qint64 pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}
#else
// Whether pid runs: /proc/PID/stat is "PID (COMM) STATE ..."; a zombie (Z) has ended.
bool IsAlive(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray line = stat.readAll();
    const int commandEnd = line.lastIndexOf(") ");
    return commandEnd >= 0 && commandEnd + 2 < line.size() && line[commandEnd + 2] != 'Z' &&
           line[commandEnd + 2] != 'X';
}
#endif

// Whether a process that ended was ended from outside. On POSIX by a signal; on Windows a forced
// end sets an exit code of the killer's choosing (taskkill's 1, Wine's 0), so only a process
// that could not have ended by itself in time tells: the callers below check that it ended.
bool WasKilled(const QProcess& process) {
#ifdef _WIN32
    return process.exitCode() != kSurvivedOwnKill;
#else
    return process.exitStatus() == QProcess::CrashExit;
#endif
}

QString StandinFor(const QString& fileName) {
    const QString standins = QStringLiteral(STANDIN_DIR "/");
    return QFile::exists(standins + fileName) ? standins + fileName : standins + QStringLiteral("helper.exe");
}

}  // namespace

class TestProcessKill : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void endsEveryProcessOfTheNameOnly_data();
    void endsEveryProcessOfTheNameOnly();
    void callerOfTheNameEndsLast_data();
    void callerOfTheNameEndsLast();
    void nameWithoutProcessesReturnsPromptly();
#ifdef _WIN32
    void killRegistersNothingWithTheEventLoop();
    void plantedTaskkillIsNotRun();
#endif

private:
    // Starts a staying stand-in as dir_/fileName. Copies in a folder of the test's own keep
    // its started.log private and let it replace the files; the stand-in of the same name is
    // copied where there is one, else the helper's (only the file name counts).
    QProcess* StartCopy(const QString& fileName);
    int StartedCount() const;

    std::unique_ptr<QTemporaryDir> dir_;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

void TestProcessKill::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestProcessKill::cleanup() {
    for (const std::unique_ptr<QProcess>& process : processes_) {
        process->kill();
        process->waitForFinished(kWaitMs);
    }
    processes_.clear();
    dir_.reset();
}

QProcess* TestProcessKill::StartCopy(const QString& fileName) {
    const QString path = dir_->filePath(fileName);
    if (!QFile::exists(path) && !QFile::copy(StandinFor(fileName), path)) return nullptr;
    processes_.push_back(std::make_unique<QProcess>());
    QProcess* process = processes_.back().get();
    process->start(path, {QStringLiteral("--stay")});
    return process->waitForStarted(kWaitMs) ? process : nullptr;
}

// The stand-ins in dir_ each leave a line in its started.log once they run.
int TestProcessKill::StartedCount() const {
    QFile log(dir_->filePath(QStringLiteral("started.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
}

void TestProcessKill::endsEveryProcessOfTheNameOnly_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("bystander");
    QTest::addColumn<bool>("replaceTarget");

    const QString assistant = QStringLiteral("ZEBAssistant.exe");
    const QString service = QStringLiteral("glyphsvc_x64.exe");
    QTest::newRow("assistants end, the service stays") << assistant << service << false;
    // 16 characters: longer than the kernel's short command name, which must not be what counts.
    QTest::newRow("services end, the assistant stays") << service << assistant << false;
    QTest::newRow("a name merely ending in the target stays") << assistant << "old-" + assistant << false;
    QTest::newRow("an executable replaced while running still counts") << assistant << service << true;
}

void TestProcessKill::endsEveryProcessOfTheNameOnly() {
    QFETCH(QString, target);
    QFETCH(QString, bystander);
    QFETCH(bool, replaceTarget);

    QProcess* first = StartCopy(target);
    QProcess* second = StartCopy(target);
    QProcess* other = StartCopy(bystander);
    QVERIFY(first && second && other);
    QTRY_COMPARE_WITH_TIMEOUT(StartedCount(), 3, kWaitMs);
    if (replaceTarget) {
        // What an update does to the file: on POSIX the running copies now show it as deleted;
        // Windows keeps a running program's file, so it is moved aside to its backup name.
        const QString path = dir_->filePath(target);
#ifdef _WIN32
        QVERIFY(QFile::rename(path, path + ".bak"));
#else
        QVERIFY(QFile::remove(path));
#endif
        QVERIFY(QFile::copy(StandinFor(target), path));
    }

    platform::KillByImageName(target);
    // Done means done: nothing of the name runs once the call returns.
    for (QProcess* ended : {first, second}) {
        QVERIFY(!IsAlive(ended->processId()));
        QVERIFY(ended->waitForFinished(kWaitMs));
        QVERIFY(WasKilled(*ended));
    }
    QVERIFY(IsAlive(other->processId()));
}

void TestProcessKill::callerOfTheNameEndsLast_data() {
    QTest::addColumn<QString>("call");
    QTest::newRow("kill") << QStringLiteral("kill");
    QTest::newRow("started kill") << QStringLiteral("start");
}

// A copy of this program named like two stand-ins ends all three; had it ended itself first, the
// stand-ins would still run.
void TestProcessKill::callerOfTheNameEndsLast() {
    QFETCH(QString, call);
    // Unique to this run: nothing outside the test carries the name.
    const QString name = QStringLiteral("platform-test-kill-%1.exe").arg(QCoreApplication::applicationPid());
    QProcess* first = StartCopy(name);
    QProcess* second = StartCopy(name);
    QVERIFY(first && second);
    QTRY_COMPARE_WITH_TIMEOUT(StartedCount(), 2, kWaitMs);
    // The stand-in's record of a start: its own file name, then each argument after a TAB.
    QFile log(dir_->filePath(QStringLiteral("started.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), (name + "\t--stay\n").repeated(2).toUtf8());

    const QString caller = dir_->filePath(QStringLiteral("caller/") + name);
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("caller")));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), caller));
    QProcess killer;
    killer.start(caller, {QString::fromLatin1(kKillOwnName), call, name});
    QVERIFY(killer.waitForFinished(kWaitMs));
    QVERIFY(WasKilled(killer));

    for (QProcess* ended : {first, second}) {
        QVERIFY(!IsAlive(ended->processId()));
        QVERIFY(ended->waitForFinished(kWaitMs));
    }
}

void TestProcessKill::nameWithoutProcessesReturnsPromptly() {
    QElapsedTimer timer;
    timer.start();
    platform::KillByImageName(QStringLiteral("platform-test-no-such-image.exe"));
    QVERIFY(platform::StartKillByImageName(QStringLiteral("platform-test-no-such-image.exe")));
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()) + " ms"));
}

#ifdef _WIN32
// The event loop of a thread that counts what is registered with it and runs nothing. The
// thread deletes it when it ends; the count outlives it.
class RecordingDispatcher : public QAbstractEventDispatcher {
public:
    explicit RecordingDispatcher(std::atomic<int>& registered) : registered(registered) {}
    std::atomic<int>& registered;

    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    bool hasPendingEvents() override { return false; }
    void registerSocketNotifier(QSocketNotifier*) override { ++registered; }
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, int, Qt::TimerType, QObject*) override { ++registered; }
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject*) override { return true; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    bool registerEventNotifier(QWinEventNotifier*) override {
        ++registered;
        return true;
    }
    void unregisterEventNotifier(QWinEventNotifier*) override {}
    void wakeUp() override {}
    void interrupt() override {}
    void flush() override {}
};

// A kill registers nothing with its caller's event loop. Through QProcess it registered a
// thread-pool wait for taskkill's end, and under Wine that wait could still fire after the
// QProcess was gone, writing into freed memory: the updater crashed at random later on.
void TestProcessKill::killRegistersNothingWithTheEventLoop() {
    std::atomic<int> registered{0};
    std::unique_ptr<QThread> thread(
        QThread::create([] { platform::KillByImageName(QStringLiteral("platform-test-no-such-image.exe")); }));
    thread->setEventDispatcher(new RecordingDispatcher(registered));
    thread->start();
    QVERIFY(thread->wait(kWaitMs));
    QCOMPARE(registered.load(), 0);
}

// The updater runs with administrator rights: a taskkill.exe placed in its current folder must
// not be what a kill starts (a bare "taskkill" was searched for there before the system's).
void TestProcessKill::plantedTaskkillIsNotRun() {
    QVERIFY(QFile::copy(StandinFor(QStringLiteral("taskkill.exe")), dir_->filePath(QStringLiteral("taskkill.exe"))));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_->path()));
    platform::KillByImageName(QStringLiteral("platform-test-no-such-image.exe"));
    QVERIFY(platform::StartKillByImageName(QStringLiteral("platform-test-no-such-image.exe")));
    QThread::msleep(1000);  // time for a wrongly started detached kill to leave its line
    QDir::setCurrent(previous);
    QCOMPARE(StartedCount(), 0);
}
#endif

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // "--kill-own-name kill|start NAME": end every process named NAME, this one among them.
    // Reaching the return means this process survived its own kill. A started kill may run
    // beside its caller (on Windows a detached taskkill): the caller carries on for a while,
    // as the updater's window does.
    if (argc == 4 && qstrcmp(argv[1], kKillOwnName) == 0) {
        const QString name = QString::fromLocal8Bit(argv[3]);
        if (qstrcmp(argv[2], "start") == 0) {
            platform::StartKillByImageName(name);
            QThread::msleep(kWaitMs / 2);
        } else {
            platform::KillByImageName(name);
        }
        return kSurvivedOwnKill;
    }
    TestProcessKill test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_process_kill.moc"
