// An in-process output device for tests: records what the queue hands it, buffer by buffer,
// in order, and can hold like a full device after `capacity` buffers.
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
  std::size_t capacity = SIZE_MAX;  // buffers taken, then hold
  bool keepBytes = true;            // false: count buffers only
};

class Sink : public std::enable_shared_from_this<Sink> {
 public:
  explicit Sink(SinkOptions options = {}) : options_(options) {}

  struct State {
    std::size_t taken = 0;           // buffers since the last clear()
    Bytes stream;                    // all buffers joined
    std::vector<std::size_t> sizes;  // of each buffer
    std::vector<float> volumes;
    int open = 0, maxOpen = 0, opened = 0;  // devices now, at any one time, in all
  };

  class Device final : public AudioDevice {
   public:
    explicit Device(std::shared_ptr<Sink> sink) : sink_(std::move(sink)) {
      std::scoped_lock lock(sink_->mutex_);
      ++sink_->state_.opened;
      sink_->state_.maxOpen = std::max(sink_->state_.maxOpen, ++sink_->state_.open);
    }
    ~Device() override {
      std::scoped_lock lock(sink_->mutex_);
      --sink_->state_.open;
    }
    std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
      std::unique_lock lock(sink_->mutex_);
      State& state = sink_->state_;
      const auto hasRoom = [&] { return state.taken < sink_->options_.capacity; };
      if (!sink_->changed_.wait(lock, stop, hasRoom)) return 0;
      ++state.taken;
      if (sink_->options_.keepBytes) {
        state.stream.insert(state.stream.end(), frames.begin(), frames.end());
        state.sizes.push_back(frames.size());
      }
      sink_->changed_.notify_all();
      return frames.size();
    }
    void drop() override {}

   private:
    std::shared_ptr<Sink> sink_;
  };

  // The sender's output: devices on this sink, volumes recorded.
  SoundOutput output() {
    auto self = shared_from_this();
    return {.openDevice =
                [self](const platform::AudioStreamBasicDescription&) {
                  return std::make_unique<Device>(self);
                },
            .setVolume =
                [self](float volume) {
                  std::scoped_lock lock(self->mutex_);
                  self->state_.volumes.push_back(volume);
                }};
  }
  State state() {
    std::scoped_lock lock(mutex_);
    return state_;
  }
  // Waits (at most 30 s) until `count` buffers have been taken since the last clear().
  bool waitForBuffers(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return state_.taken >= count; });
  }
  void clear() {
    std::scoped_lock lock(mutex_);
    state_.stream.clear();
    state_.sizes.clear();
    state_.taken = 0;
    changed_.notify_all();
  }

 private:
  const SinkOptions options_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  State state_;
};

}  // namespace sonicsend::testing
