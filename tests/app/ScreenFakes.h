// Stand-ins for the screen's machine: a scripted Wi-Fi network, a sound output that records
// what a sender plays, and a capture of the log lines.
#pragma once

#include <QMap>
#include <QStringList>
#include <QVariantMap>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QUAVRV4.h"

// The network the screen finds: interface names and, per name, what it reports.
struct FakeNetwork {
  std::optional<QStringList> interfaces;
  QMap<QString, std::optional<QVariantMap>> info;
  int interfaceQueries = 0;
  QStringList infoQueries;

  static std::shared_ptr<FakeNetwork> joinedTo(const QString& ssid);
  static std::shared_ptr<FakeNetwork> none();
  void join(const QString& ssid);
};

// What one sender played: the frames its devices took and the volume levels it set.
struct RecordedSound {
  std::mutex mutex;
  std::condition_variable_any taken;
  std::vector<std::uint8_t> frames;  // at most `keep` bytes, then the device stops taking more
  std::size_t keep = 0;
  std::vector<float> volumes;
  int devicesOpened = 0;
  playAudio* sender = nullptr;  // the sender of the screen that plays here

  // Starts a new recording of `bytes` bytes.
  void record(std::size_t bytes);
  // Waits (up to five seconds) until `bytes` bytes were played; false when they were not.
  bool waitForFrames(std::size_t bytes);
  std::vector<std::uint8_t> framesSoFar();
};

// A sound output that records into `sound`.
sonicsend::SoundOutput recordingOutput(std::shared_ptr<RecordedSound> sound);

// A screen whose every service is a stand-in; the store reads `storeFile`.
ScreenServices fakeServices(std::shared_ptr<FakeNetwork> network, const QString& storeFile,
                            std::shared_ptr<RecordedSound> sound);

// Every log line (info message) written while it lives; the platform's warnings are left out.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const QStringList& lines() const { return captured; }

 private:
  QStringList captured;
  QtMessageHandler previous;
};
