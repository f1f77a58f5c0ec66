#include "CoreOnDesktop.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace sonicsend::receiver {
namespace {

// What a device's DMA hands over at once.
constexpr std::size_t kDmaBlock = 256;
// How long a device goes on listening after the signal: a room model's reading of the last
// passes takes a few seconds of audio.
constexpr int kListenAfterSeconds = 10;

int coreRate(double sampleRate) {
  const auto rate = static_cast<int>(std::lround(sampleRate));
  return std::abs(sampleRate - rate) < 1e-6 &&
                 std::ranges::find(kCoreRates, rate) != kCoreRates.end()
             ? rate
             : 0;
}

}  // namespace

bool CoreOnDesktop::reads(double sampleRate) {
  return coreRate(sampleRate) != 0;
}

CoreOnDesktop::CoreOnDesktop(double sampleRate)
    : sampleRate_(coreRate(sampleRate)),
      block_(new std::max_align_t[ListeningCore::stateSize(sampleRate_) / sizeof(std::max_align_t) +
                                  1]),
      core_(ListeningCore::create(block_.get(), ListeningCore::stateSize(sampleRate_),
                                  sampleRate_)) {}

std::optional<Decoded> CoreOnDesktop::push(std::span<const float> samples) {
  if (core_ == nullptr) return std::nullopt;
  while (!samples.empty()) {
    const std::size_t count = std::min(samples.size(), kDmaBlock);
    core_->push(samples.first(count));
    samples = samples.subspan(count);
    if (core_->poll()) return heard();
  }
  return std::nullopt;
}

std::optional<Decoded> CoreOnDesktop::finish() {
  static constexpr std::array<float, kDmaBlock> kSilence{};
  const auto total = static_cast<std::size_t>(kListenAfterSeconds * sampleRate_);
  for (std::size_t fed = 0; fed < total; fed += kDmaBlock) {
    if (auto decoded = push(kSilence)) return decoded;
  }
  return std::nullopt;
}

std::optional<Decoded> CoreOnDesktop::heard() const {
  const CoreMessage* message = core_->message();
  const auto payload = std::span<const std::uint8_t>(
      message->bytes.data(), static_cast<std::size_t>(message->frames) * kFramePayloadBytes);
  return Decoded{messageAt(payload, message->bounds), message->frames, message->passes};
}

}  // namespace sonicsend::receiver
