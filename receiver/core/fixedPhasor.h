// A tone's phasor in integers, for the room model's heaviest steps on a chip without an FPU:
// reading a tone again through its response (readThroughResponse) takes nine products a window,
// and trying the ways a one-frame loop may repeat (RepeatingWays) a few dozen a way, which a
// software float makes about twenty times dearer than a 32-bit multiply. Both parts and
// every scalar derived from them count in steps of 1/4096 (FixedScalar) in 32 bits; a product
// of two is rounded back to steps. The caller scales a tone so that its loudest window is
// kFixedLoudest (see fixedScaleOf), which keeps every product below 2^31.
#pragma once

#include <algorithm>
#include <cstdint>

#include "phasor.h"

namespace sonicsend::receiver {

class FixedScalar {
 public:
  static constexpr int kFraction = 12;
  static constexpr std::int32_t kOne = 1 << kFraction;

  constexpr FixedScalar(int whole = 0) : steps_(whole * kOne) {}  // NOLINT: as a number does
  explicit constexpr FixedScalar(double value)
      : steps_(static_cast<std::int32_t>(value * kOne + (value < 0 ? -0.5 : 0.5))) {}
  static constexpr FixedScalar ofSteps(std::int32_t steps) {
    FixedScalar s;
    s.steps_ = steps;
    return s;
  }
  constexpr std::int32_t steps() const { return steps_; }
  explicit operator float() const { return static_cast<float>(steps_) * (1.0f / kOne); }

  friend constexpr FixedScalar operator+(FixedScalar a, FixedScalar b) {
    return ofSteps(a.steps_ + b.steps_);
  }
  friend constexpr FixedScalar operator-(FixedScalar a, FixedScalar b) {
    return ofSteps(a.steps_ - b.steps_);
  }
  FixedScalar& operator+=(FixedScalar b) {
    steps_ += b.steps_;
    return *this;
  }
  // The quotient in steps, rounded towards zero; in 32 bits where the dividend allows.
  friend FixedScalar operator/(FixedScalar a, FixedScalar b) {
    constexpr std::int32_t kWide = INT32_MAX >> kFraction;
    if (a.steps_ <= kWide && a.steps_ >= -kWide) return ofSteps((a.steps_ * kOne) / b.steps_);
    return ofSteps(
        static_cast<std::int32_t>(static_cast<std::int64_t>(a.steps_) * kOne / b.steps_));
  }
  // The product in steps, to the nearest, through 64 bits.
  friend FixedScalar operator*(FixedScalar a, FixedScalar b) {
    const std::int64_t product = static_cast<std::int64_t>(a.steps_) * b.steps_;
    return ofSteps(static_cast<std::int32_t>((product + (kOne / 2)) >> kFraction));
  }
  friend constexpr bool operator>(FixedScalar a, FixedScalar b) { return a.steps_ > b.steps_; }
  friend constexpr bool operator<(FixedScalar a, FixedScalar b) { return a.steps_ < b.steps_; }

 private:
  std::int32_t steps_ = 0;
};

struct FixedPhasor {
  std::int32_t re = 0;
  std::int32_t im = 0;
};

inline FixedPhasor operator+(FixedPhasor a, FixedPhasor b) {
  return {a.re + b.re, a.im + b.im};
}
inline FixedPhasor operator-(FixedPhasor a, FixedPhasor b) {
  return {a.re - b.re, a.im - b.im};
}
// A product of steps, back in steps, to the nearest.
inline std::int32_t fixedProduct(std::int32_t products) {
  return (products + (1 << (FixedScalar::kFraction - 1))) >> FixedScalar::kFraction;
}
inline FixedPhasor operator*(FixedPhasor a, FixedPhasor b) {
  return {fixedProduct(a.re * b.re - a.im * b.im), fixedProduct(a.re * b.im + a.im * b.re)};
}
inline FixedPhasor operator*(FixedScalar s, FixedPhasor a) {
  const auto part = [s](std::int32_t value) {
    const std::int64_t product = static_cast<std::int64_t>(s.steps()) * value;
    return static_cast<std::int32_t>((product + FixedScalar::kOne / 2) >> FixedScalar::kFraction);
  };
  return {part(a.re), part(a.im)};
}
inline FixedPhasor conj(FixedPhasor a) {
  return {a.re, -a.im};
}
inline FixedScalar norm(FixedPhasor a) {
  return FixedScalar::ofSteps(fixedProduct(a.re * a.re + a.im * a.im));
}
inline FixedScalar real(FixedPhasor a) {
  return FixedScalar::ofSteps(a.re);
}
// Re(a conj(b)), its products in 32 bits.
inline FixedScalar inPhase(FixedPhasor a, FixedPhasor b) {
  return FixedScalar::ofSteps(fixedProduct(a.re * b.re + a.im * b.im));
}

// The loudest window of a tone once scaled, in steps: a half. A window's part is held within
// 16 times that, and a response term's within 4 times, so that a window's part stays below
// 2^17 once nine terms are taken out, and no product of the two overflows.
inline constexpr std::int32_t kFixedLoudest = FixedScalar::kOne / 2;
inline constexpr std::int32_t kFixedWindowMost = 16 * kFixedLoudest;
inline constexpr std::int32_t kFixedTermMost = 4 * kFixedLoudest;

// The factor that scales a tone whose largest part is `largest` to kFixedLoudest.
inline float fixedScaleOf(float largest) {
  return largest > 0.0f ? static_cast<float>(kFixedLoudest) / largest : 0.0f;
}

// `p` times `scale`, in steps, each part held within `most`.
inline FixedPhasor toFixed(Phasor p, float scale, std::int32_t most) {
  const auto part = [scale, most](float value) {
    const auto limit = static_cast<float>(most);
    return static_cast<std::int32_t>(std::clamp(value * scale, -limit, limit));
  };
  return {part(p.re), part(p.im)};
}

}  // namespace sonicsend::receiver
