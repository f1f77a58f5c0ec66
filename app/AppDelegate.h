// The application's delegate: builds the one window with the configuration screen when
// launching has finished, and quits at once on the window's close request, Ctrl+Q or the end of
// the session, whatever the screen shows. It has no other state handlers: sending goes on while
// the application is in the background, and nothing else changes with its state.
#pragma once

#include <QApplication>
#include <QMainWindow>

#include <memory>

#include "QUAVRV4.h"
#include "TerminationSignals.h"

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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  ScreenServices services_;
  std::unique_ptr<QMainWindow> window_;
  TerminationSignals sessionEnd_;
};
