// The inner loops of the fast synthesiser. A tone pass adds one tone to a run of consecutive
// samples with a cosine that vectorises, rounding to single precision after the addition as
// the libm path does. Where that cosine's known error bound leaves the rounding open, the pass
// marks the sample, and the caller recomputes it with libm cos. Internal to the library.
#pragma once

#include <cstdint>
#include <cstring>

#include "tones.h"

namespace sonicsend::synthesis {

// std::bit_cast, which the C++ library of the WebAssembly toolchain (Emscripten 3.1) lacks.
template <class To, class From>
[[gnu::always_inline]] inline To bitsOf(const From& from) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

// cos(phase) for every phase the synthesiser computes, (omega x i) / kSampleRate with i below
// 307 200, so 0 <= phase < 135 717. Its distance from libm cos stays below kMaxError there:
//  - reduction by pi in two parts: k x kPiHigh is exact (k < 2^16, kPiHigh has 37 bits) and so
//    is phase - k x kPiHigh (Sterbenz); one rounding of the second part, 2^-53 at most;
//  - the polynomial in r^2 on |r| <= pi/2 approximates cos within 2.02e-15 with its
//    coefficients as rounded to double; squaring and evaluation add below 5e-16;
//  - libm cos itself is within one ulp (2^-53 below 1) of cos.
// The tests check the bound against libm at every reachable phase.
struct PolynomialCosine {
  static constexpr double kMaxError = 4e-15;

  [[gnu::always_inline]] static double evaluate(double phase) {
    constexpr double kInvPi = 0.3183098861837907;
    constexpr double kPiHigh = 0x1.921fb54440000p+1;  // pi to 37 bits
    constexpr double kPiLow = 0x1.68c234c4c6629p-38;  // pi - kPiHigh to 53 bits
    constexpr double kRoundingShift = 0x1.8p52;       // adding it rounds to an integer
    constexpr double c0 = 0.9999999999999981, c1 = -0.49999999999989964, c2 = 0.04166666666581174,
                     c3 = -0.0013888888861136018, c4 = 2.4801582876025442e-05,
                     c5 = -2.755693576743957e-07, c6 = 2.085832791850457e-09,
                     c7 = -1.1008071115518256e-11;
    // phase = k x pi + r with |r| <= pi/2 (plus a rounding); cos(phase) = (-1)^k cos(r).
    const double shifted = phase * kInvPi + kRoundingShift;
    const double k = shifted - kRoundingShift;
    const double r = (phase - k * kPiHigh) - k * kPiLow;
    const double x = r * r;
    const double x2 = x * x;
    const double x4 = x2 * x2;
    const double c =
        ((c0 + c1 * x) + x2 * (c2 + c3 * x)) + x4 * ((c4 + c5 * x) + x2 * (c6 + c7 * x));
    // The lowest bit of `shifted` is the parity of k.
    const std::uint64_t sign = bitsOf<std::uint64_t>(shifted) << 63;
    return bitsOf<double>(bitsOf<std::uint64_t>(c) ^ sign);
  }
};

// One tone of a pass. `margin` bounds how far the double sum computed with libm cos may lie
// from the one computed with the pass's cosine (see roundingMargin).
struct ToneStep {
  double omega;
  double amplitude;
  double margin;
};

// With |cosine - libm cos| <= maxError, the products amplitude x cosine differ by at most
// amplitude x maxError plus their two roundings (2^-57 each, as |product| < 1/8); the sums,
// all below 1 in magnitude, add one rounding each (2^-54), and so does widening the computed
// sum by the margin. 2^-51 covers the roundings with room to spare.
constexpr double roundingMargin(double amplitude, double maxError) {
  return amplitude * maxError + 0x1p-51;
}

// Rounds `sum` to single precision into `sample` and reports whether every double within
// `margin` of it rounds the same way. Rounding is monotonic, so when both ends of the interval
// give the same float, so does the exact libm sum inside it.
[[gnu::always_inline]] inline bool roundSafely(double sum, double margin, float& sample) {
  const float low = static_cast<float>(sum - margin);
  const float high = static_cast<float>(sum + margin);
  sample = low;
  return low == high;
}

// Samples [first, first + count) of the signal, one unsure flag each.
struct Run {
  int first;
  int count;
  float* samples;
  std::uint8_t* unsure;
};

// The carrier, as the first tone of every sample: sample = float(amplitude x cos(phase)).
// The passes are inlined into each caller, so that each vector build of the caller gets its
// own loops; they copy what they read from `run` and the step, so that no store through the
// sample pointer can change it and the compiler can vectorise.
template <class Cosine>
[[gnu::always_inline]] inline void startRun(const ToneStep& carrier, const Run& run) {
  const auto [omega, amplitude, margin] = carrier;
  const auto [first, count, samples, unsure] = run;
  for (int n = 0; n < count; ++n) {
    const double phase =
        (omega * static_cast<double>(first + n)) / static_cast<double>(kSampleRate);
    const double sum = amplitude * Cosine::evaluate(phase);
    unsure[n] = static_cast<std::uint8_t>(!roundSafely(sum, margin, samples[n]));
  }
}

// A further tone: sample = float(double(sample) + amplitude x cos(phase)).
template <class Cosine>
[[gnu::always_inline]] inline void addToRun(const ToneStep& tone, const Run& run) {
  const auto [omega, amplitude, margin] = tone;
  const auto [first, count, samples, unsure] = run;
  for (int n = 0; n < count; ++n) {
    const double phase =
        (omega * static_cast<double>(first + n)) / static_cast<double>(kSampleRate);
    const double sum = static_cast<double>(samples[n]) + amplitude * Cosine::evaluate(phase);
    const bool settled = roundSafely(sum, margin, samples[n]);
    unsure[n] = static_cast<std::uint8_t>(unsure[n] | !settled);
  }
}

// A cosine's two passes and its error bound, as the synthesiser takes them.
struct ToneKernel {
  void (*start)(const ToneStep& carrier, const Run& run);
  void (*add)(const ToneStep& tone, const Run& run);
  double maxError;
};

template <class Cosine>
constexpr ToneKernel kernelFor() {
  return {&startRun<Cosine>, &addToRun<Cosine>, Cosine::kMaxError};
}

// PolynomialCosine's passes: on x86-64 the AVX2 build where the processor has it, else the
// portable one; the same operations in the same order on either.
ToneKernel polynomialKernel();

}  // namespace sonicsend::synthesis
