// From tone levels to bytes and frames, and how sure a frame reading is.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>

#include "symbols.h"
#include "tones.h"

namespace sonicsend::receiver {

inline constexpr std::size_t kSymbolsPerFrame = kFrameBytes;
inline constexpr int kMaxFrames = kMaxMessageBytes / kFramePayloadBytes;

using FrameBytes = std::array<std::uint8_t, kFrameBytes>;

// Where tone k lies among the eleven measured, k = 8 ... 18.
inline constexpr std::size_t toneIndex(int k) {
  return static_cast<std::size_t>(k - kCarrierEvenK);
}
inline constexpr std::size_t kEvenCarrier = toneIndex(kCarrierEvenK);
inline constexpr std::size_t kOddCarrier = toneIndex(kCarrierOddK);
using Levels = std::array<double, kToneCount>;

// One symbol's byte, and what reading each of its tones the other way would cost.
struct SymbolRead {
  static constexpr std::size_t kTones = kBitToneK.size() + 1;  // the bit tones, then parity
  std::uint8_t byte = 0;
  // How far each tone's level lies on the side taken, in units of the threshold; negative
  // for the tone flipped to make the count of tones even.
  std::array<double, kTones> margin{};
};

// Where a symbol's bit tone 0 ... 7, or its parity tone (8), lies among the eleven measured.
inline constexpr std::size_t toneOf(std::size_t bitOrParity) {
  return toneIndex(bitOrParity < kBitToneK.size() ? kBitToneK[bitOrParity] : kParityK);
}

// Whether bit tone 0 ... 7, or the parity tone (8), sounds in a symbol carrying `byte`: the
// parity tone makes the count of tones even.
inline bool soundsIn(std::uint8_t byte, std::size_t bitOrParity) {
  if (bitOrParity < kBitToneK.size()) return ((byte >> bitOrParity) & 1) != 0;
  return std::popcount(byte) % 2 != 0;
}

// Windows on each side whose carriers set a window's reference level.
inline constexpr std::size_t kReferenceReach = 4;

// A window's reference level, the threshold its tones are read against: the median of the
// carriers of the windows within kReferenceReach of it (of windows 0 ... count - 1), so that a
// loud disturbance next to it does not raise it. `carrierAt(v)` is window v's own carrier.
template <typename CarrierAt>
auto carrierReference(std::size_t window, std::size_t count, CarrierAt carrierAt) {
  std::array<decltype(carrierAt(window)), 2 * kReferenceReach + 1> around{};
  const std::size_t first = window >= kReferenceReach ? window - kReferenceReach : 0;
  const std::size_t last = std::min(count - 1, window + kReferenceReach);
  std::size_t n = 0;
  for (std::size_t v = first; v <= last; ++v) around[n++] = carrierAt(v);
  const auto middle = around.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(around.begin(), middle, around.begin() + static_cast<std::ptrdiff_t>(n));
  return *middle;
}

// A bit tone sounds at twice the carrier's amplitude, so the carrier's level, `threshold`, is
// the midpoint between a tone that is off and one that is on. A symbol always sounds an even
// number of bit and parity tones: when the count read is odd, the least certain tone flips.
// Single precision serves devices whose FPU has only that (float and double are instantiated).
template <typename Level>
SymbolRead readSymbol(const std::array<Level, kToneCount>& level,
                      std::type_identity_t<Level> threshold);

// Number 1 ... 12, then the check byte: the running sum of number and payload, bit 7 set.
bool frameChecks(const FrameBytes& frame);

// The frame check ignores bit 7 of the sum, and bytes can make up for each other, so another
// reading of a frame may pass the check as well. This is the cost, in units of the threshold,
// of the likeliest other reading of `reads` that passes it with the same frame number, among
// those that change one or two symbols by two tones each (infinity when there is none).
double frameDoubt(const std::array<SymbolRead, kSymbolsPerFrame>& reads);

// A frame read once, not confirmed by a second copy, is taken only when every other reading
// that would pass its check costs at least this much more.
inline constexpr double kLeastDoubt = 0.5;
// Readings through a model of the room need a wider margin: the copies in different passes
// are one reading, and a tone read a symbol off in two neighbouring symbols passes every check.
inline constexpr double kLeastDoubtInRoom = 0.8;

}  // namespace sonicsend::receiver
