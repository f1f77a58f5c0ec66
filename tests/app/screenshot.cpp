// Takes the picture of the screen for the documentation: launches the application's window
// on a network "HomeNet" whose key "correct horse" is stored, and saves what the display
// shows to the file named by the first argument. Run it on a display (Xvfb).
#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

#include "AppDelegate.h"
#include "ScreenFakes.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  QApplication application(argc, argv);
  QTemporaryDir dir;
  const QString storeFile = dir.filePath(QStringLiteral("localSave.json"));
  QFile store(storeFile);
  if (!store.open(QIODevice::WriteOnly) || store.write(R"({"HomeNet":"correct horse"})") < 0) {
    return 1;
  }
  store.close();

  auto network = std::make_shared<FakeNetwork>();
  network->join(QStringLiteral("HomeNet"));
  playAudio* sender = nullptr;
  AppDelegate delegate(fakeServices(network, storeFile, &sender));
  delegate.didFinishLaunchingWithOptions(application);
  if (!QTest::qWaitForWindowExposed(delegate.window())) return 1;
  QTest::qWait(200);  // lets the display finish drawing
  const QPixmap shown = QGuiApplication::primaryScreen()->grabWindow(0);
  return shown.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
