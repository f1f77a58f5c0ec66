// The listening core's search over the latest windows: frames and passes, as the desktop
// receiver reads them from plain levels, a bounded step per poll.
#include <algorithm>
#include <cmath>

#include "ListeningCore.h"
#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

// The search's work per poll: a frame read costs 2, weighing its doubt kDoubtWork more,
// starting a search kStartWork.
constexpr int kWorkPerPoll = 40;
constexpr int kStartWork = 8;
constexpr int kFrameWork = 2;
constexpr int kDoubtWork = 12;
constexpr int kSymbolsPerFrameInt = static_cast<int>(kSymbolsPerFrame);
constexpr auto kTones = static_cast<std::size_t>(kToneCount);
constexpr int kMostRoomHypotheses = 8;

}  // namespace

float ListeningCore::levelOf(std::uint32_t window, std::size_t tone) const {
  const StoredSymbol& symbol = stored(window);
  return storedTones::fromShortFloat(symbol.scale) * storedTones::kGain[symbol.attenuation[tone]];
}

// Window `window` of the search (0 = searchBase_). A search over the room model's reading has
// every tone on 2 and off 0, its carriers 1 and 0, and nothing erased.
ToneLevels ListeningCore::levelsOf(int window) const {
  ToneLevels levels{};
  if (searchingRoom_) {
    const bool even = (searchBase_ + static_cast<std::uint32_t>(window + evenOffset_)) % 2 == 0;
    levels[kEvenCarrier] = even ? 1.0f : 0.0f;
    levels[kOddCarrier] = even ? 0.0f : 1.0f;
    for (int bit = 0; bit < kRoomTones; ++bit) {
      levels[toneOf(static_cast<std::size_t>(bit))] = searchedLevel(window, bit);
    }
    return levels;
  }
  for (std::size_t tone = 0; tone < kTones; ++tone) {
    levels[tone] = levelOf(searchBase_ + static_cast<std::uint32_t>(window), tone);
  }
  return levels;
}

std::uint8_t ListeningCore::byteOf(int window) const {
  if (searchingRoom_) return searchedBytes_[static_cast<std::size_t>(window)];
  return stored(searchBase_ + static_cast<std::uint32_t>(window))
      .byte[static_cast<std::size_t>(evenOffset_)];
}

bool ListeningCore::erasedAt(int window) const {
  return !searchingRoom_ && stored(searchBase_ + static_cast<std::uint32_t>(window))
                                .erased[static_cast<std::size_t>(evenOffset_)];
}

float ListeningCore::heardAt(int window) const {
  if (searchingRoom_) return 1.0f;
  return static_cast<float>(stored(searchBase_ + static_cast<std::uint32_t>(window))
                                .heard[static_cast<std::size_t>(evenOffset_)]) /
         255.0f;
}

float ListeningCore::referenceOf(int window) const {
  if (searchingRoom_) return 1.0f;
  return storedTones::fromShortFloat(stored(searchBase_ + static_cast<std::uint32_t>(window))
                                         .reference[static_cast<std::size_t>(evenOffset_)]);
}

// A window's threshold, byte and presence under either parity: the carrier that sounds in
// each window around it, the even one in even symbols; the noise as the last search measured
// it.
void ListeningCore::readWindow(std::uint32_t window) {
  StoredSymbol& symbol = history_[window % kHistory];
  ToneLevels levels{};
  for (std::size_t tone = 0; tone < kTones; ++tone) levels[tone] = levelOf(window, tone);
  for (std::size_t parity = 0; parity < 2; ++parity) {
    const float reference = carrierReference(window, symbolCount_, [&](std::size_t w) {
      const auto at = static_cast<std::uint32_t>(w);
      return levelOf(at, (at + parity) % 2 == 0 ? kEvenCarrier : kOddCarrier);
    });
    symbol.reference[parity] = storedTones::shortFloat(reference);
    symbol.byte[parity] = readSymbol(levels, reference).byte;
    const float carrier = levels[(window + parity) % 2 == 0 ? kEvenCarrier : kOddCarrier];
    const Presence<float> presence = presenceOf(levels, carrier, reference, noise_);
    symbol.erased[parity] = presence.erased;
    symbol.heard[parity] = static_cast<std::uint8_t>(presence.heard * 255.0f + 0.5f);
  }
}

