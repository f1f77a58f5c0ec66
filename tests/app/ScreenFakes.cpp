#include "ScreenFakes.h"

#include <chrono>

std::shared_ptr<FakeNetwork> FakeNetwork::joinedTo(const QString& ssid) {
  auto network = std::make_shared<FakeNetwork>();
  network->join(ssid);
  return network;
}

std::shared_ptr<FakeNetwork> FakeNetwork::none() {
  return std::make_shared<FakeNetwork>();
}

void FakeNetwork::join(const QString& ssid) {
  interfaces = QStringList{QStringLiteral("wlan0")};
  info[QStringLiteral("wlan0")] = QVariantMap{{QStringLiteral("SSID"), ssid}};
}

namespace {

// Takes frames until the recording is full, then holds the queue's thread until it is stopped,
// so that a test's sender neither spins nor runs ahead.
class RecordingDevice : public sonicsend::AudioDevice {
 public:
  explicit RecordingDevice(std::shared_ptr<RecordedSound> recording)
      : sound(std::move(recording)) {}

  void play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    std::unique_lock lock(sound->mutex);
    const std::size_t room = sound->keep - std::min(sound->keep, sound->frames.size());
    const std::size_t taken = std::min(room, frames.size());
    sound->frames.insert(sound->frames.end(), frames.begin(),
                         frames.begin() + static_cast<std::ptrdiff_t>(taken));
    sound->taken.notify_all();
    if (taken < frames.size()) sound->taken.wait(lock, stop, [] { return false; });
  }
  void drop() override {}

 private:
  std::shared_ptr<RecordedSound> sound;
};

}  // namespace

sonicsend::SoundOutput recordingOutput(std::shared_ptr<RecordedSound> sound) {
  return {
      .openDevice =
          [sound](const AudioStreamBasicDescription&) -> std::unique_ptr<sonicsend::AudioDevice> {
        std::lock_guard lock(sound->mutex);
        ++sound->devicesOpened;
        return std::make_unique<RecordingDevice>(sound);
      },
      .setVolume =
          [sound](float level) {
            std::lock_guard lock(sound->mutex);
            sound->volumes.push_back(level);
          },
  };
}

void RecordedSound::record(std::size_t bytes) {
  std::lock_guard lock(mutex);
  frames.clear();
  keep = bytes;
}

bool RecordedSound::waitForFrames(std::size_t bytes) {
  std::unique_lock lock(mutex);
  return taken.wait_for(lock, std::chrono::seconds(5), [&] { return frames.size() >= bytes; });
}

std::vector<std::uint8_t> RecordedSound::framesSoFar() {
  std::lock_guard lock(mutex);
  return frames;
}

ScreenServices fakeServices(std::shared_ptr<FakeNetwork> network, const QString& storeFile,
                            std::shared_ptr<RecordedSound> sound) {
  ScreenServices services;
  services.supportedInterfaces = [network] {
    ++network->interfaceQueries;
    return network->interfaces;
  };
  services.currentNetworkInfo = [network](const QString& name) {
    network->infoQueries << name;
    return network->info.value(name);
  };
  services.makeStore = [storeFile] {
    return std::make_unique<localSave>(std::filesystem::path(storeFile.toStdString()));
  };
  services.makeSender = [sound] {
    auto sender = std::make_unique<playAudio>(recordingOutput(sound));
    sound->sender = sender.get();
    return sender;
  };
  return services;
}

namespace {
LogCapture* activeCapture = nullptr;
}

LogCapture::LogCapture() {
  activeCapture = this;
  previous =
      qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& line) {
        if (type == QtInfoMsg) activeCapture->captured << line;
      });
}

LogCapture::~LogCapture() {
  qInstallMessageHandler(previous);
  activeCapture = nullptr;
}
