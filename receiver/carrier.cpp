#include "carrier.h"

#include <algorithm>

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
  if (levels.size() < std::size_t{kFrameWindows}) return std::nullopt;
  const auto evenOffset = findCarrier(levels);
  if (!evenOffset) return std::nullopt;
  HeardWindows windows;
  windows.levels = levels;
  windows.evenOffset = *evenOffset;
  windows.references = carrierReferences(levels, *evenOffset);
  windows.reads = readWindows(levels, windows.references);
  windows.noise = noiseShare(
      levels.size(), [&](std::size_t w) { return levels[w]; },
      [&](std::size_t w) { return windows.references[w]; },
      [&](std::size_t w) { return windows.reads[w].byte; });
  windows.presence = measurePresence(levels, *evenOffset, windows.references, windows.noise);
  return windows;
}

}  // namespace sonicsend::receiver
