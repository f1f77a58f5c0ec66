// The discrete Fourier transform the channel effects filter and convolve through.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace sonicsend::simulator {

using Spectrum = std::vector<std::complex<double>>;

// In-place radix-2 FFT; `data.size()` is a power of two. `inverse` leaves the 1/N scaling out.
void fft(Spectrum& data, bool inverse);

// The smallest power of two not below `n`.
std::size_t powerOfTwoAbove(std::size_t n);

}  // namespace sonicsend::simulator
