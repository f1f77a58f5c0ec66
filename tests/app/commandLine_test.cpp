// velarto's command line, run as a user would (help, version, no display, a wrong option), and
// the display decision for the platforms Qt can be asked for.
#include <QProcess>
#include <QtTest>

#include <sys/resource.h>

#include "commandLine.h"

using Environment = QMap<QString, QString>;
Q_DECLARE_METATYPE(Environment)

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  // Each row: arguments, the display variables given, the exit status and what is printed.
  void answersOrRefusesBeforeAnyWindow_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Environment>("display");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("error");
    const Environment offscreen{{"QT_QPA_PLATFORM", "offscreen"}};
    QTest::newRow("version") << QStringList{"--version"} << Environment() << 0
                             << "velarto " VELARTO_VERSION "\n"
                             << "";
    QTest::newRow("help") << QStringList{"-h"} << Environment() << 0
                          << "  -v, --version  Displays version information.\n"
                          << "";
    QTest::newRow("no display") << QStringList() << Environment() << 1 << ""
                                << "velarto: no display to show the window on (set DISPLAY or "
                                   "WAYLAND_DISPLAY)\n";
    QTest::newRow("display unreachable")
        << QStringList() << Environment{{"DISPLAY", ":4093"}} << 1 << ""
        << "velarto: cannot connect to a display to show the window on (DISPLAY=:4093)\n";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << offscreen << 1 << ""
                                    << "velarto: Unknown option 'frobnicate'.\n";
    QTest::newRow("stray argument") << QStringList{"x"} << offscreen << 1 << ""
                                    << "velarto: Unexpected argument 'x'.\n";
  }
  void answersOrRefusesBeforeAnyWindow() {
    QFETCH(QStringList, arguments);
    QFETCH(Environment, display);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, error);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) {
      environment.remove(name);
    }
    const QTemporaryDir runtime;  // Qt complains of a missing one on stderr
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    for (auto variable = display.cbegin(); variable != display.cend(); ++variable) {
      environment.insert(variable.key(), variable.value());
    }
    QProcess velarto;
    velarto.setProcessEnvironment(environment);
    velarto.start(VELARTO_PATH, arguments);
    QVERIFY(velarto.waitForFinished());
    QCOMPARE(velarto.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velarto.exitCode(), status);
    const QString printed = velarto.readAllStandardOutput();
    QVERIFY2(output.isEmpty() ? printed.isEmpty() : printed.endsWith(output), qPrintable(printed));
    QCOMPARE(QString(velarto.readAllStandardError()), error);  // one line, or nothing

    // The same with its output going to files that may not grow (ulimit -f 0): the writes fail,
    // and velarto still ends as it would.
    const QTemporaryDir files;
    QProcess limited;
    limited.setProcessEnvironment(environment);
    limited.setStandardOutputFile(files.filePath("out"));
    limited.setStandardErrorFile(files.filePath("err"));
    limited.setChildProcessModifier([] {
      rlimit limit{};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = 0;
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    limited.start(VELARTO_PATH, arguments);
    QVERIFY(limited.waitForFinished());
    QCOMPARE(limited.exitStatus(), QProcess::NormalExit);
    QCOMPARE(limited.exitCode(), status);
  }

  // Each row: the command line, the environment, and what is missing (empty: nothing).
  void findsTheDisplayOfThePlatformAskedFor_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Environment>("environment");
    QTest::addColumn<QString>("missing");
    QTest::newRow("offscreen needs none")
        << QStringList{"velarto"} << Environment{{"QT_QPA_PLATFORM", "offscreen"}} << "";
    QTest::newRow("X11 session") << QStringList{"velarto"} << Environment{{"DISPLAY", ":0"}} << "";
    QTest::newRow("-platform before the variable")
        << QStringList{"velarto", "-platform", "xcb"}
        << Environment{{"QT_QPA_PLATFORM", "offscreen"}, {"WAYLAND_DISPLAY", "wayland-0"}}
        << "no display to show the window on (set DISPLAY)";
    QTest::newRow("a list, the second reachable")
        << QStringList{"velarto"}
        << Environment{{"QT_QPA_PLATFORM", "wayland:fallback;xcb"}, {"DISPLAY", ":1"}} << "";
  }
  void findsTheDisplayOfThePlatformAskedFor() {
    QFETCH(QStringList, arguments);
    QFETCH(Environment, environment);
    QFETCH(QString, missing);
    const auto lookup = [&](const char* name) { return environment.value(name); };
    QCOMPARE(missingDisplay(arguments, lookup).value_or(QString()), missing);
  }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "commandLine_test.moc"
