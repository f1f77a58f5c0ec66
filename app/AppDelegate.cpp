#include "AppDelegate.h"

#include <QScreen>
#include <QShortcut>

namespace {

void quit() {
  QCoreApplication::exit(0);
}

}  // namespace

AppDelegate::AppDelegate(ScreenServices services) : services_(std::move(services)) {
  connect(&sessionEnd_, &TerminationSignals::received, this, &quit);
}

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
  window_->installEventFilter(this);
  auto* quitKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window_.get(), &quit);
  quitKey->setContext(Qt::ApplicationShortcut);
  window_->showMaximized();
  window_->activateWindow();
  return true;
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get() && event->type() == QEvent::Close) quit();
  return false;
}
