#include "carrier.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

bool isEven(std::size_t window, std::size_t evenOffset) {
  return (window + evenOffset) % 2 == 0;
}

double carrierAt(std::span<const ToneLevels> levels, std::size_t window, std::size_t evenOffset) {
  return levels[window][isEven(window, evenOffset) ? kEvenCarrier : kOddCarrier];
}

}  // namespace

std::optional<std::size_t> findCarrier(std::span<const ToneLevels> levels) {
  const int parity = carrierParity(levels.size(), [&](std::size_t w) {
    return static_cast<double>(levels[w][kEvenCarrier]) - levels[w][kOddCarrier];
  });
  if (parity < 0) return std::nullopt;
  return static_cast<std::size_t>(parity);
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

Presences measurePresence(std::span<const ToneLevels> levels, std::size_t evenOffset,
                          std::span<const double> references, double noise) {
  Presences presence;
  presence.heard.resize(levels.size());
  presence.erased.resize(levels.size());
  for (std::size_t w = 0; w < levels.size(); ++w) {
    Levels own{};
    std::ranges::copy(levels[w], own.begin());
    const auto [heard, erased] =
        presenceOf(own, carrierAt(levels, w, evenOffset), references[w], noise);
    presence.heard[w] = heard;
    presence.erased[w] = erased;
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
