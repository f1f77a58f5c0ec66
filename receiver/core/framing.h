// How the windows fall into frames and the frames into a looped pass: the ways both receivers
// try, ranked by the frames that check on their own, in fixed memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "portable.h"
#include "reading.h"

namespace sonicsend::receiver {

// Slot s starts at window firstWindow + 10 x s of a search (a frame is ten symbol windows) and
// carries frame number ((s - firstSlot) mod frames) + 1.
struct Hypothesis {
  std::uint8_t firstWindow = 0;
  std::uint8_t frames = 0;
  std::uint8_t firstSlot = 0;
  std::int16_t support = 0;  // slots checking with the expected number, less the others

  int numberAt(int slot) const;
  // The first slot holding frame `number`.
  int firstSlotOf(int number) const { return (firstSlot + number - 1) % frames; }
};

// Every frame start on an even symbol (five), every pass length and every position of frame 1.
inline constexpr int kMostHypotheses = 5 * kMaxFrames * (kMaxFrames + 1) / 2;

// Each slot's frame number when its own frame checks (1 ... 12), else 0, for the slots that
// start at one first window.
using SlotNumbers = Span<const std::uint8_t>;

// Whether some slot holding the last frame, checked on its own, is followed by frame 1: the
// pass ends where `h` says.
bool wrapHeard(SlotNumbers numbers, const Hypothesis& h);

// The number of the frame starting at window `first` (bytes `byteAt(w)`) when it checks on its
// own, else 0. A window that lost its sound (`erasedAt(w)`) reads as 0x00, a valid byte: a
// frame holding one does not check on its own.
template <typename ByteAt, typename ErasedAt>
std::uint8_t checkingNumber(int first, ByteAt byteAt, ErasedAt erasedAt) {
  FrameBytes frame{};
  bool erased = false;
  for (int i = 0; i < kFrameWindows; ++i) {
    frame[i] = byteAt(first + i);
    erased = erased || erasedAt(first + i);
  }
  return frameChecks(frame) && !erased ? frame[0] : 0;
}

// How many frames check, starting at each of `count` windows (bytes `byteAt(w)`), counted
// apart for starts in even and in odd windows: frames start on even symbols.
template <typename ByteAt>
std::array<int, 2> checkingStarts(int count, ByteAt byteAt) {
  const auto nothingErased = [](int) { return false; };
  ByPosition<int, 2> starts{};
  for (int w = 0; w + kFrameWindows <= count; ++w) {
    if (checkingNumber(w, byteAt, nothingErased) != 0) ++starts[w % 2];
  }
  return starts;
}

// How many frames check among `count` windows, the byte of window w being byteAt(w).
template <typename ByteAt>
int checkingFrames(int count, ByteAt byteAt) {
  const std::array<int, 2> starts = checkingStarts(count, byteAt);
  return starts[0] + starts[1];
}

// Best supported first, else in the order rankHypotheses makes them.
void sortHypotheses(Span<Hypothesis> hypotheses);

// The ways `windows` windows can fall into frames, starting on an even symbol (the first even
// window is `firstEven`), that no more checking slots contradict than support, written to `out`
// (kMostHypotheses long) best supported first; returns how many. `slotNumbersFor(firstWindow)`
// gives the SlotNumbers of a first window.
template <typename SlotNumbersFor>
int rankHypotheses(int firstEven, int windows, SlotNumbersFor slotNumbersFor,
                   std::array<Hypothesis, kMostHypotheses>& out) {
  int count = 0;
  for (int firstWindow = firstEven; firstWindow < kFrameWindows; firstWindow += 2) {
    if (firstWindow + kFrameWindows > windows) break;
    const SlotNumbers numbers = slotNumbersFor(firstWindow);
    const int slots = static_cast<int>(numbers.size());
    int checking = 0;
    for (std::uint8_t number : numbers) checking += number != 0 ? 1 : 0;
    for (int frames = 1; frames <= std::min(kMaxFrames, slots); ++frames) {
      // A slot holding frame n agrees with the one position of frame 1 that puts n there.
      ByPosition<int, kMaxFrames> agreeing{};
      for (int slot = 0; slot < slots; ++slot) {
        const int number = numbers[static_cast<std::size_t>(slot)];
        if (number != 0 && number <= frames)
          agreeing[((slot - number + 1) % frames + frames) % frames]++;
      }
      for (int firstSlot = 0; firstSlot < frames; ++firstSlot) {
        const int agree = agreeing[firstSlot];
        const int disagree = checking - agree;
        if (disagree > agree) continue;
        out[static_cast<std::size_t>(count++)] = {
            static_cast<std::uint8_t>(firstWindow), static_cast<std::uint8_t>(frames),
            static_cast<std::uint8_t>(firstSlot),
            static_cast<std::int16_t>(std::clamp(agree - disagree, -32768, 32767))};
      }
    }
  }
  sortHypotheses(Span<Hypothesis>(out.data(), static_cast<std::size_t>(count)));
  return count;
}

// A frame read from its copies in the slots of a pass.
struct FrameRead {
  FrameBytes bytes{};
  // Passes heard: the passes the bytes were read from. 1 when a copy that checked on its own
  // holds them, however many others agree or were summed with it; else, for a sum, the copies
  // summed in which the bytes show (bytesShow): slots of silence or noise alone never count.
  int passes = 0;
  bool alone = false;  // from a copy that checked on its own
};

// Whether `bytes` show in the copy of a frame whose windows start at `first`: over its windows
// heard (weightAt(w) > 0), the tones `bytes` sound stand above those they leave off by more
// than half the threshold on average. A clean copy stands out by twice the threshold, a copy in
// noise that only a sum of copies reads by 0.6 of it or more; a copy of silence or of noise
// alone by a third at most, either way.
template <typename Source>
bool bytesShow(const Source& copies, int first, const FrameBytes& bytes) {
  using Level = decltype(copies.referenceAt(0));
  Level contrast = 0;
  Level threshold = 0;
  for (int i = 0; i < kFrameWindows; ++i) {
    const int w = first + i;
    if (bytes[i] == 0 || copies.weightAt(w) <= Level(0)) continue;  // no tone sounds in 0x00
    const auto levels = copies.levelsAt(w);
    std::array<Level, 2> sum{};  // of the tones off, on
    std::array<int, 2> count{};
    for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone) {
      const std::size_t on = soundsIn(bytes[i], tone) ? 1 : 0;
      sum[on] += levels[toneOf(tone)];
      ++count[on];
    }
    contrast += sum[1] / static_cast<Level>(count[1]) - sum[0] / static_cast<Level>(count[0]);
    threshold += copies.referenceAt(w);
  }
  return contrast > threshold / Level(2);
}

