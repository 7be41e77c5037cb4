// The original process only copies and supervises; all test code runs in the copies.
#include "relocated_test.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace relocated {

namespace {

constexpr char kChildVariable[] = "RELOCATED_TEST_CHILD";
// Generous: a copy runs one test function, which bounds its own waits far below this.
constexpr int kChildTimeoutMs = 150000;

// QtTest's rule: private slots without parameters are test functions, except its four hooks
// and the "_data" row providers.
QStringList TestFunctions(const QMetaObject& test) {
    static const QStringList kHooks = {"initTestCase", "cleanupTestCase", "init", "cleanup"};
    QStringList names;
    for (int i = test.methodOffset(); i < test.methodCount(); ++i) {
        const QMetaMethod method = test.method(i);
        if (method.methodType() != QMetaMethod::Slot || method.access() != QMetaMethod::Private) continue;
        if (method.parameterCount() != 0) continue;
        const QString name = QString::fromLatin1(method.name());
        if (kHooks.contains(name) || name.endsWith(QLatin1String("_data"))) continue;
        names << name;
    }
    return names;
}

bool CopyExecutable(const QString& from, const QString& to) {
    return QFile::copy(from, to) &&
           QFile::setPermissions(to, QFile::permissions(from) | QFile::ExeOwner | QFile::ReadOwner);
}

bool RunOne(const QString& self, const QString& function, const QStringList& options,
            const QStringList& companions) {
    QTemporaryDir root;
    const QString bin = root.path() + "/app/bin";
    const QString tmp = root.path() + "/tmp";
    const QString runtime = tmp + "/runtime";
    if (!root.isValid() || !QDir().mkpath(bin) || !QDir().mkpath(runtime)) return false;
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString copy = bin + "/" + QFileInfo(self).fileName();
    if (!CopyExecutable(self, copy)) return false;
    for (const QString& companion : companions) {
        if (!CopyExecutable(companion, bin + "/" + QFileInfo(companion).fileName())) return false;
    }

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kChildVariable, QStringLiteral("1"));
    environment.insert(QStringLiteral("TMPDIR"), tmp);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(copy, QStringList{function} + options);
    if (!child.waitForFinished(kChildTimeoutMs)) {
        child.kill();
        child.waitForFinished();
        std::fprintf(stderr, "relocated test %s did not finish in time\n", qPrintable(function));
        return false;
    }
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

}  // namespace

bool IsChild() { return qEnvironmentVariableIsSet(kChildVariable); }

int RunCopies(int argc, char** argv, const QMetaObject& test, const QStringList& companions) {
    QCoreApplication app(argc, argv);
    // Function names on the command line choose among the tests; options go to every copy.
    QStringList functions;
    QStringList options;
    for (const QString& argument : app.arguments().mid(1)) {
        (argument.startsWith('-') ? options : functions) << argument;
    }
    if (functions.isEmpty()) functions = TestFunctions(test);

    QStringList failedFunctions;
    for (const QString& function : functions) {
        if (!RunOne(app.applicationFilePath(), function, options, companions)) failedFunctions << function;
    }
    QTextStream out(stdout);
    out << "relocated copies: " << functions.size() - failedFunctions.size() << " of " << functions.size()
        << " test functions passed\n";
    if (!failedFunctions.isEmpty()) out << "failing: " << failedFunctions.join(", ") << "\n";
    return failedFunctions.size();
}

}  // namespace relocated
