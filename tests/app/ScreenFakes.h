// Stand-ins for the screen's machine: a scripted Wi-Fi network, a silent sound output, and a
// capture of the log lines.
#pragma once

#include <QMap>

#include <condition_variable>
#include <mutex>

#include "QUAVRV4.h"

struct FakeNetwork {
  std::optional<QStringList> interfaces;
  QMap<QString, QVariantMap> info;  // an interface missing here reports none
  int interfaceQueries = 0;
  QStringList infoQueries;

  void join(const QString& ssid) {
    interfaces = QStringList{"wlan0"};
    info["wlan0"] = QVariantMap{{"SSID", ssid}};
  }
};

// Takes no frame and holds the queue's thread until the sender stops it.
class SilentDevice : public sonicsend::AudioDevice {
 public:
  void play(std::span<const std::uint8_t>, std::stop_token stop) override {
    std::mutex mutex;
    std::unique_lock lock(mutex);
    std::condition_variable_any().wait(lock, stop, [] { return false; });
  }
  void drop() override {}
};

// The screen's services on `network` and `storeFile`; `sender` is set to the screen's sender.
inline ScreenServices fakeServices(std::shared_ptr<FakeNetwork> network, const QString& storeFile,
                                   playAudio** sender) {
  ScreenServices services;
  services.supportedInterfaces = [network] {
    ++network->interfaceQueries;
    return network->interfaces;
  };
  services.currentNetworkInfo = [network](const QString& name) -> std::optional<QVariantMap> {
    network->infoQueries << name;
    if (!network->info.contains(name)) return std::nullopt;
    return network->info[name];
  };
  services.makeStore = [storeFile] {
    return std::make_unique<localSave>(std::filesystem::path(storeFile.toStdString()));
  };
  services.makeSender = [sender] {
    auto made = std::make_unique<playAudio>(sonicsend::SoundOutput{
        .openDevice = [](const auto&) { return std::make_unique<SilentDevice>(); },
        .setVolume = [](float) {},
    });
    *sender = made.get();
    return made;
  };
  return services;
}

// The info lines logged while it lives (the platform's warnings are left out).
class LogCapture {
 public:
  LogCapture() : previous(qInstallMessageHandler(&LogCapture::take)) { active = this; }
  ~LogCapture() {
    qInstallMessageHandler(previous);
    active = nullptr;
  }
  QStringList lines;

 private:
  static void take(QtMsgType type, const QMessageLogContext&, const QString& line) {
    if (type == QtInfoMsg) active->lines << line;
  }
  static inline LogCapture* active = nullptr;
  QtMessageHandler previous;
};
