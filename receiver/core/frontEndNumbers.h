// How the front end (ToneMixer, ToneWindows, and SymbolHistory as it keeps a window) counts: in
// single-precision floats where the chip has an FPU, in integers where floats would run in
// software. The front end works on every sample and every millisecond block, nearly all of the
// core's work while it listens; what follows a window (17 a second: the symbol timing, the
// recorder's clock, reading a byte) and the search stay in floats.
//
// SONICSEND_LISTENER_FIXED picks the integers: 1 by default on an Arm core without an FPU (no
// __ARM_FP: a Cortex-M0+, M3, M23, M33 without one), on RISC-V without F (no __riscv_flen) and
// on an Xtensa core built for soft float (an ESP8266); 0 elsewhere. -DSONICSEND_LISTENER_FIXED=0
// or =1 overrides it, alike for every source of the core.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "phasor.h"
#include "portable.h"
#include "reading.h"
#include "storedTones.h"

#ifndef SONICSEND_LISTENER_FIXED
#if (defined(__arm__) && !defined(__ARM_FP)) || (defined(__riscv) && !defined(__riscv_flen)) || \
    (defined(__XTENSA__) && defined(__XTENSA_SOFT_FLOAT__))
#define SONICSEND_LISTENER_FIXED 1
#else
#define SONICSEND_LISTENER_FIXED 0
#endif
#endif

namespace sonicsend::receiver {

// e^(-i 2 pi turns), from the fraction of the turn only, so that single precision holds.
inline Phasor turnedBack(float turns) {
  const float angle = 2.0f * storedTones::kPi * (turns - std::floor(turns));
  return {std::cos(angle), -std::sin(angle)};
}

// Floats: samples at full scale 1, a unit phasor per sample of the mixing table, and each
// tone's phase at the next block a unit phasor turned by a step per block.
struct FloatTones {
  using Sample = float;
  using Turn = Phasor;  // the mixing table's entry: a tone's turn at one sample of a block
  using Sum = Phasor;   // a tone summed over a block or a window
  using Level = float;  // a tone's level: the size of its sum

  static Sample fromInt16(std::int16_t sample) {
    return static_cast<float>(sample) * (1.0f / 32768.0f);
  }
  static Turn turnOf(Phasor turn) { return turn; }
  static Phasor toPhasor(Sum sum) { return sum; }
  // The energy of a window's tones, for the symbol timing.
  static float energyOf(const std::array<Sum, kToneCount>& window) {
    float energy = 0.0f;
    for (const Sum& tone : window) energy += norm(tone);
    return energy;
  }
  static Level levelOf(Sum sum) { return abs(sum); }
  static float levelAtFullScale(Level level) { return level; }
  static std::uint8_t attenuationOf(Level level, Level loudest) {
    return storedTones::attenuationOf(level, loudest);
  }
  static std::uint8_t phaseOf(Sum sum) { return storedTones::phaseOf(sum.re, sum.im); }

  class Rotors {
   public:
    void set(std::size_t tone, float turnsPerBlock) { step_[tone] = turnedBack(turnsPerBlock); }
    // A block's sum turned to the tone's phase at its first sample; the next block's phase.
    Sum turn(std::size_t tone, Sum sum) {
      const Phasor r = now_[tone];
      now_[tone] = r * step_[tone];
      return r * sum;
    }
    // Keeps the turning phases on the unit circle; now and then is enough.
    void renormalize() {
      for (Phasor& r : now_) {
        const float gain = 1.5f - 0.5f * (r.re * r.re + r.im * r.im);
        r = {r.re * gain, r.im * gain};
      }
    }
    void startOver() { now_.fill({1.0f, 0.0f}); }

   private:
    std::array<Phasor, kToneCount> step_{};
    std::array<Phasor, kToneCount> now_{};
  };
};

// A tone's sum in integers.
struct IntPhasor {
  std::int32_t re = 0;
  std::int32_t im = 0;
};

inline IntPhasor operator+(IntPhasor a, IntPhasor b) {
  return {a.re + b.re, a.im + b.im};
}

inline std::uint64_t norm(IntPhasor a) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(a.re) * a.re) +
         static_cast<std::uint64_t>(static_cast<std::int64_t>(a.im) * a.im);
}

// (value x factor) >> 16, exactly, for a factor within +-32767, in 32-bit arithmetic alone.
inline std::int32_t timesShort(std::int32_t value, std::int32_t factor) {
  return (value >> 16) * factor + ((value & 0xFFFF) * factor >> 16);
}

// Integers: 16-bit samples against a mixing table in steps of 1 / kTurnOne, so that a block of
// 48 samples (48 kHz) at full scale sums within 32 bits: 48 x 32768 x 1025 < 2^31. Each tone's
// phase is counted in 2^-32 of a turn and turns a block's sum through a table of sines in
// steps of 1 / 32767, which also takes the sum down by kDropBits, so that a window of 58 such
// blocks sums within 32 bits too (58 x 2^31 x 2^-6 < 2^31). A sum is then a sample's
// amplitude x kTurnOne / 2^kDropBits x the samples summed; what follows reads floats at full
// scale 1 (toPhasor).
struct FixedTones {
  // 32 bits each, though they hold 16: a Cortex-M0+ loads a word with an offset, which its
  // loads of a signed 16-bit value lack, and the mixing's loop is a fifth shorter.
  using Sample = std::int32_t;
  struct Turn {
    std::int32_t re;
    std::int32_t im;
  };
  using Sum = IntPhasor;
  using Level = std::uint64_t;  // a tone's level squared

