// The listening core, as the desktop receiver runs it: in a block of the heap, fed the way a
// device's DMA feeds it, so that the desktop hears first what a device would hear.
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "ListeningCore.h"
#include "message.h"

namespace sonicsend::receiver {

class CoreOnDesktop {
 public:
  // Whether the core reads `sampleRate` as it is, without resampling.
  static bool reads(double sampleRate);

  // `sampleRate` must be one the core reads; throws std::bad_alloc.
  explicit CoreOnDesktop(double sampleRate);

  // Feeds mono samples in blocks as a device's DMA delivers them, polling after each; the
  // message once heard.
  std::optional<Decoded> push(std::span<const float> samples);
  // The audio has ended: goes on listening to silence for as long as a device would, so that
  // the readings still under way finish.
  std::optional<Decoded> finish();
  // The speed the core hears the tones at (ListeningCore::clockSpeed): 1 unless the
  // recorder's clock is clearly off.
  float clockSpeed() const { return core_ != nullptr ? core_->clockSpeed() : 1.0f; }

 private:
  std::optional<Decoded> heard() const;

  int sampleRate_;
  std::unique_ptr<std::max_align_t[]> block_;
  ListeningCore* core_;
};

}  // namespace sonicsend::receiver
