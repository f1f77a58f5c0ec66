// velarto: hands the current Wi-Fi network's SSID and key to a device without a screen, by
// sound.
#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "AppDelegate.h"
#include "commandLine.h"
#include "libraryLogs.h"

int main(int argc, char* argv[]) {
  // A write beyond the file size limit (ulimit -f), a log line to a full file among them, fails
  // with EFBIG where it is made instead of ending the application; the store then keeps the
  // pair for its next save.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication::setApplicationName(QStringLiteral("velarto"));
  QApplication::setApplicationVersion(QStringLiteral(VELARTO_VERSION));
  QCommandLineParser commandLine;
  describeCommandLine(commandLine);
  answerHelpOrVersion(commandLine, argc, argv);
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const auto environment = [](const char* name) { return qEnvironmentVariable(name); };
  if (const auto missing = missingDisplay(arguments, environment)) {
    std::fprintf(stderr, "velarto: %s\n", qPrintable(*missing));
    return EXIT_FAILURE;
  }

  std::optional<DisplayConnectionGuard> guard(std::in_place, unreachableDisplay(environment));
  QApplication application(argc, argv);
  guard.reset();
  refuseOtherArguments(commandLine, QApplication::arguments());
  QGuiApplication::setDesktopFileName(QStringLiteral("velarto"));
  routeLibraryLogsToQt();

  AppDelegate delegate;
  delegate.didFinishLaunchingWithOptions(application);
  return QApplication::exec();
}
