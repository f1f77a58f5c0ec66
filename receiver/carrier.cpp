#include "carrier.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// The carrier must stand out from the other carrier by this many standard errors before the
// windows are read at all; noise alone reaches 6 about once in a billion tries.
constexpr double kSignalScore = 6.0;
// Stretches that may show the carrier on their own, between loud disturbances: three frames,
// and one frame with a higher score, since few windows make a chance score likelier.
struct Stretch {
  std::size_t windows;
  double score;
};
constexpr std::array<Stretch, 2> kCarrierStretches = {{{30, kSignalScore}, {10, 2 * kSignalScore}}};
// A window whose carrier falls below this share of its reference level lost part of its sound
// (a dropout): it counts only by what was heard of it when passes are added up; below the
// last share, not at all, since the tones cut off in it spill into one another. A window
// that lost half its sound reads as a byte of silence or near it, so a frame holding one
// never checks on its own.
constexpr double kWholeFrom = 0.8;
constexpr double kReadAloneFrom = 0.5;
constexpr double kErasedBelow = 0.1;
// A carrier counts as cut short only when it falls below its reference by this many times
// what noise measures in a tone that is off (the median: about 3.5 standard deviations).
constexpr double kDropBeyondNoise = 3.0;

bool isEven(std::size_t window, std::size_t evenOffset) {
  return (window + evenOffset) % 2 == 0;
}

double carrierAt(std::span<const ToneLevels> levels, std::size_t window, std::size_t evenOffset) {
  return levels[window][isEven(window, evenOffset) ? kEvenCarrier : kOddCarrier];
}

// What a window's carrier kept of its reference level.
double kept(double carrier, double reference) {
  return reference > 0.0 ? carrier / reference : 1.0;
}

// Whether a window lost part of its sound: its carrier fell further below its reference level
// than noise explains, and no tone in it sounds as loud as the reference either (a clipped
// window loses carrier to its loud tones, a cut one loses everything).
bool cutShort(const ToneLevels& level, double share, double reference, double noise) {
  if (1.0 - share <= kDropBeyondNoise * noise) return false;
  double loudest = level[toneIndex(kParityK)];
  for (int k : kBitToneK) loudest = std::max<double>(loudest, level[toneIndex(k)]);
  return loudest < reference;
}

}  // namespace

std::optional<std::size_t> findCarrier(std::span<const ToneLevels> levels) {
  const std::size_t count = levels.size();
  std::vector<double> sums(count + 1, 0.0);
  std::vector<double> squares(count + 1, 0.0);
  long votes = 0;  // signs rather than sizes: a loud disturbance has one vote per window
  for (std::size_t w = 0; w < count; ++w) {
    const double d = static_cast<double>(levels[w][kEvenCarrier]) - levels[w][kOddCarrier];
    const double signedD = w % 2 == 0 ? d : -d;
    sums[w + 1] = sums[w] + signedD;
    squares[w + 1] = squares[w] + d * d;
    votes += signedD > 0.0 ? 1 : (signedD < 0.0 ? -1 : 0);
  }
  const std::size_t evenOffset = votes >= 0 ? 0 : 1;
  // The mean difference in standard errors, over windows first ... last - 1.
  const auto standsOut = [&](std::size_t first, std::size_t last, double score) {
    const double n = static_cast<double>(last - first);
    const double mean = std::abs(sums[last] - sums[first]) / n;
    const double variance = std::max(0.0, (squares[last] - squares[first]) / n - mean * mean);
    return mean > 0.0 && mean * mean * n >= score * score * variance;
  };
  if (count == 0) return std::nullopt;
  if (standsOut(0, count, kSignalScore)) return evenOffset;
  for (const auto& [length, score] : kCarrierStretches) {
    const std::size_t stretch = std::min(count, length);
    for (std::size_t first = 0; first + stretch <= count; ++first) {
      if (standsOut(first, first + stretch, score)) return evenOffset;
    }
  }
  return std::nullopt;
}

std::vector<double> carrierReferences(std::span<const ToneLevels> levels, std::size_t evenOffset) {
  std::vector<double> references(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    references[w] = carrierReference(
        w, levels.size(), [&](std::size_t v) { return carrierAt(levels, v, evenOffset); });
  }
  return references;
}

std::vector<SymbolRead> readWindows(std::span<const ToneLevels> levels,
                                    std::span<const double> references) {
  std::vector<SymbolRead> reads(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    Levels own{};
    std::copy(levels[w].begin(), levels[w].end(), own.begin());
    reads[w] = readSymbol(own, references[w]);
  }
  return reads;
}

double noiseShare(std::span<const ToneLevels> levels, std::span<const double> references,
                  std::span<const SymbolRead> reads) {
  std::vector<double> shares;
  for (std::size_t w = 0; w < levels.size(); ++w) {
    if (references[w] <= 0.0) continue;
    const std::uint8_t byte = reads[w].byte;
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      if (!soundsIn(byte, bit)) shares.push_back(levels[w][toneOf(bit)] / references[w]);
    }
  }
  if (shares.empty()) return 1.0;
  const auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
  std::nth_element(shares.begin(), middle, shares.end());
  return *middle;
}

Presence measurePresence(std::span<const ToneLevels> levels, std::size_t evenOffset,
                         std::span<const double> references, double noise) {
  Presence presence;
  presence.heard.resize(levels.size());
  presence.erased.resize(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    const double share = kept(carrierAt(levels, w, evenOffset), references[w]);
    const bool cut = cutShort(levels[w], share, references[w], noise);
    presence.heard[w] = !cut || share >= kWholeFrom ? 1.0 : share >= kErasedBelow ? share : 0.0;
    presence.erased[w] = cut && share < kReadAloneFrom;
  }
  return presence;
}

std::optional<HeardWindows> hearWindows(std::span<const ToneLevels> levels) {
  if (levels.size() < kSymbolsPerFrame) return std::nullopt;
  const auto evenOffset = findCarrier(levels);
  if (!evenOffset) return std::nullopt;
  HeardWindows windows;
  windows.levels = levels;
  windows.evenOffset = *evenOffset;
  windows.references = carrierReferences(levels, *evenOffset);
  windows.reads = readWindows(levels, windows.references);
  windows.noise = noiseShare(levels, windows.references, windows.reads);
  windows.presence = measurePresence(levels, *evenOffset, windows.references, windows.noise);
  return windows;
}

}  // namespace sonicsend::receiver
