// The signals that end a desktop session or a terminal run (SIGTERM, SIGHUP, SIGINT), delivered
// as a Qt signal in the event loop, where the application can quit in good order.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <memory>

class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  // Takes over the three signals until destroyed; one instance at a time.
  explicit TerminationSignals(QObject* parent = nullptr);
  ~TerminationSignals() override;

 signals:
  void received();

 private:
  static constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
  struct sigaction previous_[3] = {};
  std::unique_ptr<QSocketNotifier> notifier_;
};
