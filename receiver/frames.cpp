#include "frames.h"

#include <algorithm>
#include <array>
#include <optional>

#include "framing.h"
#include "reading.h"

namespace sonicsend::receiver {
namespace {

class PassReader {
 public:
  PassReader(const HeardWindows& windows, Copies copies)
      : windows_(windows),
        levels_(windows.levels),
        symbols_(windows.reads),
        presence_(windows.presence.heard),
        erased_(windows.presence.erased),
        independentCopies_(copies == Copies::independent) {}

  PassOutcome run(const std::function<bool(const PassCandidate&)>& accept) {
    bool complete = false;
    std::array<Hypothesis, kMostHypotheses> ranked;
    const int count = rankHypotheses(
        static_cast<int>(windows_.evenOffset % 2), static_cast<int>(levels_.size()),
        [this](int firstWindow) {
          readSlots(firstWindow);
          return SlotNumbers(slotNumbers_);
        },
        ranked);
    for (const Hypothesis& hypothesis : std::span(ranked).first(static_cast<std::size_t>(count))) {
      auto candidate = readPass(hypothesis);
      if (!candidate) continue;
      complete = true;
      if (accept(*candidate)) return PassOutcome::found;
    }
    return complete ? PassOutcome::rejected : PassOutcome::incomplete;
  }

  // What the frame reading (framing.h) asks of the windows.
  int slotCount() const { return static_cast<int>(slotNumbers_.size()); }
  int slotNumber(int slot) const { return slotNumbers_[static_cast<std::size_t>(slot)]; }
  std::uint8_t byteAt(int window) const { return readAt(window).byte; }
  const SymbolRead& readAt(int window) const { return symbols_[static_cast<std::size_t>(window)]; }
  Levels levelsAt(int window) const {
    Levels levels{};
    std::ranges::copy(levels_[static_cast<std::size_t>(window)], levels.begin());
    return levels;
  }
  double referenceAt(int window) const {
    return windows_.references[static_cast<std::size_t>(window)];
  }
  double weightAt(int window) const { return presence_[static_cast<std::size_t>(window)]; }
  double noise() const { return windows_.noise; }
  bool independent() const { return independentCopies_; }
  double leastDoubt() const { return independentCopies_ ? kLeastDoubt : kLeastDoubtInRoom; }
  double doubt(const FrameReads& reads) const { return frameDoubt(reads); }

 private:
  const HeardWindows& windows_;
  std::span<const ToneLevels> levels_;
  const std::vector<SymbolRead>& symbols_;  // per window: its byte, read on its own
  const std::vector<double>& presence_;     // per window: how much of its sound was heard
  const std::vector<bool>& erased_;         // per window: too little left to read a frame alone
  bool independentCopies_;
  std::vector<std::uint8_t> slotNumbers_;  // per slot of the current first window: its frame
                                           // number where it checks on its own, or 0

  // The slots starting at `firstWindow`.
  void readSlots(int firstWindow) {
    const int windows = static_cast<int>(levels_.size());
    slotNumbers_.clear();
    for (int first = firstWindow; first + kFrameWindows <= windows; first += kFrameWindows) {
      slotNumbers_.push_back(checkingNumber(
          first, [this](int w) { return byteAt(w); },
          [this](int w) { return static_cast<bool>(erased_[static_cast<std::size_t>(w)]); }));
    }
  }

  std::optional<PassCandidate> readPass(const Hypothesis& h) {
    readSlots(h.firstWindow);
    PassCandidate pass;
    pass.frames = h.frames;
    pass.everyFrameAlone = true;
    for (int number = 1; number <= h.frames; ++number) {
      FrameRead frame;
      if (!readFrame(*this, h, number, frame)) return std::nullopt;
      pass.payload.insert(pass.payload.end(), frame.bytes.begin() + 1, frame.bytes.end() - 1);
      pass.passes = std::max(pass.passes, frame.passes);
      pass.everyFrameAlone = pass.everyFrameAlone && frame.alone;
    }
    pass.wrapHeard = wrapHeard(slotNumbers_, h);
    return pass;
  }
};

}  // namespace

PassOutcome findPass(const HeardWindows& windows, Copies copies,
                     const std::function<bool(const PassCandidate&)>& accept) {
  return PassReader(windows, copies).run(accept);
}

}  // namespace sonicsend::receiver
