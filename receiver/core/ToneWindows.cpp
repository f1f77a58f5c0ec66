#include "ToneWindows.h"

#include <algorithm>
#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

constexpr float kPi = 3.14159265358979f;
constexpr auto kTones = static_cast<std::size_t>(kToneCount);
// The timing follows its peak by this share per symbol, at most kMostTimingStep blocks; the
// energies fade by kTimingFade per symbol.
constexpr float kTimingGain = 0.3f;
constexpr float kMostTimingStep = 3.0f;
constexpr float kTimingFade = 0.8f;

// e^(-i 2 pi turns), from the fraction of the turn only, so that single precision holds.
Phasor turnedBack(float turns) {
  const float angle = 2.0f * kPi * (turns - std::floor(turns));
  return {std::cos(angle), -std::sin(angle)};
}

}  // namespace

ToneMixer::ToneMixer(int sampleRate, int blockSamples, Phasor* table)
    : blockSamples_(blockSamples), table_(table) {
  const auto length = static_cast<std::size_t>(blockSamples);
  for (std::size_t tone = 0; tone < kTones; ++tone) {
    const float cyclesPerSample = static_cast<float>(kCarrierEvenK + static_cast<int>(tone)) *
                                  static_cast<float>(kSampleRate) / 256.0f /
                                  static_cast<float>(sampleRate);
    for (std::size_t n = 0; n < length; ++n) {
      table[tone * length + n] = turnedBack(cyclesPerSample * static_cast<float>(n));
    }
    step_[tone] = turnedBack(cyclesPerSample * static_cast<float>(blockSamples));
  }
  startOver();
}

void ToneMixer::renormalize() {
  for (Phasor& r : rotor_) {
    const float gain = 1.5f - 0.5f * (r.re * r.re + r.im * r.im);
    r = {r.re * gain, r.im * gain};
  }
}

ToneWindows::ToneWindows(int sampleRate, Phasor* mixTable)
    : mixer_(sampleRate, blockSamplesFor(sampleRate), mixTable),
      symbolBlocks_(static_cast<float>(kSymbolSamples) * static_cast<float>(sampleRate) /
                    static_cast<float>(kSampleRate) /
                    static_cast<float>(blockSamplesFor(sampleRate))) {
  startOver();
}

void ToneWindows::startOver() {
  mixer_.startOver();
  blockFill_ = 0;
  for (TonePhasor& block : blocks_) block.fill({});
  blockCount_ = 0;
  window_.fill({});
  timing_.fill(0.0f);
  toBoundary_ = symbolBlocks_;
  sinceBoundary_ = 0;
}

// A block's tones, turned to the phase of its first sample, join the ring and the window;
// true when a symbol boundary fell at its end.
bool ToneWindows::endBlock() {
  TonePhasor& added = blocks_[blockCount_ % kBlockRing];
  const TonePhasor& leaving = blocks_[(blockCount_ + kBlockRing - kWindowBlocks) % kBlockRing];
  float energy = 0.0f;
  mixer_.mix(block_.data(), [&](std::size_t tone, Phasor tones) {
    added[tone] = tones;
    window_[tone].re += tones.re - leaving[tone].re;
    window_[tone].im += tones.im - leaving[tone].im;
    energy += window_[tone].re * window_[tone].re + window_[tone].im * window_[tone].im;
  });
  ++blockCount_;
  blockFill_ = 0;
  toBoundary_ -= 1.0f;
  const bool boundary = toBoundary_ <= 0.5f;
  if (boundary) {
    sumWindow();
    toBoundary_ += symbolBlocks_ + timingError();
    sinceBoundary_ = 0;
  }
  timing_[static_cast<std::size_t>(sinceBoundary_ % kWindowBlocks)] += energy;
  ++sinceBoundary_;
  return boundary;
}

float ToneWindows::timingError() {
  const auto peak =
      static_cast<int>(std::max_element(timing_.begin(), timing_.end()) - timing_.begin());
  const float before =
      timing_[static_cast<std::size_t>((peak + kWindowBlocks - 1) % kWindowBlocks)];
  const float at = timing_[static_cast<std::size_t>(peak)];
  const float after = timing_[static_cast<std::size_t>((peak + 1) % kWindowBlocks)];
  const float curve = before - 2.0f * at + after;
  const float fraction = curve < 0.0f ? 0.5f * (before - after) / curve : 0.0f;
  const float error =
      static_cast<float>(peak > kWindowBlocks / 2 ? peak - kWindowBlocks : peak) + fraction;
  for (float& energy : timing_) energy *= kTimingFade;
  return std::clamp(kTimingGain * error, -kMostTimingStep, kMostTimingStep);
}

// The window ending now, summed afresh from its blocks so that rounding does not build up in
// the running sum.
void ToneWindows::sumWindow() {
  window_.fill({});
  for (int b = 1; b <= kWindowBlocks; ++b) {
    const TonePhasor& block =
        blocks_[(blockCount_ + kBlockRing - static_cast<std::uint32_t>(b)) % kBlockRing];
    for (std::size_t tone = 0; tone < kTones; ++tone) {
      window_[tone].re += block[tone].re;
      window_[tone].im += block[tone].im;
    }
  }
  mixer_.renormalize();
}

}  // namespace sonicsend::receiver