  static constexpr int kTurnBits = 10;
  static constexpr int kTurnOne = 1 << kTurnBits;
  static constexpr int kDropBits = 6;
  static constexpr int kSineBits = 10;
  static constexpr int kSineSteps = 1 << kSineBits;  // per turn
  static constexpr float kToFloat = 1.0f / static_cast<float>(1 << (15 + kTurnBits - kDropBits));

  // sin(2 pi step / kSineSteps) x 32767, built by rotating one step (of 1 024) at a time.
  static constexpr std::array<std::int16_t, kSineSteps> kSine = [] {
    std::array<std::int16_t, kSineSteps> sine{};
    double c = 1.0;
    double s = 0.0;
    constexpr double kStepCos = 0.99998117528260111;  // cos(2 pi / 1024)
    constexpr double kStepSin = 0.0061358846491544753;
    for (auto& entry : sine) {
      const double scaled = s * 32767.0;
      entry = static_cast<std::int16_t>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
      const double next = c * kStepCos - s * kStepSin;
      s = s * kStepCos + c * kStepSin;
      c = next;
    }
    return sine;
  }();

  static Sample fromInt16(std::int16_t sample) { return sample; }
  static Turn turnOf(Phasor turn) {
    return {static_cast<std::int32_t>(std::lround(turn.re * static_cast<float>(kTurnOne))),
            static_cast<std::int32_t>(std::lround(turn.im * static_cast<float>(kTurnOne)))};
  }
  static Phasor toPhasor(Sum sum) {
    return {static_cast<float>(sum.re) * kToFloat, static_cast<float>(sum.im) * kToFloat};
  }
  // Each part taken down by as many bits as keep the largest within 13 (its square within 26,
  // the 22 squares' sum within 32 bits); the sum as a float, its exponent raised by as many.
  // Relative to one another, as the symbol timing weighs them, energies keep 12 bits or more.
  static float energyOf(const std::array<Sum, kToneCount>& window) {
    std::uint32_t largest = 0;
    using storedTones::sizeOf;
    for (const Sum& tone : window) largest |= sizeOf(tone.re) | sizeOf(tone.im);
    const int shift = std::max(bitWidth(largest) - 13, 0);
    std::uint32_t energy = 0;
    for (const Sum& tone : window) {
      const std::uint32_t re = sizeOf(tone.re) >> shift;
      const std::uint32_t im = sizeOf(tone.im) >> shift;
      energy += re * re + im * im;
    }
    if (energy == 0) return 0.0f;
    return bitCast<float>(bitCast<std::uint32_t>(static_cast<float>(energy)) +
                          (static_cast<std::uint32_t>(2 * shift) << 23));
  }
  static Level levelOf(Sum sum) { return norm(sum); }
  static float levelAtFullScale(Level level) {
    return std::sqrt(static_cast<float>(level)) * kToFloat;
  }
  static std::uint8_t attenuationOf(Level level, Level loudest) {
    return storedTones::attenuationOfSquares(level, loudest);
  }
  static std::uint8_t phaseOf(Sum sum) { return storedTones::phaseOf(sum.re, sum.im); }

  class Rotors {
   public:
    void set(std::size_t tone, float turnsPerBlock) {
      // The fraction is below 1 by a float's step at least, and times 2^32 exact.
      step_[tone] =
          static_cast<std::uint32_t>((turnsPerBlock - std::floor(turnsPerBlock)) * 4294967296.0f);
    }
    // sum x e^(-i 2 pi phase), at the nearest step of the sine table, and 2^kDropBits smaller.
    Sum turn(std::size_t tone, Sum sum) {
      constexpr int kBelowStep = 32 - kSineBits;
      const std::uint32_t step = (now_[tone] + (1u << (kBelowStep - 1))) >> kBelowStep;
      now_[tone] += step_[tone];
      const std::int32_t s = kSine[step % kSineSteps];
      const std::int32_t c = kSine[(step + kSineSteps / 4) % kSineSteps];
      constexpr int kShift = kDropBits - 1;  // after timesShort's 16 of the table's 15 bits
      return {(timesShort(sum.re, c) + timesShort(sum.im, s)) >> kShift,
              (timesShort(sum.im, c) - timesShort(sum.re, s)) >> kShift};
    }
    void renormalize() {}
    void startOver() { now_.fill(0); }

   private:
    std::array<std::uint32_t, kToneCount> step_{};
    std::array<std::uint32_t, kToneCount> now_{};
  };
};

#if SONICSEND_LISTENER_FIXED
using CoreTones = FixedTones;
#else
using CoreTones = FloatTones;
#endif
// The eleven tones of a block or a window, as the core counts them.
using ToneSums = std::array<CoreTones::Sum, kToneCount>;

}  // namespace sonicsend::receiver
