#include "symbols.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "ToneWindows.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// The grid is searched in steps of one block. The residual misalignment, at most half a
// block, costs 0.3 % of a tone's level.
constexpr std::size_t kBlockSamples = 16;
constexpr std::size_t kBlocksPerSymbol = kSymbolSamples / kBlockSamples;
// A tenth of a symbol: a window reaching this far past either end still reads its symbol.
constexpr std::ptrdiff_t kEdgePadding = kSymbolSamples / 10;
static_assert(kSymbolSamples % kBlockSamples == 0);

using Sum = std::complex<double>;
// Per tone, the running sum of the shifted recording at every block boundary: entry b covers
// samples 0 to b x kBlockSamples - 1. A window's tone level is the difference of two entries.
using RunningSums = std::array<std::vector<Sum>, kToneCount>;

// Each tone shifted down to 0 Hz by the listening core's mixer, in blocks, and summed.
RunningSums demodulate(std::span<const float> samples) {
  constexpr auto kBlock = static_cast<int>(kBlockSamples);
  std::array<Phasor, ToneMixer<FloatTones>::tableSize(kBlock)> table{};
  ToneMixer<FloatTones> mixer(kSampleRate, kBlock, table.data());
  const std::size_t blocks = samples.size() / kBlockSamples;
  RunningSums sums;
  for (auto& tone : sums) tone.resize(blocks + 1);
  std::array<Sum, kToneCount> total{};
  for (std::size_t block = 0; block < blocks; ++block) {
    mixer.mix(samples.data() + block * kBlockSamples, [&](std::size_t tone, Phasor sum) {
      total[tone] += Sum(sum.re, sum.im);
      sums[tone][block + 1] = total[tone];
    });
    if ((block + 1) % kBlocksPerSymbol == 0) mixer.renormalize();
  }
  return sums;
}

// Energy of all tones in the windows that start at the given blocks. Inside a window aligned
// with the symbols each tone is either on or off throughout; a window straddling a boundary
// splits every tone that changes there and loses energy.
double windowEnergy(const RunningSums& sums, std::size_t firstBlock, std::size_t windows) {
  double energy = 0.0;
  for (std::size_t w = 0, b = firstBlock; w < windows; ++w, b += kBlocksPerSymbol) {
    for (const auto& tone : sums) energy += std::norm(tone[b + kBlocksPerSymbol] - tone[b]);
  }
  return energy;
}

std::size_t windowsFrom(std::size_t firstBlock, std::size_t blocks) {
  return blocks < firstBlock + kBlocksPerSymbol ? 0 : (blocks - firstBlock) / kBlocksPerSymbol;
}

// The phase whose windows hold the most energy. Phases that fit one window more than others
// gain that window's energy, so this is only near the best phase, within a few blocks.
std::size_t roughPhase(const RunningSums& sums, std::size_t blocks) {
  std::size_t best = 0;
  double bestEnergy = -1.0;
  for (std::size_t phase = 0; phase < kBlocksPerSymbol; ++phase) {
    const double energy = windowEnergy(sums, phase, windowsFrom(phase, blocks));
    if (energy > bestEnergy) {
      bestEnergy = energy;
      best = phase;
    }
  }
  return best;
}

// Moves the rough phase by up to kRefineReach blocks either way, comparing the shifted
// windows of the same symbols, so that no shift gains or loses a window.
constexpr std::size_t kRefineReach = 16;

std::size_t refinePhase(const RunningSums& sums, std::size_t blocks, std::size_t rough) {
  // Windows j = 1 ... whose every shift lies inside the recording.
  const std::size_t first = rough + kBlocksPerSymbol - kRefineReach;
  if (blocks < first + 2 * kRefineReach) return rough;
  const std::size_t windows = windowsFrom(first, blocks - 2 * kRefineReach);
  if (windows == 0) return rough;
  std::size_t best = first + kRefineReach;
  double bestEnergy = -1.0;
  for (std::size_t start = first; start <= first + 2 * kRefineReach; ++start) {
    const double energy = windowEnergy(sums, start, windows);
    if (energy > bestEnergy) {
      bestEnergy = energy;
      best = start;
    }
  }
  return best % kBlocksPerSymbol;
}

}  // namespace

SymbolGrid measureSymbols(std::span<const float> samples) {
  SymbolGrid grid;
  if (samples.size() < static_cast<std::size_t>(kSymbolSamples)) return grid;
  // Silence on both sides lets the first and last symbols keep their windows when the grid
  // lands a little before or after them, as it may when the recording starts or ends exactly
  // on a symbol boundary.
  std::vector<float> padded(samples.size() + 2 * kEdgePadding, 0.0f);
  std::copy(samples.begin(), samples.end(), padded.begin() + kEdgePadding);
  const RunningSums sums = demodulate(padded);
  const std::size_t blocks = sums[0].size() - 1;
  const std::size_t phase = refinePhase(sums, blocks, roughPhase(sums, blocks));
  // Levels in units of tone amplitude: a full-window cosine of amplitude A measures A.
  const double scale = 2.0 / kSymbolSamples;
  for (std::size_t b = phase; b + kBlocksPerSymbol <= blocks; b += kBlocksPerSymbol) {
    ToneLevels levels{};
    TonePhasors phasors{};
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const Sum phasor = scale * (sums[tone][b + kBlocksPerSymbol] - sums[tone][b]);
      phasors[tone] = std::complex<float>(phasor);
      levels[tone] = static_cast<float>(std::abs(phasor));
    }
    grid.levels.push_back(levels);
    grid.phasors.push_back(phasors);
  }
  return grid;
}

}  // namespace sonicsend::receiver
