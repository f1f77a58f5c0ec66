#include "fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace sonicsend::simulator {

void fft(Spectrum& data, bool inverse) {
  const std::size_t n = data.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(data[i], data[j]);
  }
  // Written out: std::complex's product checks for infinities and is several times slower.
  std::vector<double> cosines(n / 2), sines(n / 2);
  for (std::size_t k = 0; k < n / 2; ++k) {
    const double angle =
        (inverse ? 2.0 : -2.0) * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
    cosines[k] = std::cos(angle);
    sines[k] = std::sin(angle);
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const std::size_t half = length / 2;
    const std::size_t stride = n / length;
    for (std::size_t start = 0; start < n; start += length) {
      for (std::size_t k = 0; k < half; ++k) {
        const double wr = cosines[k * stride];
        const double wi = sines[k * stride];
        auto& even = data[start + k];
        auto& odd = data[start + k + half];
        const double re = odd.real() * wr - odd.imag() * wi;
        const double im = odd.real() * wi + odd.imag() * wr;
        odd = {even.real() - re, even.imag() - im};
        even = {even.real() + re, even.imag() + im};
      }
    }
  }
}

std::size_t powerOfTwoAbove(std::size_t n) {
  std::size_t size = 1;
  while (size < n) size <<= 1;
  return size;
}

}  // namespace sonicsend::simulator
