// The listening core's search over the latest windows: frames and passes, as the desktop
// receiver reads them from plain levels, a bounded step per poll.
#include <algorithm>

#include "ListeningCore.h"

namespace sonicsend::receiver {
namespace {

// A frame read once must be clearly likelier than every other reading that passes its check.
constexpr double kLeastDoubt = 0.5;
// The search's work per poll, in frames read.
constexpr int kWorkPerPoll = 48;
constexpr int kSymbolsPerFrameInt = static_cast<int>(kSymbolsPerFrame);
constexpr auto kTones = static_cast<std::size_t>(kToneCount);
// Each window's threshold is the median of the carriers around it.
constexpr int kReferenceReach = 4;

float median(std::span<float> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The bare layout has no checksum: it is taken only from frames that each checked on their
// own, and, when it fills its last frame to the end, only once frame 1 was heard following
// the last frame, which shows where the pass ends.
bool trusted(const MessageBounds& bounds, std::size_t payloadBytes, bool everyFrameAlone,
             bool wrapHeard) {
  if (bounds.layout == MessageLayout::framed) return true;
  return everyFrameAlone && (bounds.length < payloadBytes || wrapHeard);
}

}  // namespace

Levels ListeningCore::levelsOf(int window) const {
  const StoredSymbol& stored = history_[(searchBase_ + static_cast<std::uint32_t>(window)) % kHistory];
  Levels levels{};
  for (std::size_t tone = 0; tone < kTones; ++tone) {
    levels[static_cast<std::size_t>(tone)] =
        static_cast<double>(stored.scale) * stored.level[static_cast<std::size_t>(tone)] / 65535.0;
  }
  return levels;
}

// Once a frame's worth of windows came since the last search, a new one starts; each poll
// goes on with it for a bounded amount of work.
bool ListeningCore::stepSearch() {
  if (searching_ && symbolCount_ - searchBase_ > static_cast<std::uint32_t>(kHistory)) {
    searching_ = false;  // the windows it read were overwritten
  }
  if (!searching_) {
    const bool fresh = symbolCount_ >= searchBase_ + static_cast<std::uint32_t>(searchLength_) +
                                           kSymbolsPerFrame;
    if (!fresh || symbolCount_ < kSymbolsPerFrame) return false;
    startSearch();
    return false;
  }
  int work = 0;
  while (work < kWorkPerPoll && nextHypothesis_ < hypothesisCount_) {
    const Hypothesis& h = hypotheses_[static_cast<std::size_t>(nextHypothesis_++)];
    work += h.frames;
    if (tryHypothesis(h)) {
      searching_ = false;
      heard_ = true;
      return true;
    }
  }
  if (nextHypothesis_ >= hypothesisCount_) searching_ = false;
  return false;
}

// Takes the latest windows: which are even symbols, each one's threshold and byte.
void ListeningCore::startSearch() {
  searchLength_ = static_cast<int>(std::min<std::uint32_t>(symbolCount_, kSearchWindows));
  searchBase_ = symbolCount_ - static_cast<std::uint32_t>(searchLength_);
  double vote = 0.0;
  for (int w = 0; w < searchLength_; ++w) {
    const Levels levels = levelsOf(w);
    vote += (w % 2 == 0 ? 1.0 : -1.0) * (levels[kEvenCarrier] - levels[kOddCarrier]);
  }
  evenOffset_ = vote >= 0.0 ? 0 : 1;
  std::array<float, 2 * kReferenceReach + 1> around{};
  for (int w = 0; w < searchLength_; ++w) {
    std::size_t count = 0;
    for (int v = std::max(0, w - kReferenceReach); v <= std::min(searchLength_ - 1, w + kReferenceReach); ++v) {
      const Levels levels = levelsOf(v);
      around[count++] = static_cast<float>((v + evenOffset_) % 2 == 0 ? levels[kEvenCarrier] : levels[kOddCarrier]);
    }
    references_[static_cast<std::size_t>(w)] = median(std::span<float>(around.data(), count));
    bytes_[static_cast<std::size_t>(w)] =
        readSymbol(levelsOf(w), references_[static_cast<std::size_t>(w)]).byte;
  }
  rankHypotheses();
  searching_ = hypothesisCount_ > 0;
}

void ListeningCore::readSlots(int firstWindow) {
  if (slotsFor_ == firstWindow) return;
  slotsFor_ = firstWindow;
  slotCount_ = (searchLength_ - firstWindow) / kSymbolsPerFrameInt;
  for (int slot = 0; slot < slotCount_; ++slot) {
    FrameBytes frame{};
    for (int i = 0; i < kSymbolsPerFrameInt; ++i) {
      frame[static_cast<std::size_t>(i)] =
          bytes_[static_cast<std::size_t>(firstWindow + kSymbolsPerFrameInt * slot + i)];
    }
    slotNumber_[static_cast<std::size_t>(slot)] = frameChecks(frame) ? frame[0] : 0;
  }
}

// Every frame start on an even symbol, every pass length and every position of frame 1,
// ordered by how many frames heard on their own support them.
void ListeningCore::rankHypotheses() {
  hypothesisCount_ = 0;
  nextHypothesis_ = 0;
  slotsFor_ = -1;
  for (int firstWindow = evenOffset_; firstWindow < kSymbolsPerFrameInt; firstWindow += 2) {
    if (firstWindow + kSymbolsPerFrameInt > searchLength_) break;
    readSlots(firstWindow);
    for (int frames = 1; frames <= std::min(kMaxFrames, slotCount_); ++frames) {
      for (int firstSlot = 0; firstSlot < frames; ++firstSlot) {
        Hypothesis h{static_cast<std::uint8_t>(firstWindow), static_cast<std::uint8_t>(frames),
                     static_cast<std::uint8_t>(firstSlot), 0};
        int agreeing = 0;
        int disagreeing = 0;
        for (int slot = 0; slot < slotCount_; ++slot) {
          const int number = slotNumber_[static_cast<std::size_t>(slot)];
          if (number != 0) (number == h.numberAt(slot) ? agreeing : disagreeing)++;
        }
        if (disagreeing > agreeing) continue;
        h.support = static_cast<std::int16_t>(agreeing - disagreeing);
        hypotheses_[static_cast<std::size_t>(hypothesisCount_++)] = h;
      }
    }
  }
  // Best supported first, else in the order made (std::stable_sort would need a heap buffer).
  std::sort(hypotheses_.begin(), hypotheses_.begin() + hypothesisCount_,
            [](const Hypothesis& a, const Hypothesis& b) {
              if (a.support != b.support) return a.support > b.support;
              if (a.firstWindow != b.firstWindow) return a.firstWindow < b.firstWindow;
              if (a.frames != b.frames) return a.frames < b.frames;
              return a.firstSlot < b.firstSlot;
            });
}

std::array<SymbolRead, kSymbolsPerFrame> ListeningCore::slotReads(int firstWindow, int slot) const {
  std::array<SymbolRead, kSymbolsPerFrame> reads{};
  for (int i = 0; i < kSymbolsPerFrameInt; ++i) {
    const int w = firstWindow + kSymbolsPerFrameInt * slot + i;
    reads[static_cast<std::size_t>(i)] = readSymbol(levelsOf(w), references_[static_cast<std::size_t>(w)]);
  }
  return reads;
}

// Frame `number` under `h`: two copies that check on their own and agree; else the sum of
// all copies, which hears more than any one of them; else, when a loud disturbance spoils
// the sum, the one copy that checks. A reading not confirmed by a second copy must be
// clearly likelier than any other reading that would pass the check.
bool ListeningCore::readFrame(const Hypothesis& h, int number, FrameRead& frame) {
  const auto copyAt = [&](int slot) {
    FrameBytes bytes{};
    for (int i = 0; i < kSymbolsPerFrameInt; ++i) {
      bytes[static_cast<std::size_t>(i)] =
          bytes_[static_cast<std::size_t>(h.firstWindow + kSymbolsPerFrameInt * slot + i)];
    }
    return bytes;
  };
  int slots = 0;
  int heard = 0;
  int best = -1;
  int bestAgreeing = 0;
  std::array<Levels, kSymbolsPerFrame> sum{};
  std::array<double, kSymbolsPerFrame> threshold{};
  for (int slot = 0; slot < slotCount_; ++slot) {
    if (h.numberAt(slot) != number) continue;
    ++slots;
    for (int i = 0; i < kSymbolsPerFrameInt; ++i) {
      const int w = h.firstWindow + kSymbolsPerFrameInt * slot + i;
      const Levels levels = levelsOf(w);
      for (std::size_t tone = 0; tone < kTones; ++tone) {
        sum[static_cast<std::size_t>(i)][static_cast<std::size_t>(tone)] += levels[static_cast<std::size_t>(tone)];
      }
      threshold[static_cast<std::size_t>(i)] += references_[static_cast<std::size_t>(w)];
    }
    if (slotNumber_[static_cast<std::size_t>(slot)] != number) continue;
    ++heard;
    int agreeing = 0;
    for (int other = 0; other < slotCount_; ++other) {
      if (slotNumber_[static_cast<std::size_t>(other)] == number && h.numberAt(other) == number &&
          copyAt(other) == copyAt(slot)) {
        ++agreeing;
      }
    }
    if (agreeing > bestAgreeing) {
      best = slot;
      bestAgreeing = agreeing;
    }
  }
  if (slots == 0) return false;
  if (bestAgreeing >= 2) {
    frame = {copyAt(best), heard, true};
    return true;
  }
  std::array<SymbolRead, kSymbolsPerFrame> combined{};
  FrameBytes bytes{};
  for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
    combined[i] = readSymbol(sum[i], threshold[i]);
    bytes[i] = combined[i].byte;
  }
  if (frameChecks(bytes) && bytes[0] == number && frameDoubt(combined) >= kLeastDoubt) {
    frame = {bytes, std::max(heard, slots), best >= 0 && copyAt(best) == bytes};
    return true;
  }
  if (best >= 0 && frameDoubt(slotReads(h.firstWindow, best)) >= kLeastDoubt) {
    frame = {copyAt(best), heard, true};
    return true;
  }
  return false;
}

// Whether some slot holding the last frame, checked on its own, is followed by frame 1.
bool ListeningCore::wrapHeard(const Hypothesis& h) const {
  for (int slot = 0; slot + 1 < slotCount_; ++slot) {
    if (slotNumber_[static_cast<std::size_t>(slot)] == h.frames &&
        slotNumber_[static_cast<std::size_t>(slot + 1)] == 1 && h.numberAt(slot) == h.frames) {
      return true;
    }
  }
  return false;
}

bool ListeningCore::tryHypothesis(const Hypothesis& h) {
  readSlots(h.firstWindow);
  std::array<std::uint8_t, kMaxMessageBytes> payload{};
  int passes = 0;
  bool everyFrameAlone = true;
  for (int number = 1; number <= h.frames; ++number) {
    FrameRead frame;
    if (!readFrame(h, number, frame)) return false;
    std::copy(frame.bytes.begin() + 1, frame.bytes.end() - 1,
              payload.begin() + (number - 1) * kFramePayloadBytes);
    passes = std::max(passes, frame.passes);
    everyFrameAlone = everyFrameAlone && frame.alone;
  }
  const auto payloadBytes = static_cast<std::size_t>(h.frames * kFramePayloadBytes);
  const auto bounds = locateMessage(std::span<const std::uint8_t>(payload.data(), payloadBytes));
  if (!bounds || !trusted(*bounds, payloadBytes, everyFrameAlone, wrapHeard(h))) return false;
  message_.bytes = payload;
  message_.bounds = *bounds;
  message_.frames = h.frames;
  message_.passes = passes;
  return true;
}

}  // namespace sonicsend::receiver
