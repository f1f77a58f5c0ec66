#include "FrameSearch.h"

#include <algorithm>

#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

// The search's work: each window of audio adds kCreditPerWindow, at most kMostCredit banked;
// a poll does at most kWorkPerPoll. A frame read costs kFrameWork, weighing its doubt
// kDoubtWork more, starting a search kStartWork.
constexpr int kCreditPerWindow = 12;
constexpr int kMostCredit = 40 * kCreditPerWindow;
constexpr int kWorkPerPoll = 40;
constexpr int kStartWork = 8;
constexpr int kFrameWork = 2;
constexpr int kDoubtWork = 12;
// A frame read sums each of its windows over every copy, one to sixty of them, so a poll also
// stops once it read kCopyWindowsPerPoll windows of copies: its instructions stay bounded, and
// the credit it leaves, banked, goes to the polls that follow.
constexpr int kCopyWindowsPerPoll = 400;
// A reading that the room model made right has its frames check where the best supported ways
// of reading them put them; the others are not worth the time.
constexpr int kMostRoomHypotheses = 8;

// The windows of a search over the history's plain levels, window 0 being `base`.
struct HistoryWindows {
  HistoryWindows(const SymbolHistory& symbols, std::uint32_t base, std::size_t evenParity)
      : history(symbols), place(symbols.placeOf(base)), parity(evenParity) {}

  const SymbolHistory& history;
  int place;           // where window 0 lies in the history's ring
  std::size_t parity;  // which of a symbol's readings holds: see SymbolHistory::Symbol

  // Copies err independently, and a frame heard once counts.
  static constexpr bool kIndependent = true;
  static constexpr double kLeastDoubt = receiver::kLeastDoubt;
  static constexpr int kLeastPasses = 1;

  const SymbolHistory::Symbol& at(int w) const { return history.after(place, w); }
  // The bit and parity tones, as SymbolHistory::levelOf gives them; the carriers, which no
  // byte is read from, stay 0.
  ToneLevels levelsOf(int w) const {
    const SymbolHistory::Symbol& symbol = at(w);
    ToneLevels levels{};
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      levels[toneOf(bit)] = SymbolHistory::levelOf(symbol, toneOf(bit));
    }
    return levels;
  }
  // The same, each worked out when read: the noise share reads only the tones that are off.
  struct LevelsByTone {
    const SymbolHistory::Symbol& symbol;
    float operator[](std::size_t tone) const { return SymbolHistory::levelOf(symbol, tone); }
  };
  LevelsByTone levelsByTone(int w) const { return {at(w)}; }
  std::uint8_t byteOf(int w) const { return at(w).byte[parity]; }
  bool erasedAt(int w) const { return at(w).erased[parity]; }
  // Most windows are heard whole: 255 / 255 is 1, with no division.
  float heardAt(int w) const {
    const std::uint8_t heard = at(w).heard[parity];
    return heard == 255 ? 1.0f : static_cast<float>(heard) / 255.0f;
  }
  float referenceOf(int w) const { return storedTones::fromShortFloat(at(w).reference[parity]); }
};

// The windows of the room model's reading: every bit and parity tone on 2 and off 0, nothing
// erased. The carriers stay 0: a byte is read from the other tones alone, and which windows
// are even the reading gives apart.
struct RoomWindows {
  const RoomReading& reading;

  // Copies read through the room model may err alike in every pass: their agreeing proves
  // nothing, a reading must be surer, and a frame heard once may still check, so a reading
  // counts only with two passes of windows at least.
  static constexpr bool kIndependent = false;
  static constexpr double kLeastDoubt = kLeastDoubtInRoom;
  static constexpr int kLeastPasses = 2;

  ToneLevels levelsOf(int w) const {
    ToneLevels levels{};
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      levels[toneOf(bit)] = reading.levelOf(w, bit);
    }
    return levels;
  }
  ToneLevels levelsByTone(int w) const { return levelsOf(w); }
  std::uint8_t byteOf(int w) const { return reading.bytes[w]; }
  bool erasedAt(int) const { return false; }
  float heardAt(int) const { return 1.0f; }
  float referenceOf(int) const { return 1.0f; }
};

