// velarto's command line: --help and --version, answered without a window, and whether there is
// a display to show the window on, decided before the application object exists (Qt aborts the
// process when its platform cannot connect).
#pragma once

#include <QCommandLineParser>
#include <QStringList>

#include <functional>
#include <optional>

// Reads one environment variable; empty when unset.
using EnvironmentLookup = std::function<QString(const char* name)>;

// The options velarto takes: -h/--help and -v/--version, nothing else.
void describeCommandLine(QCommandLineParser& parser);

// Prints the help or the version and exits 0 when `arguments` ask for either; returns
// otherwise. Qt's own options (-platform, -style, …) are left for the application object.
void answerHelpOrVersion(QCommandLineParser& parser, int& argc, char* argv[]);

// Why the platform Qt will use (-platform on the command line, else QT_QPA_PLATFORM, else the
// desktop's X11 or Wayland) has no display to reach, in one line; none when it has. X11 needs
// DISPLAY, Wayland WAYLAND_DISPLAY; the platforms without a display server (offscreen, vnc,
// eglfs, …) always have one.
std::optional<QString> missingDisplay(const QStringList& arguments,
                                      const EnvironmentLookup& environment);

// What velarto says, in one line, when the display it was given (DISPLAY, WAYLAND_DISPLAY)
// cannot be reached.
QString unreachableDisplay(const EnvironmentLookup& environment);

// Keeps back what Qt logs while the application object connects to its display. Qt reports a
// display it cannot reach with a few lines and then a fatal message that aborts the process: at
// that message this prints "velarto: " and `refusal`, alone, and exits 1. Once the application
// object exists, the lines kept back go on to the handler that was installed before.
class DisplayConnectionGuard {
 public:
  explicit DisplayConnectionGuard(const QString& refusal);
  ~DisplayConnectionGuard();
  DisplayConnectionGuard(const DisplayConnectionGuard&) = delete;
  DisplayConnectionGuard& operator=(const DisplayConnectionGuard&) = delete;
};

// Refuses what QApplication left of the command line that is not one of velarto's options: a
// message naming it and exit 1, the way the parser reports an unknown option.
void refuseOtherArguments(QCommandLineParser& parser, const QStringList& arguments);
