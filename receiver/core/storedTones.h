// How the history keeps a window's tones: each tone's level and phase in a byte each, so that
// five passes of the longest message fit a device's memory with their phases.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
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

// The same from integers, for a chip without an FPU (frontEndNumbers.h): a level by its square,
// a phase by the integer parts of its sum, in a few products, a division and small tables
// rather than a logarithm and an arc tangent in software. Each may lie a step off the float
// one's where that one rounds near a half step.

// log2(1 + i / 256) in 1/256, for i = 0 ... 255, from ln(1 + t) = 2 atanh(t / (2 + t)).
inline constexpr std::array<std::uint8_t, 256> kLog2Fraction = [] {
  std::array<std::uint8_t, 256> log2{};
  for (std::size_t i = 0; i < log2.size(); ++i) {
    const double z = static_cast<double>(i) / (512.0 + static_cast<double>(i));
    double power = z;
    double ln = 0.0;
    for (int k = 1; k < 40; k += 2, power *= z * z) ln += 2.0 * power / k;
    log2[i] = static_cast<std::uint8_t>(ln / 0.69314718055994531 * 256.0 + 0.5);
  }
  return log2;
}();

// log2 of `value` (not 0) in 1/256: its width and the 8 bits after its leading one.
inline int log2In256ths(std::uint64_t value) {
  const int width = bitWidth(value);
  const std::uint64_t top = width > 9 ? value >> (width - 9) : value << (9 - width);
  return (width - 1) * 256 + kLog2Fraction[static_cast<std::size_t>(top & 255u)];
}

inline std::uint8_t attenuationOfSquares(std::uint64_t levelSquared, std::uint64_t loudestSquared) {
  if (levelSquared == 0 || loudestSquared == 0) return kSilent;
  // 80 log10(loudest / level) = 40 log10(2) log2(loudest^2 / level^2); 40 log10(2) = 3082.55 / 256.
  const int octaves = log2In256ths(loudestSquared) - log2In256ths(levelSquared);
  const int steps = (std::max(octaves, 0) * 3083 + 32768) >> 16;
  return static_cast<std::uint8_t>(std::min(steps, kSilent));
}

// atan(i / 64) in 1/256 of a phase step (1/256 of a turn), for i = 0 ... 64, from Euler's series
// atan x = sum of 2^2n (n!)^2 / (2n + 1)! x^(2n+1) / (1 + x^2)^(n+1).
inline constexpr std::array<std::uint16_t, 65> kArcTangent = [] {
  std::array<std::uint16_t, 65> arc{};
  for (std::size_t i = 0; i < arc.size(); ++i) {
    const double x = static_cast<double>(i) / 64.0;
    const double shrink = x * x / (1.0 + x * x);
    double term = x / (1.0 + x * x);
    double atan = 0.0;
    for (int n = 1; n < 80; ++n) {
      atan += term;
      term *= shrink * (2.0 * n) / (2.0 * n + 1.0);
    }
    arc[i] = static_cast<std::uint16_t>(atan * (128.0 * 256.0 / 3.14159265358979323846) + 0.5);
  }
  return arc;
}();

// |value|, which fits 32 bits unsigned even for the most negative value.
inline std::uint32_t sizeOf(std::int32_t value) {
  return value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
}

inline std::uint8_t phaseOf(std::int32_t re, std::int32_t im) {
  const bool steep = sizeOf(im) > sizeOf(re);
  std::uint32_t along = steep ? sizeOf(im) : sizeOf(re);
  std::uint32_t across = steep ? sizeOf(re) : sizeOf(im);
  if (along == 0) return 0;
  const int drop = std::max(bitWidth(along) - 15, 0);
  along >>= drop;
  across >>= drop;
  // across / along in 1/65536, between two entries of the table, 1024 apart.
  const std::uint32_t ratio = (across << 16) / along;
  const std::uint32_t at = std::min<std::uint32_t>(ratio >> 10, 63);
  const std::uint32_t part = ratio - (at << 10);
  const auto rise = static_cast<std::uint32_t>(kArcTangent[at + 1] - kArcTangent[at]);
  int angle = kArcTangent[at] + static_cast<int>((rise * part) >> 10);
  if (steep) angle = 64 * 256 - angle;
  if (re < 0) angle = 128 * 256 - angle;
  if (im < 0) angle = -angle;
  return static_cast<std::uint8_t>(((angle + 128) >> 8) & 255);
}

}  // namespace sonicsend::receiver::storedTones
