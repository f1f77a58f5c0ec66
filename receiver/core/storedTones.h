// How the history keeps a window's tones: each tone's level and phase in a byte each, so that
// five passes of the longest message fit a device's memory with their phases.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "portable.h"

namespace sonicsend::receiver::storedTones {

inline constexpr float kPi = 3.14159265358979f;
// A quarter decibel per step: 254 steps reach 63.5 dB below the loudest tone; 255 is silence.
inline constexpr int kSilent = 255;
inline constexpr float kStepsPerDecade = 80.0f;

// The gain of each attenuation step, 10^(-step / 80), built by repeated multiplication.
inline constexpr std::array<float, 256> kGain = [] {
  std::array<float, 256> gain{};
  double value = 1.0;
  for (int step = 0; step < kSilent; ++step) {
    gain[static_cast<std::size_t>(step)] = static_cast<float>(value);
    value *= 0.97162795157710617;  // 10^(-1/80)
  }
  gain[kSilent] = 0.0f;
  return gain;
}();

// cos and sin of each 1/256 of a turn, built by rotating one step at a time.
struct Turn {
  float cos;
  float sin;
};
inline constexpr std::array<Turn, 256> kTurn = [] {
  std::array<Turn, 256> turn{};
  double c = 1.0;
  double s = 0.0;
  constexpr double kStepCos = 0.99969881869620425;  // cos(2 pi / 256)
  constexpr double kStepSin = 0.024541228522912288;
  for (auto& entry : turn) {
    entry = {static_cast<float>(c), static_cast<float>(s)};
    const double next = c * kStepCos - s * kStepSin;
    s = s * kStepCos + c * kStepSin;
    c = next;
  }
  return turn;
}();

// A float in 16 bits: its sign, exponent and the top 8 bits of its mantissa, rounded to the
// nearest (0.4 % at most off); enough for a level or a threshold.
inline std::uint16_t shortFloat(float value) {
  const auto bits = bitCast<std::uint32_t>(value);
  return static_cast<std::uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}
inline float fromShortFloat(std::uint16_t value) {
  return bitCast<float>(static_cast<std::uint32_t>(value) << 16);
}

inline std::uint8_t attenuationOf(float level, float loudest) {
  if (!(level > 0.0f) || !(loudest > 0.0f)) return kSilent;
  const float steps = -kStepsPerDecade * std::log10(level / loudest);
  return steps >= static_cast<float>(kSilent) - 0.5f
             ? static_cast<std::uint8_t>(kSilent)
             : static_cast<std::uint8_t>(std::lround(std::max(steps, 0.0f)));
}

inline std::uint8_t phaseOf(float re, float im) {
  const long step = std::lround(std::atan2(im, re) * (128.0f / kPi));
  return static_cast<std::uint8_t>(step & 255);
}

}  // namespace sonicsend::receiver::storedTones
