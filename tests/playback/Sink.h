// An in-process output device for tests: records what the queue hands it, buffer by buffer,
// in order. It can pace itself like a device, or hold like a full one after some buffers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/SoundOutput.h"

namespace sonicsend::testing {

using Bytes = std::vector<std::uint8_t>;

struct SinkOptions {
  std::size_t capacity = std::numeric_limits<std::size_t>::max();  // buffers taken, then hold
  std::chrono::microseconds pace{0};                               // time each buffer takes to play
  bool keepBytes = true;                                           // false: count buffers only
  bool noDevice = false;  // opening fails, as with no sound card
};

class Sink : public std::enable_shared_from_this<Sink> {
 public:
  explicit Sink(SinkOptions options = {}) : options_(options) {}

  // The sender's output: devices on this sink, volumes recorded.
  SoundOutput output();

  // Waits (at most 30 s) until `count` buffers have been taken; false on timeout.
  bool waitForBuffers(std::size_t count);
  std::size_t bufferCount();
  std::vector<Bytes> buffers();
  // What was played, all buffers joined.
  Bytes stream();
  std::vector<float> volumes();
  struct Devices {
    int open = 0;     // now
    int maxOpen = 0;  // at any one time so far
    int opened = 0;   // in all
  };
  Devices devices();
  // Forgets the buffers taken so far.
  void clear();

 private:
  friend class SinkDevice;
  const SinkOptions options_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Bytes> buffers_;
  std::size_t taken_ = 0;
  std::vector<float> volumes_;
  Devices devices_;
};

// The bytes of `pass` played `times` times over, then its first `extra` bytes.
Bytes repeated(const Bytes& pass, int times, std::size_t extra = 0);

}  // namespace sonicsend::testing
