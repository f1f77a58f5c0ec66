// The listening core's memory of the windows it heard: each window's tones, a level and a
// phase in a byte each (storedTones.h), and, once the windows around it are in, its byte, its
// threshold and how much of it was heard, under either parity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ToneWindows.h"
#include "reading.h"
#include "storedTones.h"

namespace sonicsend::receiver {

// The latest windows a search reads: five passes of the longest message.
inline constexpr int kSearchWindows = kMaxFrames * kFrameWindows * 5;

class SymbolHistory {
 public:
  struct Symbol {
    std::uint16_t scale = 0;  // the loudest tone's level (storedTones::shortFloat)
    // Each tone's level, in steps of a quarter decibel below scale (255: silent), and phase,
    // in 1/256 of a turn: what the room model learns a room's response from.
    std::array<std::uint8_t, kToneCount> attenuation{};
    std::array<std::uint8_t, kToneCount> phase{};
    // Read once the carriers around it are in, for either parity: even symbols where the
    // window's count since the start is even (0) or odd (1).
    std::array<std::uint8_t, 2> byte{};
    std::array<std::uint16_t, 2> reference{};  // the threshold: the carriers around it
    // Lost most of its sound (a dropout): it reads as 0x00, a valid byte, so it is not read.
    std::array<bool, 2> erased{};
    // How much of its sound was heard: its carrier's share of the reference, in 1/255.
    std::array<std::uint8_t, 2> heard{};
  };

  // Windows kept: those a search reads, and those arriving while it runs.
  static constexpr int kWindows = kSearchWindows + 64;
  // A window is read once the windows that set its reference have come.
  static constexpr auto kReadDelay = static_cast<std::uint32_t>(kReferenceReach);

  void startOver() { count_ = 0; }
  // Keeps the window just ended, and reads the one whose neighbours are now all in against
  // `noise` (noiseShare of the latest search).
  void add(const ToneSums& window, float noise);
  // Reads the latest windows, which do not have all their neighbours yet, as they are.
  void readLatest(float noise);

  // Windows heard since the start.
  std::uint32_t count() const { return count_; }
  // Whether window `window` (counted since the start) is still kept.
  bool keeps(std::uint32_t window) const {
    return count_ - window <= static_cast<std::uint32_t>(kWindows);
  }
  const Symbol& at(std::uint32_t window) const { return symbols_[window % kWindows]; }
  // Where window `window` lies in the ring, and the window `offset` after the one at `place`
  // (an offset below kWindows): a search reads windows by the thousand, each without dividing.
  int placeOf(std::uint32_t window) const { return static_cast<int>(window % kWindows); }
  const Symbol& after(int place, int offset) const {
    const int at = place + offset;
    return symbols_[static_cast<std::size_t>(at < kWindows ? at : at - kWindows)];
  }
  float levelOf(std::uint32_t window, std::size_t tone) const { return levelOf(at(window), tone); }
  // A tone's level as `symbol` keeps it.
  static float levelOf(const Symbol& symbol, std::size_t tone) {
    return storedTones::fromShortFloat(symbol.scale) * storedTones::kGain[symbol.attenuation[tone]];
  }

 private:
  void read(std::uint32_t window, float noise);

  std::array<Symbol, kWindows> symbols_{};
  std::uint32_t count_ = 0;
};

}  // namespace sonicsend::receiver