// Whether the sender sounds in the windows searched, and which of them are even symbols.
bool ListeningCore::carriersShow() {
  const int parity = carrierParity(static_cast<std::size_t>(searchLength_), [&](std::size_t w) {
    const std::uint32_t at = searchBase_ + static_cast<std::uint32_t>(w);
    return levelOf(at, kEvenCarrier) - levelOf(at, kOddCarrier);
  });
  evenOffset_ =
      static_cast<int>((searchBase_ + static_cast<std::uint32_t>(std::max(parity, 0))) % 2);
  return parity >= 0;
}

float ListeningCore::measureNoise() const {
  return noiseShare(
      static_cast<std::size_t>(searchLength_),
      [this](std::size_t w) { return levelsOf(static_cast<int>(w)); },
      [this](std::size_t w) { return referenceOf(static_cast<int>(w)); },
      [this](std::size_t w) { return byteOf(static_cast<int>(w)); });
}

// Once a frame's worth of windows came since the last search, a new one starts; each poll
// goes on with it for a bounded amount of work.
bool ListeningCore::stepSearch() {
  if (searching_ && symbolCount_ - searchBase_ > static_cast<std::uint32_t>(kHistory)) {
    searching_ = false;  // the windows it read were overwritten
  }
  if (searchCredit_ <= 0) return false;
  // The room model's reading, once done, is searched at once: a plain search is started
  // again on newer windows afterwards.
  if (roomStage_ == RoomStage::ready) {
    startRoomSearch();
    searchCredit_ -= kStartWork;
    return false;
  }
  if (!searching_) {
    const bool fresh =
        symbolCount_ >= searchBase_ + static_cast<std::uint32_t>(searchLength_) + kSymbolsPerFrame;
    if (fresh) {
      startSearch();
      searchCredit_ -= kStartWork;
    }
    return false;
  }
  int work = 0;
  const int allowed = std::min(kWorkPerPoll, searchCredit_);
  bool found = false;
  while (work < allowed && searching_ && !found) found = stepHypothesis(work);
  searchCredit_ -= work;
  if (found) {
    searching_ = false;
    heard_ = true;
  }
  return found;
}

// The latest windows: which are even symbols, and every way they could fall into frames.
void ListeningCore::startSearch() {
  searchLength_ = static_cast<int>(std::min<std::uint32_t>(symbolCount_, kSearchWindows));
  searchBase_ = symbolCount_ - static_cast<std::uint32_t>(searchLength_);
  // The latest windows do not have all their neighbours yet: read them as they are.
  for (std::uint32_t w = symbolCount_ - std::min(symbolCount_, kReadDelay); w < symbolCount_; ++w) {
    readWindow(w);
  }
  searchingRoom_ = false;
  if (!carriersShow()) return;
  noise_ = measureNoise();
  searchNoise_ = noise_;
  rankHypotheses();
  nextFrame_ = 0;
  searching_ = hypothesisCount_ > 0;
}

// The room model's reading of its windows, searched as the plain reading is.
void ListeningCore::startRoomSearch() {
  roomStage_ = RoomStage::idle;
  if (symbolCount_ - searchedBase_ > static_cast<std::uint32_t>(kHistory)) return;
  searchingRoom_ = true;
  searchBase_ = searchedBase_;
  searchLength_ = searchedLength_;
  evenOffset_ = searchedEven_;
  searchNoise_ = measureNoise();
  rankHypotheses();
  // A reading that the room model made right has its frames check where the best supported
  // ways of reading them put them; the others are not worth the time.
  hypothesisCount_ = std::min(hypothesisCount_, kMostRoomHypotheses);
  nextFrame_ = 0;
  searching_ = hypothesisCount_ > 0;
}