template <typename Windows>
float noiseOf(const Windows& windows, int length) {
  return noiseShare(
      static_cast<std::size_t>(length),
      [&](std::size_t w) { return windows.levelsByTone(static_cast<int>(w)); },
      [&](std::size_t w) { return windows.referenceOf(static_cast<int>(w)); },
      [&](std::size_t w) { return windows.byteOf(static_cast<int>(w)); });
}

}  // namespace

// What the frame reading (framing.h) asks of the windows searched.
template <typename Windows>
struct FrameSearch::Copies {
  const FrameSearch& search;
  Windows windows;
  int& work;
  int& windowsRead;

  int slotCount() const { return search.slotCount_; }
  int slotNumber(int slot) const { return search.slotNumber_[slot]; }
  std::uint8_t byteAt(int window) const { return windows.byteOf(window); }
  SymbolRead readAt(int window) const {
    return readSymbol(windows.levelsOf(window), windows.referenceOf(window));
  }
  ToneLevels levelsAt(int window) const {
    ++windowsRead;
    return windows.levelsOf(window);
  }
  float referenceAt(int window) const { return windows.referenceOf(window); }
  float weightAt(int window) const { return windows.heardAt(window); }
  float noise() const { return search.searchNoise_; }
  bool independent() const { return Windows::kIndependent; }
  double leastDoubt() const { return Windows::kLeastDoubt; }
  double doubt(const FrameReads& reads) {
    work += kDoubtWork;
    return frameDoubt(reads);
  }
};

void FrameSearch::startOver() {
  searching_ = false;
  base_ = 0;
  length_ = 0;
  credit_ = 0;
  noise_ = 0.0f;
  searchNoise_ = 0.0f;
}

void FrameSearch::earnCredit() {
  credit_ = std::min(credit_ + kCreditPerWindow, kMostCredit);
}

bool FrameSearch::step(SymbolHistory& history, RoomModel& room) {
  if (searching_ && !history.keeps(base_)) searching_ = false;  // its windows were overwritten
  if (credit_ <= 0) return false;
  // The room model's reading, once done, is searched at once: a plain search is started
  // again on newer windows afterwards.
  if (room.ready()) {
    start(room.take(), history);
    credit_ -= kStartWork;
    return false;
  }
  if (!searching_) {
    if (history.count() >= base_ + static_cast<std::uint32_t>(length_) + kFrameWindows) {
      start(history);
      credit_ -= kStartWork;
    }
    return false;
  }
  if (source_ == Source::room) return stepWith(RoomWindows{room.published()});
  return stepWith(HistoryWindows{history, base_, static_cast<std::size_t>(evenOffset_)});
}

// The latest windows: which are even symbols, and every way they could fall into frames.
void FrameSearch::start(SymbolHistory& history) {
  length_ = static_cast<int>(std::min<std::uint32_t>(history.count(), kSearchWindows));
  base_ = history.count() - static_cast<std::uint32_t>(length_);
  history.readLatest(noise_);
  source_ = Source::history;
  if (!carriersShow(history)) return;
  const HistoryWindows windows{history, base_, static_cast<std::size_t>(evenOffset_)};
  noise_ = noiseOf(windows, length_);
  searchNoise_ = noise_;
  rank(windows);
  nextFrame_ = 0;
  searching_ = hypothesisCount_ > 0;
}

// The room model's reading of its windows, searched as the plain levels are.
void FrameSearch::start(const RoomReading& reading, const SymbolHistory& history) {
  if (!history.keeps(reading.base)) return;
  source_ = Source::room;
  base_ = reading.base;
  length_ = reading.length;
  evenOffset_ = reading.even;
  const RoomWindows windows{reading};
  searchNoise_ = noiseOf(windows, length_);
  rank(windows);
  hypothesisCount_ = std::min(hypothesisCount_, kMostRoomHypotheses);
  nextFrame_ = 0;
  searching_ = hypothesisCount_ > 0;
}

// Whether the sender sounds in the windows searched, and which of them are even symbols.
bool FrameSearch::carriersShow(const SymbolHistory& history) {
  const int parity = carrierParity(static_cast<std::size_t>(length_), [&](std::size_t w) {
    const std::uint32_t at = base_ + static_cast<std::uint32_t>(w);
    return history.levelOf(at, kEvenCarrier) - history.levelOf(at, kOddCarrier);
  });
  evenOffset_ = static_cast<int>((base_ + static_cast<std::uint32_t>(std::max(parity, 0))) % 2);
  return parity >= 0;
}

