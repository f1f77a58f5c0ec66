#include "commandLine.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");

// The platform asked for: "-platform NAME" (or "--platform NAME") wins over QT_QPA_PLATFORM.
QString requestedPlatform(const QStringList& arguments, const EnvironmentLookup& environment) {
  for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == QLatin1String("-platform") || arguments[i] == QLatin1String("--platform")) {
      return arguments[i + 1];
    }
  }
  return environment("QT_QPA_PLATFORM");
}

// The variable a display platform needs; none for the platforms without a display server
// (offscreen, minimal, vnc, eglfs, linuxfb, …).
const char* displayVariable(const QString& platform) {
  if (platform == QLatin1String("xcb")) return "DISPLAY";
  if (platform.startsWith(QLatin1String("wayland"))) return "WAYLAND_DISPLAY";
  return nullptr;
}

// A line Qt logged while the display was being connected, kept to be passed on. The context's
// texts are Qt's own literals, which outlive the guard.
struct HeldLine {
  QtMsgType type;
  const char* file;
  int line;
  const char* function;
  const char* category;
  QString text;
};

struct HeldBack {
  QByteArray refusal;
  QtMessageHandler previous = nullptr;
  std::vector<HeldLine> lines;
};

HeldBack& heldBack() {
  static HeldBack state;
  return state;
}

void holdBack(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", heldBack().refusal.constData());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  heldBack().lines.push_back(
      {type, context.file, context.line, context.function, context.category, text});
}

}  // namespace

void describeCommandLine(QCommandLineParser& parser) {
  parser.setApplicationDescription(
      QStringLiteral("Sends the current Wi-Fi network's name and password to a device by sound."));
  parser.addOption({{QStringLiteral("h"), kHelp}, QStringLiteral("Displays this help.")});
  parser.addOption(
      {{QStringLiteral("v"), kVersion}, QStringLiteral("Displays version information.")});
}

void answerHelpOrVersion(QCommandLineParser& parser, int& argc, char* argv[]) {
  const QCoreApplication names(argc, argv);  // the usage line names the program as it was run
  // Qt's options are unknown here and checked later; the two asked for are still found.
  parser.parse(QCoreApplication::arguments());
  if (parser.isSet(kHelp)) parser.showHelp(EXIT_SUCCESS);
  if (parser.isSet(kVersion)) parser.showVersion();
}

std::optional<QString> missingDisplay(const QStringList& arguments,
                                      const EnvironmentLookup& environment) {
  // A list ("wayland;xcb") is tried in order; a name may carry options after a colon.
  QStringList platforms =
      requestedPlatform(arguments, environment).split(QLatin1Char(';'), Qt::SkipEmptyParts);
  if (platforms.isEmpty())
    platforms = QStringList{QStringLiteral("xcb"), QStringLiteral("wayland")};
  QStringList unset;
  for (const QString& platform : platforms) {
    const char* variable = displayVariable(platform.section(QLatin1Char(':'), 0, 0));
    if (variable == nullptr || !environment(variable).isEmpty()) return std::nullopt;
    unset << QString::fromLatin1(variable);
  }
  return QStringLiteral("no display to show the window on (set %1)")
      .arg(unset.join(QStringLiteral(" or ")));
}

QString unreachableDisplay(const EnvironmentLookup& environment) {
  QStringList given;
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const QString value = environment(variable);
    if (!value.isEmpty()) given << QStringLiteral("%1=%2").arg(QLatin1String(variable), value);
  }
  const QString reason = QStringLiteral("cannot connect to a display to show the window on");
  return given.isEmpty() ? reason
                         : QStringLiteral("%1 (%2)").arg(reason, given.join(QStringLiteral(", ")));
}

DisplayConnectionGuard::DisplayConnectionGuard(const QString& refusal) {
  heldBack().refusal = QStringLiteral("velarto: %1").arg(refusal).toLocal8Bit();
  heldBack().previous = qInstallMessageHandler(holdBack);
}

DisplayConnectionGuard::~DisplayConnectionGuard() {
  qInstallMessageHandler(heldBack().previous);
  for (const HeldLine& held : heldBack().lines) {
    const QMessageLogContext context(held.file, held.line, held.function, held.category);
    heldBack().previous(held.type, context, held.text);
  }
  heldBack() = HeldBack{};
}

void refuseOtherArguments(QCommandLineParser& parser, const QStringList& arguments) {
  parser.process(arguments);
  if (parser.positionalArguments().isEmpty()) return;
  std::fprintf(stderr, "%s: Unexpected argument '%s'.\n",
               qPrintable(QCoreApplication::applicationName()),
               qPrintable(parser.positionalArguments().constFirst()));
  std::exit(EXIT_FAILURE);
}
