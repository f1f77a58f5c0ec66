// The application's delegate: builds the one window with the configuration screen when
// launching has finished. Its state handlers do nothing: sending goes on while the
// application is in the background.
#pragma once

#include <QApplication>
#include <QMainWindow>

#include <memory>

#include "QUAVRV4.h"

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  // The application passes nothing; tests put their own services in place.
  explicit AppDelegate(ScreenServices platform = {});
  ~AppDelegate() override;

  // Shows a white window covering the screen's available area with the screen as its
  // content. Always true.
  bool didFinishLaunchingWithOptions(QApplication& application);

  void applicationWillResignActive(QApplication& application);
  void applicationDidEnterBackground(QApplication& application);
  void applicationWillEnterForeground(QApplication& application);
  void applicationDidBecomeActive(QApplication& application);
  void applicationWillTerminate(QApplication& application);

  QMainWindow* window() const { return _window.get(); }
  void setWindow(std::unique_ptr<QMainWindow> window) { _window = std::move(window); }

 private:
  void followApplicationState(QApplication& application);

  ScreenServices services;
  std::unique_ptr<QMainWindow> _window;
  Qt::ApplicationState lastState = Qt::ApplicationInactive;
};
