// The application's delegate: builds the one window with the configuration screen when
// launching has finished. It has no state handlers: sending goes on while the application is
// in the background, and nothing else changes with its state.
#pragma once

#include <QApplication>
#include <QMainWindow>

#include <memory>

#include "QUAVRV4.h"

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  // The application passes nothing; tests put their own services in place.
  explicit AppDelegate(ScreenServices services = {});
  ~AppDelegate() override;

  // Shows a white window covering the screen's available area with the screen as its
  // content. Always true.
  bool didFinishLaunchingWithOptions(QApplication& application);

  QMainWindow* window() const { return window_.get(); }
  void setWindow(std::unique_ptr<QMainWindow> window) { window_ = std::move(window); }

 private:
  ScreenServices services_;
  std::unique_ptr<QMainWindow> window_;
};
