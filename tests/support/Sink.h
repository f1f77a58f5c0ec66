// An in-process output device for tests: records what the queue hands it, buffer by buffer,
// in order; each device can hold like a full one after `capacity` buffers.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/SoundOutput.h"

namespace sonicsend::testing {

using Bytes = std::vector<std::uint8_t>;

struct SinkOptions {
  std::size_t capacity = SIZE_MAX;  // buffers each device takes, then holds
  bool keepBytes = true;            // false: count buffers only
};

class Sink : public std::enable_shared_from_this<Sink> {
 public:
  explicit Sink(SinkOptions options = {}) : options_(options) {}

  struct State {
    std::size_t taken = 0;           // buffers, by all devices
    Bytes stream;                    // all buffers joined
    std::vector<std::size_t> sizes;  // of each buffer
    std::vector<float> volumes;
    int open = 0, maxOpen = 0;  // devices now, at any one time
  };

  // The sender's output: devices on this sink, volumes recorded.
  SoundOutput output() {
    return {.openDevice =
                [self = shared_from_this()](const auto&) { return std::make_unique<Device>(self); },
            .setVolume =
                [self = shared_from_this()](float volume) {
                  self->update([&](State& s) { s.volumes.push_back(volume); });
                }};
  }
  State state() {
    std::scoped_lock lock(mutex_);
    return state_;
  }
  // Waits (at most 30 s) until `count` buffers have been taken in all.
  bool waitForBuffers(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return state_.taken >= count; });
  }

 private:
  struct Device final : AudioDevice {
    explicit Device(std::shared_ptr<Sink> sink) : sink_(std::move(sink)) {
      sink_->update([](State& s) { s.maxOpen = std::max(s.maxOpen, ++s.open); });
    }
    ~Device() override {
      sink_->update([](State& s) { --s.open; });
    }
    std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
      Sink& sink = *sink_;
      std::unique_lock lock(sink.mutex_);
      if (!sink.changed_.wait(lock, stop, [&] { return taken_ < sink.options_.capacity; }))
        return 0;
      ++taken_;
      ++sink.state_.taken;
      if (sink.options_.keepBytes) {
        sink.state_.stream.insert(sink.state_.stream.end(), frames.begin(), frames.end());
        sink.state_.sizes.push_back(frames.size());
      }
      sink.changed_.notify_all();
      return frames.size();
    }
    void drop() override {}
    const std::shared_ptr<Sink> sink_;
    std::size_t taken_ = 0;
  };

  template <class Change>
  void update(Change change) {
    std::scoped_lock lock(mutex_);
    change(state_);
    changed_.notify_all();
  }

  const SinkOptions options_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  State state_;
};

}  // namespace sonicsend::testing
