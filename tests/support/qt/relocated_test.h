// Runs a QtTest class from a copy of the test executable inside a fresh installation tree, so
// that code deriving its paths from the program's own folder works on a tree of the test's own:
//   <temp>/app/bin/<test executable>   the program folder, with the companion programs beside it
//   <temp>                              the install root (program folder + "/../..")
//   <temp>/tmp                          TMPDIR of the copy
// Each test function runs in a process and a tree of its own: one process is one update run
// (its exit hook fires once, its guard is held until it ends).
#pragma once

#include <QApplication>
#include <QMetaObject>
#include <QStringList>
#include <QtTest>

namespace relocated {

// True in the copy that runs the tests.
bool IsChild();

// In the original process: runs every test function (or those named on the command line) in
// its own copy with the companions copied beside it; returns the number of functions that failed.
int RunCopies(int argc, char** argv, const QMetaObject& test, const QStringList& companions);

template <typename TestClass>
int Main(int argc, char** argv, const QStringList& companions) {
    if (!IsChild()) return RunCopies(argc, argv, TestClass::staticMetaObject, companions);
    QApplication app(argc, argv);
    TestClass test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace relocated

// QTEST_MAIN for relocated tests; the remaining arguments are the companion programs' paths.
#define RELOCATED_TEST_MAIN(TestClass, ...)                                 \
    int main(int argc, char** argv) {                                       \
        return relocated::Main<TestClass>(argc, argv, QStringList{__VA_ARGS__}); \
    }
