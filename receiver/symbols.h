// Finds the symbol grid of a 44.1 kHz recording and measures the eleven tones of every symbol.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "reading.h"

namespace sonicsend::receiver {

// Each tone's amplitude and phase over a window, shifted down to 0 Hz.
using TonePhasors = std::array<std::complex<float>, kToneCount>;

struct SymbolGrid {
  std::vector<ToneLevels> levels;    // tone magnitudes, one entry per whole symbol window
  std::vector<TonePhasors> phasors;  // the same tones with their phases
};

// Places windows of one symbol length where the tones change least inside a window, that is,
// on the sender's symbol boundaries, and measures every tone in each of them.
SymbolGrid measureSymbols(std::span<const float> samples);

}  // namespace sonicsend::receiver
