#include "AppDelegate.h"

#include <QScreen>

AppDelegate::AppDelegate(ScreenServices services) : services_(std::move(services)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::didFinishLaunchingWithOptions(QApplication&) {
  auto window = std::make_unique<QMainWindow>();
  window->setWindowTitle(QStringLiteral("velarto"));
  window->setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
  setWindow(std::move(window));

  window_->setCentralWidget(new QUAVRV4(services_));
  QPalette white = window_->palette();
  white.setColor(QPalette::Window, Qt::white);
  window_->setPalette(white);
  window_->setAutoFillBackground(true);
  window_->showMaximized();
  window_->activateWindow();
  return true;
}
