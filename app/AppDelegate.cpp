#include "AppDelegate.h"

#include <QScreen>

AppDelegate::AppDelegate(ScreenServices platform) : services(std::move(platform)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::didFinishLaunchingWithOptions(QApplication& application) {
  auto window = std::make_unique<QMainWindow>();
  window->setWindowTitle(QStringLiteral("velarto"));
  window->setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
  setWindow(std::move(window));

  _window->setCentralWidget(new QUAVRV4(services));
  QPalette white = _window->palette();
  white.setColor(QPalette::Window, Qt::white);
  _window->setPalette(white);
  _window->setAutoFillBackground(true);
  _window->showMaximized();
  _window->activateWindow();

  followApplicationState(application);
  return true;
}

void AppDelegate::applicationWillResignActive(QApplication&) {}
void AppDelegate::applicationDidEnterBackground(QApplication&) {}
void AppDelegate::applicationWillEnterForeground(QApplication&) {}
void AppDelegate::applicationDidBecomeActive(QApplication&) {}
void AppDelegate::applicationWillTerminate(QApplication&) {}

// Hands the application's state changes to the five handlers above.
void AppDelegate::followApplicationState(QApplication& application) {
  connect(&application, &QGuiApplication::applicationStateChanged, this,
          [this, &application](Qt::ApplicationState state) {
            const bool wasBackground =
                lastState == Qt::ApplicationHidden || lastState == Qt::ApplicationSuspended;
            if (state == Qt::ApplicationActive) {
              if (wasBackground) applicationWillEnterForeground(application);
              applicationDidBecomeActive(application);
            } else if (state == Qt::ApplicationInactive) {
              applicationWillResignActive(application);
            } else if (!wasBackground) {
              applicationDidEnterBackground(application);
            }
            lastState = state;
          });
  connect(&application, &QCoreApplication::aboutToQuit, this,
          [this, &application] { applicationWillTerminate(application); });
}
