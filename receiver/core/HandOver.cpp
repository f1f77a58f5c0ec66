#include "HandOver.h"

#include <cmath>

namespace sonicsend::receiver {
namespace {

std::int16_t toInt16(float sample) {
  if (!std::isfinite(sample)) return 0;
  const float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
  return static_cast<std::int16_t>(std::lround(scaled));
}

}  // namespace

HandOver::HandOver(std::atomic<std::int16_t>* ring, std::uint32_t size)
    : ring_(ring), size_(size) {}

void HandOver::write(Span<const std::int16_t> samples) {
  const std::uint32_t start = published_.load(std::memory_order_relaxed);
  const auto count = static_cast<std::uint32_t>(samples.size());
  claimed_.store(start + count, std::memory_order_relaxed);
  // Each sample is released: a consumer that reads it also sees the claim made before it.
  for (std::uint32_t i = 0; i < count; ++i) {
    ring_[(start + i) & (size_ - 1)].store(samples[i], std::memory_order_release);
  }
  published_.store(start + count, std::memory_order_release);
}

void HandOver::push(Span<const std::int16_t> samples) {
  while (!samples.empty()) {
    const std::size_t count = std::min<std::size_t>(samples.size(), size_);
    write(samples.first(count));
    samples = samples.subspan(count);
  }
}

void HandOver::push(Span<const float> samples) {
  std::array<std::int16_t, 64> converted{};
  while (!samples.empty()) {
    const std::size_t count = std::min(samples.size(), converted.size());
    for (std::size_t i = 0; i < count; ++i) converted[i] = toInt16(samples[i]);
    write(Span<const std::int16_t>(converted.data(), count));
    samples = samples.subspan(count);
  }
}

void HandOver::skipToNow() {
  read_ = published_.load(std::memory_order_acquire);
  dropped_ = 0;
}

}  // namespace sonicsend::receiver
