// The documentation's picture: the window on a network "HomeNet" whose key is stored, saved to
// the file named by the first argument. Run it on a display (Xvfb):
//   xvfb-run -s "-screen 0 480x400x24" build/release/app/velarto_screenshot docs/velarto.png
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include "AppDelegate.h"

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;  // usage: velarto_screenshot OUTPUT.png
  QApplication application(argc, argv);
  QTemporaryDir dir;
  const std::filesystem::path storeFile = dir.filePath("localSave.json").toStdString();
  localSave(storeFile).saveSsid("HomeNet", "correct horse");
  const QVariantMap home{{"SSID", "HomeNet"}};
  ScreenServices services{.supportedInterfaces = [] { return std::optional(QStringList{"w"}); },
                          .currentNetworkInfo = [home](auto&) { return std::optional(home); },
                          .makeStore = [&] { return std::make_unique<localSave>(storeFile); }};
  AppDelegate delegate(std::move(services));  // its sender is never started
  delegate.didFinishLaunchingWithOptions(application);
  // Half a second lets the window be mapped and the display finish drawing.
  QTimer::singleShot(500, [&] {
    const auto picture = QGuiApplication::primaryScreen()->grabWindow(0);
    QApplication::exit(picture.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1);
  });
  return QApplication::exec();
}
