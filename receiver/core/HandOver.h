// The first stage of the listening core: the hand-over of samples from one producer, which
// may be an interrupt, to one consumer, the main loop, through a ring in the caller's block,
// without a lock.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

#include "portable.h"

namespace sonicsend::receiver {

class HandOver {
 public:
  // Samples the ring holds at `sampleRate`: a power of two, an eighth of a second at least
  // (1 024 at 8 kHz, 2 048 at 16 kHz, 4 096 at 22.05 kHz, 8 192 at 44.1 and 48 kHz).
  static constexpr std::uint32_t sizeFor(int sampleRate) {
    std::uint32_t size = 1024;
    while (size < static_cast<std::uint32_t>(sampleRate / 8)) size *= 2;
    return std::min(size, kMostRingSamples);
  }

  // `ring` holds `size` samples, a power of two; the caller's block keeps it.
  HandOver(std::atomic<std::int16_t>* ring, std::uint32_t size);

  // The producer's side: claims slots, writes them, publishes them, a ring's worth at a time.
  // Floats beyond full scale are clipped; non-finite ones count as silence.
  void push(Span<const std::int16_t> samples);
  void push(Span<const float> samples);

  // The consumer's side: hands what was published when the call began to `consume`, in
  // pieces of at most 256 samples, oldest first. At most a ring's worth, however fast the
  // producer goes on: what it overwrites meanwhile is dropped, never waited for.
  template <typename Consume>
  void drain(Consume consume);

  // Forgets what was published so far (only while no push runs).
  void skipToNow();
  // Samples lost because the consumer fell behind by more than the ring holds.
  std::uint32_t dropped() const { return dropped_; }

 private:
  static constexpr std::uint32_t kMostRingSamples = 1 << 14;

  void write(Span<const std::int16_t> samples);

  std::atomic<std::int16_t>* ring_;
  std::uint32_t size_;
  std::atomic<std::uint32_t> claimed_{0};
  std::atomic<std::uint32_t> published_{0};
  std::uint32_t read_ = 0;
  std::uint32_t dropped_ = 0;
};

template <typename Consume>
void HandOver::drain(Consume consume) {
  const std::uint32_t published = published_.load(std::memory_order_acquire);
  if (published - read_ > size_) {
    dropped_ += published - read_ - size_;
    read_ = published - size_;
  }
  std::array<std::int16_t, 256> piece{};
  while (read_ != published) {
    const auto count = std::min<std::uint32_t>(published - read_, piece.size());
    for (std::uint32_t i = 0; i < count; ++i) {
      piece[i] = ring_[(read_ + i) & (size_ - 1)].load(std::memory_order_acquire);
    }
    // Sample i was rewritten once a producer claimed sample i + size.
    const std::uint32_t claimed = claimed_.load(std::memory_order_acquire);
    const std::uint32_t firstIntact = claimed - read_ > size_ ? claimed - size_ - read_ : 0;
    if (firstIntact >= count) {
      dropped_ += count;
    } else {
      dropped_ += firstIntact;
      consume(Span<const std::int16_t>(piece.data() + firstIntact, count - firstIntact));
    }
    read_ += count;
  }
}

}  // namespace sonicsend::receiver