void ListeningCore::readSlots(int firstWindow) {
  if (slotsFor_ == firstWindow) return;
  slotsFor_ = firstWindow;
  slotCount_ = (searchLength_ - firstWindow) / kSymbolsPerFrameInt;
  for (int slot = 0; slot < slotCount_; ++slot) {
    slotNumber_[static_cast<std::size_t>(slot)] = checkingNumber(
        firstWindow + kSymbolsPerFrameInt * slot, [this](int w) { return byteOf(w); },
        [this](int w) { return erasedAt(w); });
  }
}

// Every way the windows searched can fall into frames and passes, best supported first.
void ListeningCore::rankHypotheses() {
  nextHypothesis_ = 0;
  slotsFor_ = -1;
  const int firstEven =
      static_cast<int>((searchBase_ + static_cast<std::uint32_t>(evenOffset_)) % 2);
  hypothesisCount_ = receiver::rankHypotheses(
      firstEven, searchLength_,
      [this](int firstWindow) {
        readSlots(firstWindow);
        return slotNumbers();
      },
      hypotheses_);
}

SlotNumbers ListeningCore::slotNumbers() const {
  return SlotNumbers(slotNumber_.data(), static_cast<std::size_t>(slotCount_));
}

// Reads the next frame of the current hypothesis, taking the next one when there is none;
// true once a whole pass holds a message.
bool ListeningCore::stepHypothesis(int& work) {
  if (nextFrame_ == 0) {
    if (nextHypothesis_ >= hypothesisCount_) {
      searching_ = false;
      return false;
    }
    nextFrame_ = 1;
    passes_ = 0;
    everyFrameAlone_ = true;
  }
  const Hypothesis& h = hypotheses_[static_cast<std::size_t>(nextHypothesis_)];
  readSlots(h.firstWindow);
  FrameRead frame;
  if (!readFrame(h, nextFrame_, frame, work)) {
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
  return accepted(h);
}

struct ListeningCore::SearchCopies {
  const ListeningCore& core;
  int& work;

  int slotCount() const { return core.slotCount_; }
  int slotNumber(int slot) const { return core.slotNumber_[static_cast<std::size_t>(slot)]; }
  std::uint8_t byteAt(int window) const { return core.byteOf(window); }
  SymbolRead readAt(int window) const {
    return readSymbol(core.levelsOf(window), core.referenceOf(window));
  }
  ToneLevels levelsAt(int window) const { return core.levelsOf(window); }
  float referenceAt(int window) const { return core.referenceOf(window); }
  float weightAt(int window) const { return core.heardAt(window); }
  float noise() const { return core.searchNoise_; }
  // Copies read through the room model may err alike in every pass: their agreeing proves
  // nothing, and a reading must be surer.
  bool independent() const { return !core.searchingRoom_; }
  double leastDoubt() const { return core.searchingRoom_ ? kLeastDoubtInRoom : kLeastDoubt; }
  double doubt(const std::array<SymbolRead, kSymbolsPerFrame>& reads) {
    work += kDoubtWork;
    return frameDoubt(reads);
  }
};

bool ListeningCore::readFrame(const Hypothesis& h, int number, FrameRead& frame, int& work) {
  work += kFrameWork;
  SearchCopies copies{*this, work};
  return receiver::readFrame(copies, h, number, frame);
}

// Whether the pass read under `h` holds a message, checked as the desktop receiver checks it.
bool ListeningCore::accepted(const Hypothesis& h) {
  const auto payloadBytes = static_cast<std::size_t>(h.frames * kFramePayloadBytes);
  const auto bounds = locateMessage(std::span<const std::uint8_t>(payload_.data(), payloadBytes));
  if (!bounds || !trusted(*bounds, payloadBytes, everyFrameAlone_, wrapHeard(slotNumbers(), h)))
    return false;
  // A room model that read a tone wrong may read it wrong alike in every pass, and a frame
  // heard once may still check: its reading counts only with two passes of windows at least.
  if (searchingRoom_ && slotCount_ < 2 * h.frames) return false;
  std::copy(payload_.begin(), payload_.begin() + static_cast<std::ptrdiff_t>(payloadBytes),
            message_.bytes.begin());
  message_.bounds = *bounds;
  message_.frames = h.frames;
  message_.passes = passes_;
  return true;
}

}  // namespace sonicsend::receiver
