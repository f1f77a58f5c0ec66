// The simulator's FFT, on which every room, band limit and babble depends, against the
// transform written out as its definition.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "fft.h"

namespace sonicsend::simulator {
namespace {

Spectrum directDft(const Spectrum& x, bool inverse) {
  const double sign = inverse ? 1.0 : -1.0;
  const auto n = static_cast<double>(x.size());
  Spectrum out(x.size());
  for (std::size_t k = 0; k < x.size(); ++k) {
    for (std::size_t j = 0; j < x.size(); ++j) {
      const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>(k * j) / n;
      out[k] += x[j] * std::polar(1.0, angle);
    }
  }
  return out;
}

TEST(Fft, MatchesTheDirectTransformBothWays) {
  std::mt19937 random(5);
  std::normal_distribution<double> gauss(0.0, 1.0);
  for (std::size_t size : {1u, 2u, 4u, 8u, 64u, 512u}) {
    for (bool inverse : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (inverse ? " inverse" : " forward"));
      Spectrum x(size);
      for (auto& value : x) value = {gauss(random), gauss(random)};
      const Spectrum expected = directDft(x, inverse);
      fft(x, inverse);
      for (std::size_t k = 0; k < size; ++k) EXPECT_LT(std::abs(x[k] - expected[k]), 1e-9) << k;
    }
  }
}

}  // namespace
}  // namespace sonicsend::simulator