// Frame `number` under `h`, from `copies`, which gives of the windows searched and their slots:
//   slotCount(), slotNumber(slot)     the slots of h's first window (see SlotNumbers);
//   byteAt(w), readAt(w)              a window's own byte, and its SymbolRead;
//   levelsAt(w), referenceAt(w)       its tone levels and threshold, to sum;
//   weightAt(w)                       how much of its sound was heard: its levels count by
//                                     that share in a sum, its threshold by the square; 0, not
//                                     at all;
//   noise()                           the windows' noise share (noiseShare), which sets what
//                                     the margins of a sum are worth (sumCertainty);
//   independent(), leastDoubt()       whether copies err independently, and the doubt a
//                                     reading not confirmed by a second copy must reach;
//   doubt(reads)                      frameDoubt of a reading.
// Two independent copies that check on their own and agree are taken first; else the sum of
// all copies heard, which hears more than any one of them; else, when a loud disturbance
// spoils the sum, the one copy that checks. Returns whether the frame was read.
template <typename Source>
bool readFrame(Source& copies, const Hypothesis& h, int number, FrameRead& frame) {
  const auto windowOf = [&](int slot, int i) { return h.firstWindow + kFrameWindows * slot + i; };
  const auto copyAt = [&](int slot) {
    FrameBytes bytes{};
    for (int i = 0; i < kFrameWindows; ++i) bytes[i] = copies.byteAt(windowOf(slot, i));
    return bytes;
  };
  const int first = h.firstSlotOf(number);
  int slots = 0;
  int best = -1;
  int bestAgreeing = 0;
  for (int slot = first; slot < copies.slotCount(); slot += h.frames) {
    ++slots;
    if (copies.slotNumber(slot) != number) continue;
    int agreeing = 0;
    for (int other = first; other < copies.slotCount(); other += h.frames) {
      if (copies.slotNumber(other) == number && copyAt(other) == copyAt(slot)) ++agreeing;
    }
    if (agreeing > bestAgreeing) {
      best = slot;
      bestAgreeing = agreeing;
    }
  }
  if (slots == 0) return false;
  if (bestAgreeing >= 2 && copies.independent()) {
    frame = {copyAt(best), 1, true};
    return true;
  }
  // The sum; a window heard in no copy leaves it unread. It reads the frame only when every
  // window is heard and the first reads as its number, so it stops at the first window that
  // fails either; the margins are weighed (sumCertainty) only once the bytes check.
  using Level = decltype(copies.referenceAt(0));
  FrameReads reads{};
  FrameBytes bytes{};
  bool whole = true;
  for (int i = 0; i < kFrameWindows && whole && (i == 0 || bytes[0] == number); ++i) {
    std::array<Level, kToneCount> sum{};
    Level threshold = 0;
    int summed = 0;
    for (int slot = first; slot < copies.slotCount(); slot += h.frames) {
      const int w = windowOf(slot, i);
      const Level weight = copies.weightAt(w);
      if (weight <= Level(0)) continue;
      const auto levels = copies.levelsAt(w);
      // The carriers are not read. A window heard whole, as most are, adds its levels as they
      // are: multiplied by 1, they would not change.
      if (weight == Level(1)) {
        for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone)
          sum[toneOf(tone)] += levels[toneOf(tone)];
        threshold += copies.referenceAt(w);
      } else {
        for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone)
          sum[toneOf(tone)] += weight * levels[toneOf(tone)];
        threshold += weight * weight * copies.referenceAt(w);
      }
      ++summed;
    }
    whole = summed > 0;
    reads[i] = readSymbol(sum, threshold);
    bytes[i] = reads[i].byte;
  }
  const bool checks = whole && frameChecks(bytes) && bytes[0] == number;
  if (checks) {
    for (int i = 0; i < kFrameWindows; ++i) {
      Level heard = 0;  // the squared weights of the copies summed
      for (int slot = first; slot < copies.slotCount(); slot += h.frames) {
        const Level weight = copies.weightAt(windowOf(slot, i));
        if (weight <= Level(0)) continue;
        heard += weight * weight;
      }
      const double scale = sumCertainty(heard, slots, copies.noise());
      for (double& margin : reads[i].margin) margin *= scale;
    }
  }
  if (checks && copies.doubt(reads) >= copies.leastDoubt()) {
    frame = {bytes, 1, best >= 0 && copyAt(best) == bytes};
    if (!frame.alone) {
      int showing = 0;
      for (int slot = first; slot < copies.slotCount(); slot += h.frames)
        showing += bytesShow(copies, windowOf(slot, 0), bytes) ? 1 : 0;
      frame.passes = std::max(showing, 1);
    }
    return true;
  }
  if (best < 0) return false;
  for (int i = 0; i < kFrameWindows; ++i) reads[i] = copies.readAt(windowOf(best, i));
  if (copies.doubt(reads) < copies.leastDoubt()) return false;
  frame = {copyAt(best), 1, true};
  return true;
}

}  // namespace sonicsend::receiver
