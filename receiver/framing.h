// How the windows fall into frames and the frames into a looped pass: the ways both receivers
// try, ranked by the frames that check on their own, in fixed memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "reading.h"

namespace sonicsend::receiver {

// Slot s starts at window firstWindow + 10 s of a search and carries frame number
// ((s - firstSlot) mod frames) + 1.
struct Hypothesis {
  std::uint8_t firstWindow = 0;
  std::uint8_t frames = 0;
  std::uint8_t firstSlot = 0;
  std::int16_t support = 0;  // slots checking with the expected number, less the others

  int numberAt(int slot) const;
  // The first slot holding frame `number`.
  int firstSlotOf(int number) const { return (firstSlot + number - 1) % frames; }
  // Which pass of the loop `slot` lies in: 0 for the pass whose frame 1 is firstSlot.
  int passAt(int slot) const;
};

// Every frame start on an even symbol (five), every pass length and every position of frame 1.
inline constexpr int kMostHypotheses = 5 * kMaxFrames * (kMaxFrames + 1) / 2;

// Each slot's frame number when its own frame checks (1 ... 12), else 0, for the slots that
// start at one first window.
using SlotNumbers = std::span<const std::uint8_t>;

// The ways `windows` windows can fall into frames, starting on an even symbol (the first even
// window is `firstEven`), that no more checking slots contradict than support, written to `out`
// (kMostHypotheses long) best supported first; returns how many. `slotNumbersFor(firstWindow)`
// gives the SlotNumbers of a first window.
template <typename SlotNumbersFor>
int rankHypotheses(int firstEven, int windows, SlotNumbersFor slotNumbersFor,
                   std::span<Hypothesis, kMostHypotheses> out);

// Whether some slot holding the last frame, checked on its own, is followed by frame 1: the
// pass ends where `h` says.
bool wrapHeard(SlotNumbers numbers, const Hypothesis& h);

// How many frames check, starting at each of `count` windows (bytes `byteAt(w)`), counted
// apart for starts in even and in odd windows: frames start on even symbols.
template <typename ByteAt>
std::array<int, 2> checkingStarts(int count, ByteAt byteAt) {
  constexpr int kFrameWindows = static_cast<int>(kSymbolsPerFrame);
  std::array<int, 2> starts{};
  for (int w = 0; w + kFrameWindows <= count; ++w) {
    FrameBytes frame{};
    for (int i = 0; i < kFrameWindows; ++i) frame[static_cast<std::size_t>(i)] = byteAt(w + i);
    if (frameChecks(frame)) ++starts[static_cast<std::size_t>(w % 2)];
  }
  return starts;
}

// Best supported first, else in the order rankHypotheses makes them.
void sortHypotheses(std::span<Hypothesis> hypotheses);

template <typename SlotNumbersFor>
int rankHypotheses(int firstEven, int windows, SlotNumbersFor slotNumbersFor,
                   std::span<Hypothesis, kMostHypotheses> out) {
  constexpr int kFrameWindows = static_cast<int>(kSymbolsPerFrame);
  int count = 0;
  for (int firstWindow = firstEven; firstWindow < kFrameWindows; firstWindow += 2) {
    if (firstWindow + kFrameWindows > windows) break;
    const SlotNumbers numbers = slotNumbersFor(firstWindow);
    const int slots = static_cast<int>(numbers.size());
    int checking = 0;
    for (std::uint8_t number : numbers) checking += number != 0 ? 1 : 0;
    for (int frames = 1; frames <= std::min(kMaxFrames, slots); ++frames) {
      // A slot holding frame n agrees with the one position of frame 1 that puts n there.
      std::array<int, kMaxFrames> agreeing{};
      for (int slot = 0; slot < slots; ++slot) {
        const int number = numbers[static_cast<std::size_t>(slot)];
        if (number != 0 && number <= frames) {
          agreeing[static_cast<std::size_t>(((slot - number + 1) % frames + frames) % frames)]++;
        }
      }
      for (int firstSlot = 0; firstSlot < frames; ++firstSlot) {
        const int agree = agreeing[static_cast<std::size_t>(firstSlot)];
        const int disagree = checking - agree;
        if (disagree > agree) continue;
        out[static_cast<std::size_t>(count++)] = {
            static_cast<std::uint8_t>(firstWindow), static_cast<std::uint8_t>(frames),
            static_cast<std::uint8_t>(firstSlot),
            static_cast<std::int16_t>(std::clamp(agree - disagree, -32768, 32767))};
      }
    }
  }
  sortHypotheses(out.first(static_cast<std::size_t>(count)));
  return count;
}

}  // namespace sonicsend::receiver
