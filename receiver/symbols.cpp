#include "symbols.h"

#include <cmath>
#include <complex>
#include <numbers>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// Tone k completes k whole cycles every 256 samples: k x 44100 / 256 Hz lies within 0.007 Hz
// of the sent k x 172.266 Hz, a phase drift of 0.003 rad over one symbol. So one 256-entry
// table per tone shifts the whole recording down to 0 Hz.
constexpr std::size_t kTablePeriod = 256;
// The grid is searched in steps of one block. The residual misalignment, at most half a
// block, costs 0.3 % of a tone's level.
constexpr std::size_t kBlock = 16;
constexpr std::size_t kBlocksPerSymbol = kSymbolSamples / kBlock;
static_assert(kTablePeriod % kBlock == 0 && kSymbolSamples % kBlock == 0);

using Phasor = std::complex<double>;
// Per tone, the running sum of the shifted recording at every block boundary: entry b covers
// samples 0 to b x kBlock - 1. A window's tone level is the difference of two entries.
using RunningSums = std::array<std::vector<Phasor>, kToneCount>;

struct ToneTable {
  std::array<std::array<float, kTablePeriod>, kToneCount> cosine;
  std::array<std::array<float, kTablePeriod>, kToneCount> sine;

  ToneTable() {
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const auto k = static_cast<double>(kCarrierEvenK) + static_cast<double>(tone);
      for (std::size_t n = 0; n < kTablePeriod; ++n) {
        const double angle = 2.0 * std::numbers::pi * k * static_cast<double>(n) / kTablePeriod;
        cosine[tone][n] = static_cast<float>(std::cos(angle));
        sine[tone][n] = static_cast<float>(std::sin(angle));
      }
    }
  }
};

RunningSums demodulate(std::span<const float> samples) {
  static const ToneTable table;
  const std::size_t blocks = samples.size() / kBlock;
  RunningSums sums;
  for (std::size_t tone = 0; tone < kToneCount; ++tone) {
    const auto& cosine = table.cosine[tone];
    const auto& sine = table.sine[tone];
    auto& out = sums[tone];
    out.resize(blocks + 1);
    Phasor total{};
    for (std::size_t block = 0; block < blocks; ++block) {
      const std::size_t first = block * kBlock;
      const std::size_t phase = first % kTablePeriod;
      float re = 0.0f;
      float im = 0.0f;
      for (std::size_t n = 0; n < kBlock; ++n) {
        re += samples[first + n] * cosine[phase + n];
        im -= samples[first + n] * sine[phase + n];
      }
      total += Phasor(re, im);
      out[block + 1] = total;
    }
  }
  return sums;
}

// Mean energy of all tones in the windows that start at block `phase` and every symbol after.
// Inside a window aligned with the symbols each tone is either on or off throughout; a window
// straddling a boundary splits every tone that changes there and loses energy.
double alignedEnergy(const RunningSums& sums, std::size_t phase) {
  const std::size_t blocks = sums[0].size() - 1;
  double energy = 0.0;
  std::size_t windows = 0;
  for (std::size_t b = phase; b + kBlocksPerSymbol <= blocks; b += kBlocksPerSymbol, ++windows) {
    for (const auto& tone : sums) energy += std::norm(tone[b + kBlocksPerSymbol] - tone[b]);
  }
  return windows == 0 ? 0.0 : energy / static_cast<double>(windows);
}

std::size_t bestPhase(const RunningSums& sums) {
  std::size_t best = 0;
  double bestEnergy = -1.0;
  for (std::size_t phase = 0; phase < kBlocksPerSymbol; ++phase) {
    const double energy = alignedEnergy(sums, phase);
    if (energy > bestEnergy) {
      bestEnergy = energy;
      best = phase;
    }
  }
  return best;
}

}  // namespace

SymbolGrid measureSymbols(std::span<const float> samples) {
  SymbolGrid grid;
  if (samples.size() < static_cast<std::size_t>(kSymbolSamples)) return grid;
  const RunningSums sums = demodulate(samples);
  const std::size_t phase = bestPhase(sums);
  const std::size_t blocks = sums[0].size() - 1;
  grid.firstSample = phase * kBlock;
  // Levels in units of tone amplitude: a full-window cosine of amplitude A measures A.
  const double scale = 2.0 / kSymbolSamples;
  for (std::size_t b = phase; b + kBlocksPerSymbol <= blocks; b += kBlocksPerSymbol) {
    ToneLevels levels{};
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      levels[tone] =
          static_cast<float>(scale * std::abs(sums[tone][b + kBlocksPerSymbol] - sums[tone][b]));
    }
    grid.levels.push_back(levels);
  }
  return grid;
}

}  // namespace sonicsend::receiver
