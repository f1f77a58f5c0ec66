#include "Sink.h"

#include <algorithm>

namespace sonicsend::testing {

class SinkDevice final : public AudioDevice {
 public:
  explicit SinkDevice(std::shared_ptr<Sink> sink) : sink_(std::move(sink)) {
    std::scoped_lock lock(sink_->mutex_);
    Sink::Devices& devices = sink_->devices_;
    ++devices.opened;
    devices.maxOpen = std::max(devices.maxOpen, ++devices.open);
  }
  ~SinkDevice() override {
    std::scoped_lock lock(sink_->mutex_);
    --sink_->devices_.open;
  }
  SinkDevice(const SinkDevice&) = delete;
  SinkDevice& operator=(const SinkDevice&) = delete;

  void play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    Sink& sink = *sink_;
    std::unique_lock lock(sink.mutex_);
    const auto hasRoom = [&] { return sink.taken_ < sink.options_.capacity; };
    if (!sink.changed_.wait(lock, stop, hasRoom)) return;
    ++sink.taken_;
    if (sink.options_.keepBytes) sink.buffers_.emplace_back(frames.begin(), frames.end());
    sink.changed_.notify_all();
    if (sink.options_.pace.count() > 0) {
      sink.changed_.wait_for(lock, stop, sink.options_.pace, [] { return false; });
    }
  }

  void drop() override {}

 private:
  std::shared_ptr<Sink> sink_;
};

SoundOutput Sink::output() {
  auto self = shared_from_this();
  return SoundOutput{
      .openDevice = [self](const AudioStreamBasicDescription&) -> std::unique_ptr<AudioDevice> {
        if (self->options_.noDevice) return nullptr;
        return std::make_unique<SinkDevice>(self);
      },
      .setVolume =
          [self](float volume) {
            std::scoped_lock lock(self->mutex_);
            self->volumes_.push_back(volume);
          },
  };
}

bool Sink::waitForBuffers(std::size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return taken_ >= count; });
}

std::size_t Sink::bufferCount() {
  std::scoped_lock lock(mutex_);
  return taken_;
}

std::vector<Bytes> Sink::buffers() {
  std::scoped_lock lock(mutex_);
  return buffers_;
}

Bytes Sink::stream() {
  Bytes all;
  for (const Bytes& buffer : buffers()) all.insert(all.end(), buffer.begin(), buffer.end());
  return all;
}

std::vector<float> Sink::volumes() {
  std::scoped_lock lock(mutex_);
  return volumes_;
}

Sink::Devices Sink::devices() {
  std::scoped_lock lock(mutex_);
  return devices_;
}

void Sink::clear() {
  std::scoped_lock lock(mutex_);
  buffers_.clear();
  taken_ = 0;
  changed_.notify_all();
}

Bytes repeated(const Bytes& pass, int times, std::size_t extra) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), pass.begin(), pass.end());
  all.insert(all.end(), pass.begin(), pass.begin() + static_cast<std::ptrdiff_t>(extra));
  return all;
}

}  // namespace sonicsend::testing
