// Whether the sender's carriers sound in a grid of symbol windows, which windows are even
// symbols, and how much of each window's sound a dropout left: the steps between measuring the
// tones and reading frames from them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "reading.h"
#include "symbols.h"

namespace sonicsend::receiver {

// Whether the carriers show (carrierParity): the even-symbol offset (window w is an even
// symbol when w + offset is even), or nothing when no signal shows.
std::optional<std::size_t> findCarrier(std::span<const ToneLevels> levels);

// Each window's reference level: the median of the carriers on each side of it, so that a
// loud disturbance next to a window does not raise its threshold.
std::vector<double> carrierReferences(std::span<const ToneLevels> levels, std::size_t evenOffset);

// The plain reading: every window's byte, against its own reference level.
std::vector<SymbolRead> readWindows(std::span<const ToneLevels> levels,
                                    std::span<const double> references);

// How much of each window's sound was heard, as a dropout leaves it (presenceOf).
struct Presences {
  std::vector<double> heard;  // 1; what the carrier kept of a window cut short; 0 when erased
  std::vector<bool> erased;   // too little left to read a frame holding it on its own
};

Presences measurePresence(std::span<const ToneLevels> levels, std::size_t evenOffset,
                          std::span<const double> references, double noise);

// Everything the frame search asks of the windows, measured once.
struct HeardWindows {
  std::span<const ToneLevels> levels;  // what they were measured from: it must outlive them
  std::size_t evenOffset = 0;
  std::vector<double> references;
  std::vector<SymbolRead> reads;
  double noise = 1.0;  // noiseShare
  Presences presence;
};

// The steps above in order; nothing when the carriers do not show in at least a frame.
std::optional<HeardWindows> hearWindows(std::span<const ToneLevels> levels);

}  // namespace sonicsend::receiver
