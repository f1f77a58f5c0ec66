// main() for the application's tests: a QApplication on a private runtime and data directory
// (fresh, mode 0700, removed at exit), so that nothing of the user's own session or stored
// keys is touched. CTest runs them with QT_QPA_PLATFORM=offscreen.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#define VELARTO_APP_TEST_MAIN(TestClass)                    \
  int main(int argc, char* argv[]) {                        \
    QTemporaryDir runtimeDir;                               \
    QTemporaryDir dataDir;                                  \
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8()); \
    qputenv("XDG_DATA_HOME", dataDir.path().toUtf8());      \
    QApplication application(argc, argv);                   \
    TestClass test;                                         \
    return QTest::qExec(&test, argc, argv);                 \
  }