template <typename Windows>
void FrameSearch::readSlots(const Windows& windows, int firstWindow) {
  if (slotsFor_ == firstWindow) return;
  slotsFor_ = firstWindow;
  slotCount_ = (length_ - firstWindow) / kFrameWindows;
  for (int slot = 0; slot < slotCount_; ++slot) {
    slotNumber_[slot] = checkingNumber(
        firstWindow + kFrameWindows * slot, [&](int w) { return windows.byteOf(w); },
        [&](int w) { return windows.erasedAt(w); });
  }
}

// Every way the windows searched can fall into frames and passes, best supported first.
template <typename Windows>
void FrameSearch::rank(const Windows& windows) {
  nextHypothesis_ = 0;
  slotsFor_ = -1;
  const int firstEven = static_cast<int>((base_ + static_cast<std::uint32_t>(evenOffset_)) % 2);
  hypothesisCount_ = rankHypotheses(
      firstEven, length_,
      [&](int firstWindow) {
        readSlots(windows, firstWindow);
        return slotNumbers();
      },
      hypotheses_);
}

SlotNumbers FrameSearch::slotNumbers() const {
  return SlotNumbers(slotNumber_.data(), static_cast<std::size_t>(slotCount_));
}

template <typename Windows>
bool FrameSearch::stepWith(const Windows& windows) {
  int work = 0;
  int windowsRead = 0;
  const int allowed = std::min(kWorkPerPoll, credit_);
  bool found = false;
  while (work < allowed && windowsRead < kCopyWindowsPerPoll && searching_ && !found)
    found = stepHypothesis(windows, work, windowsRead);
  credit_ -= work;
  if (found) searching_ = false;
  return found;
}

// Reads the next frame of the current hypothesis, taking the next one when there is none;
// true once a whole pass holds a message.
template <typename Windows>
bool FrameSearch::stepHypothesis(const Windows& windows, int& work, int& windowsRead) {
  if (nextFrame_ == 0) {
    if (nextHypothesis_ >= hypothesisCount_) {
      searching_ = false;
      return false;
    }
    nextFrame_ = 1;
    passes_ = 0;
    everyFrameAlone_ = true;
  }
  const Hypothesis& h = hypotheses_[nextHypothesis_];
  readSlots(windows, h.firstWindow);
  FrameRead frame;
  work += kFrameWork;
  Copies<Windows> copies{*this, windows, work, windowsRead};
  if (!readFrame(copies, h, nextFrame_, frame)) {
    nextFrame_ = 0;
    ++nextHypothesis_;
    return false;
  }
  std::copy(frame.bytes.begin() + 1, frame.bytes.end() - 1,
            payload_.begin() + (nextFrame_ - 1) * kFramePayloadBytes);
  passes_ = std::max(passes_, frame.passes);
  everyFrameAlone_ = everyFrameAlone_ && frame.alone;
  if (nextFrame_++ < h.frames) return false;
  nextFrame_ = 0;
  ++nextHypothesis_;
  return accepted(windows, h);
}

// Whether the pass read under `h` holds a message, checked as the desktop receiver checks it.
template <typename Windows>
bool FrameSearch::accepted(const Windows&, const Hypothesis& h) {
  const auto payloadBytes = static_cast<std::size_t>(h.frames * kFramePayloadBytes);
  const auto bounds = locateMessage(Span<const std::uint8_t>(payload_.data(), payloadBytes));
  if (!bounds || !trusted(*bounds, payloadBytes, everyFrameAlone_, wrapHeard(slotNumbers(), h)))
    return false;
  if (slotCount_ < Windows::kLeastPasses * h.frames) return false;
  std::copy(payload_.begin(), payload_.begin() + static_cast<std::ptrdiff_t>(payloadBytes),
            message_.bytes.begin());
  message_.bounds = *bounds;
  message_.frames = h.frames;
  message_.passes = passes_;
  return true;
}

}  // namespace sonicsend::receiver
