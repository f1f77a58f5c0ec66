// The front end against the truth: a tone of known amplitude and phase, sampled in 16 bits,
// measures as that amplitude over the window, at that phase, in either way the core counts
// (frontEndNumbers.h). This file builds into the tests of the float core and of the integer
// one (SONICSEND_LISTENER_FIXED=1), so both meet the same truth within the same tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "ToneWindows.h"
#include "storedTones.h"

namespace sonicsend::testing {
namespace {

using receiver::CoreTones;
using receiver::ToneWindows;

constexpr double kPi = 3.14159265358979323846;

// Tone `tone` (k = 8 + tone) at `rate`, of `amplitude` (of full scale) and `phase`, or its
// square wave, into the tone windows until the third window ends: that window's tones, as the
// steps after the front end read them.
std::vector<std::complex<double>> windowOf(int rate, std::size_t tone, double amplitude,
                                           double phase, bool square) {
  std::vector<ToneWindows::MixTurn> table(ToneWindows::mixTableSize(rate));
  const auto windows = std::make_unique<ToneWindows>(rate, table.data());
  const double cyclesPerSample = (8.0 + static_cast<double>(tone)) * kSampleRate / 256.0 / rate;
  int ended = 0;
  for (long n = 0; ended < 3; ++n) {
    const double wave = std::cos(2.0 * kPi * cyclesPerSample * static_cast<double>(n) + phase);
    const double sample = square ? (wave < 0.0 ? -1.0 : 1.0) : wave;
    const auto value = static_cast<std::int16_t>(std::lround(amplitude * sample * 32767.0));
    ended += windows->add(CoreTones::fromInt16(value)) ? 1 : 0;
  }
  std::vector<std::complex<double>> tones;
  for (const auto& sum : windows->window()) {
    const receiver::Phasor p = CoreTones::toPhasor(sum);
    tones.emplace_back(p.re, p.im);
  }
  return tones;
}

// A window sums 58 blocks of about a millisecond: a tone of amplitude A at phase p sums to
// A / 2 x e^(i p) per sample (its mirror image nearly cancels over the window), a square wave's
// fundamental to 2 / pi of its height; each within half a percent, and every other tone within
// 2 % of it. A full-scale square wave at 48 kHz makes about the largest sums any input makes:
// a table's step or a block's turn two times too fine overflows there. At -60 dBFS a tone spans
// 33 steps of 16 bits, which the sums keep.
TEST(ToneWindows, MeasureAToneOfKnownAmplitudeAndPhase) {
  const struct {
    const char* name;
    int rate;
    std::size_t tone;
    double amplitude;
    double phase;
    bool square;
  } rows[] = {
      {"16 kHz, half scale, k = 8", 16000, 0, 0.5, 0.3, false},
      {"16 kHz, half scale, k = 18", 16000, 10, 0.5, -2.0, false},
      {"8 kHz, k = 13", 8000, 5, 0.5, 1.0, false},
      {"22.05 kHz, k = 11", 22050, 3, 0.5, 2.5, false},
      {"16 kHz, -60 dBFS, k = 12", 16000, 4, 0.001, -1.0, false},
      {"48 kHz, full-scale square wave, k = 18", 48000, 10, 1.0, 0.0, true},
      {"48 kHz, full-scale square wave, k = 8", 48000, 0, 1.0, 0.5, true},
      {"44.1 kHz, full scale, k = 16", 44100, 8, 1.0, 3.0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<std::complex<double>> tones =
        windowOf(row.rate, row.tone, row.amplitude, row.phase, row.square);
    const double samples = ToneWindows::kWindowBlocks * ToneWindows::blockSamplesFor(row.rate);
    const double height = row.square ? 4.0 / kPi : 1.0;
    const std::complex<double> truth =
        std::polar(row.amplitude * height / 2.0 * samples, row.phase);
    EXPECT_LE(std::abs(tones[row.tone] - truth), 0.005 * std::abs(truth));
    for (std::size_t other = 0; other < tones.size(); ++other) {
      if (other != row.tone) {
        EXPECT_LE(std::abs(tones[other]), 0.02 * std::abs(truth)) << other;
      }
    }
  }
}

// A window's level and phase kept from integers, as the integer build keeps them, lie within a
// step of those kept from floats: phases all round the circle and at its axes, levels from the
// loudest down to silence, from sums of a few steps to full 32 bits.
TEST(StoredTones, FromIntegersAsFromFloats) {
  namespace stored = receiver::storedTones;
  const auto stepsApart = [](int a, int b) { return std::min((a - b) & 255, (b - a) & 255); };
  for (double size : {3.0, 1000.0, 2.0e9}) {
    for (int degree = -180; degree < 180; degree += 5) {
      const std::complex<double> sum = std::polar(size, degree * kPi / 180.0);
      const auto re = static_cast<std::int32_t>(std::lround(sum.real()));
      const auto im = static_cast<std::int32_t>(std::lround(sum.imag()));
      EXPECT_LE(stepsApart(stored::phaseOf(re, im),
                           stored::phaseOf(static_cast<float>(re), static_cast<float>(im))),
                1)
          << size << " at " << degree;
    }
  }
  for (double loudest : {1000.0, 1.0e9}) {
    for (double decibels = 0.0; decibels < 70.0; decibels += 0.35) {
      const double level = std::round(loudest * std::pow(10.0, -decibels / 20.0));
      const auto squared = [](double v) {
        return static_cast<std::uint64_t>(v) * static_cast<std::uint64_t>(v);
      };
      const int fromFloats =
          stored::attenuationOf(static_cast<float>(level), static_cast<float>(loudest));
      const int fromIntegers = stored::attenuationOfSquares(squared(level), squared(loudest));
      EXPECT_LE(std::abs(fromIntegers - fromFloats), 1) << loudest << " at -" << decibels << " dB";
    }
  }
  EXPECT_EQ(stored::attenuationOfSquares(0, 100), stored::kSilent);
  EXPECT_EQ(stored::phaseOf(0, 0), 0);
}

}  // namespace
}  // namespace sonicsend::testing
