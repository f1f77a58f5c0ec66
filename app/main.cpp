// velarto: hands the current Wi-Fi network's SSID and key to a device without a screen, by
// sound.
#include <QApplication>

#include "AppDelegate.h"
#include "libraryLogs.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velarto"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velarto"));
  routeLibraryLogsToQt();

  AppDelegate delegate;
  delegate.didFinishLaunchingWithOptions(application);
  return QApplication::exec();
}
