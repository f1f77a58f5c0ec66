// The listening core on the host: a state block of the size it asks for, and a recording fed
// to it in blocks of 256 samples, as a DMA interrupt would, with a poll after each.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ListeningCore.h"
#include "channels.h"

namespace sonicsend::testing {

class CoreState {
 public:
  explicit CoreState(int rate)
      : size_(receiver::ListeningCore::stateSize(rate)),
        block_(new std::max_align_t[size_ / sizeof(std::max_align_t) + 1]),
        core_(receiver::ListeningCore::create(block_.get(), size_, rate)) {}
  receiver::ListeningCore& core() { return *core_; }

 private:
  std::size_t size_;
  std::unique_ptr<std::max_align_t[]> block_;
  receiver::ListeningCore* core_;
};

struct Heard {
  std::string ssid;
  std::string key;
};

inline std::optional<Heard> heardBy(const receiver::ListeningCore& core) {
  const auto* message = core.message();
  if (message == nullptr) return std::nullopt;
  const auto part = [&](std::size_t begin, std::size_t length) {
    return std::string(message->bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                       message->bytes.begin() + static_cast<std::ptrdiff_t>(begin + length));
  };
  return Heard{part(message->bounds.ssidBegin, message->bounds.ssidLength),
               part(message->bounds.keyBegin, message->bounds.keyLength)};
}

// Feeds `samples`, then, as a device goes on listening, up to `tailSeconds` of silence at
// `rate` (as the example firmware does): in a room, the model's reading of the last passes
// takes a few seconds.
inline std::optional<Heard> listen(receiver::ListeningCore& core, std::vector<float> samples,
                                   int rate, int tailSeconds = 10) {
  constexpr std::size_t kBlock = 256;
  samples.resize(samples.size() + static_cast<std::size_t>(tailSeconds * rate), 0.0f);
  for (std::size_t at = 0; at < samples.size(); at += kBlock) {
    core.push(std::span(samples).subspan(at, std::min(kBlock, samples.size() - at)));
    if (core.poll()) return heardBy(core);
  }
  return std::nullopt;
}

inline std::optional<Heard> listen(const simulator::Recording& recording) {
  CoreState state(recording.rate);
  return listen(state.core(), recording.samples, recording.rate);
}

inline bool rightly(const std::optional<Heard>& heard, const simulator::Sent& sent) {
  return heard && heard->ssid == sent.ssid && heard->key == sent.key;
}

}  // namespace sonicsend::testing
