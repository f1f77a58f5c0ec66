#include "frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "framing.h"
#include "reading.h"

namespace sonicsend::receiver {
namespace {

// Readings through a model of the room need a wider margin than kLeastDoubt: the copies in
// different passes are one reading, and a tone read a symbol off in two neighbouring symbols
// passes every check.
constexpr double kLeastDoubtInRoom = 0.8;
// Noise whose spread of a symbol's margins stays below this needs no allowance for a symbol
// heard only in part.
constexpr double kQuietSpread = 0.1;

using SymbolReads = std::array<SymbolRead, kSymbolsPerFrame>;

class PassReader {
 public:
  PassReader(const HeardWindows& windows, Copies copies)
      : windows_(windows),
        levels_(windows.levels),
        symbols_(windows.reads),
        presence_(windows.presence.heard),
        erased_(windows.presence.erased),
        independentCopies_(copies == Copies::independent) {}

  FrameSearch run(const std::function<bool(const PassCandidate&)>& accept) {
    bool complete = false;
    std::array<Hypothesis, kMostHypotheses> ranked;
    const int count = rankHypotheses(
        static_cast<int>(windows_.evenOffset % 2), static_cast<int>(levels_.size()),
        [this](int firstWindow) {
          readSlots(static_cast<std::size_t>(firstWindow));
          return SlotNumbers(slotNumbers_);
        },
        ranked);
    for (const Hypothesis& hypothesis : std::span(ranked).first(static_cast<std::size_t>(count))) {
      auto candidate = readPass(hypothesis);
      if (!candidate) continue;
      complete = true;
      if (accept(*candidate)) return FrameSearch::found;
    }
    return complete ? FrameSearch::rejected : FrameSearch::incomplete;
  }

 private:
  const HeardWindows& windows_;
  std::span<const ToneLevels> levels_;
  const std::vector<SymbolRead>& symbols_;  // per window: its byte, read on its own
  const std::vector<double>& presence_;     // per window: how much of its sound was heard
  const std::vector<bool>& erased_;         // per window: too little left to read a frame alone
  bool independentCopies_;
  std::vector<FrameBytes> slotFrames_;     // per slot of the current firstWindow
  std::vector<std::uint8_t> slotNumbers_;  // its frame number where it checks on its own, or 0

  double leastDoubt() const { return independentCopies_ ? kLeastDoubt : kLeastDoubtInRoom; }

  std::size_t slotCount(std::size_t firstWindow) const {
    return (levels_.size() - firstWindow) / kSymbolsPerFrame;
  }

  void readSlots(std::size_t firstWindow) {
    const std::size_t slots = slotCount(firstWindow);
    slotFrames_.resize(slots);
    slotNumbers_.resize(slots);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
        slotFrames_[slot][i] = symbols_[firstWindow + kSymbolsPerFrame * slot + i].byte;
      }
      const bool checks = frameChecks(slotFrames_[slot]) && !holdsErasure(firstWindow, slot);
      slotNumbers_[slot] = checks ? slotFrames_[slot][0] : 0;
    }
  }

  bool holdsErasure(std::size_t firstWindow, std::size_t slot) const {
    for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
      const std::size_t w = firstWindow + kSymbolsPerFrame * slot + i;
      if (erased_[w]) return true;
    }
    return false;
  }

  SymbolReads slotReads(std::size_t firstWindow, std::size_t slot) const {
    SymbolReads reads{};
    for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
      reads[i] = symbols_[firstWindow + kSymbolsPerFrame * slot + i];
    }
    return reads;
  }

  // Sums the levels of frame slots `slots`, symbol by symbol, and reads the sum. A window cut
  // short by a dropout sounds its tones as much weaker as its carrier, over the same noise, so
  // it counts by what was heard of it: its levels weighed by its presence, its threshold by
  // the square. A symbol heard only in part in every pass is less certain, unless the noise
  // is so low that even that part stands far above it.
  SymbolReads readCombined(std::size_t firstWindow, const std::vector<std::size_t>& slots) const {
    SymbolReads reads{};
    for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
      Levels sum{};
      double threshold = 0.0;
      double heard = 0.0;
      for (std::size_t slot : slots) {
        const std::size_t w = firstWindow + kSymbolsPerFrame * slot + i;
        const double weight = presence_[w];
        for (std::size_t tone = 0; tone < kToneCount; ++tone)
          sum[tone] += weight * levels_[w][tone];
        threshold += weight * weight * windows_.references[w];
        heard += weight * weight;
      }
      reads[i] = readSymbol(sum, threshold);
      const double certainty = std::sqrt(heard / static_cast<double>(slots.size()));
      const double spread = windows_.noise / std::sqrt(std::max(heard, 1e-12));
      const double scale =
          spread <= kQuietSpread ? 1.0 : std::max(certainty, kQuietSpread / spread);
      for (double& margin : reads[i].margin) margin *= scale;
    }
    return reads;
  }

  static FrameBytes bytesOf(const SymbolReads& reads) {
    FrameBytes frame{};
    for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) frame[i] = reads[i].byte;
    return frame;
  }

  struct FrameRead {
    FrameBytes bytes;
    int passes = 0;
    bool alone = false;  // from copies that checked on their own
  };

  // Frame `number` under `h`. Two independent copies that check on their own and agree are
  // taken first;
  // else the sum of all copies, which hears more than any one of them; else, when a loud
  // disturbance spoils the sum, the one copy that checks. A reading not confirmed by a
  // second copy must be clearly likelier than any other reading that would pass the check.
  std::optional<FrameRead> readFrame(const Hypothesis& h, int number) const {
    std::vector<std::size_t> slots;
    std::map<FrameBytes, std::vector<std::size_t>> copies;  // checking copies by content
    std::set<int> passesHeard;
    for (std::size_t slot = 0; slot < slotFrames_.size(); ++slot) {
      if (h.numberAt(static_cast<int>(slot)) != number) continue;
      slots.push_back(slot);
      if (slotNumbers_[slot] == number) {
        copies[slotFrames_[slot]].push_back(slot);
        passesHeard.insert(h.passAt(static_cast<int>(slot)));
      }
    }
    if (slots.empty()) return std::nullopt;
    const auto best = std::max_element(
        copies.begin(), copies.end(),
        [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
    const int heard = static_cast<int>(passesHeard.size());
    if (independentCopies_ && best != copies.end() && best->second.size() >= 2)
      return FrameRead{best->first, heard, true};
    const SymbolReads combined = readCombined(h.firstWindow, slots);
    const FrameBytes sum = bytesOf(combined);
    if (frameChecks(sum) && sum[0] == number && frameDoubt(combined) >= leastDoubt()) {
      const bool alone = best != copies.end() && best->first == sum;
      return FrameRead{sum, std::max(heard, static_cast<int>(slots.size())), alone};
    }
    if (best != copies.end() &&
        frameDoubt(slotReads(h.firstWindow, best->second.front())) >= leastDoubt()) {
      return FrameRead{best->first, heard, true};
    }
    return std::nullopt;
  }

  std::optional<PassCandidate> readPass(const Hypothesis& h) {
    readSlots(h.firstWindow);
    PassCandidate pass;
    pass.frames = h.frames;
    pass.everyFrameAlone = true;
    for (int number = 1; number <= h.frames; ++number) {
      const auto frame = readFrame(h, number);
      if (!frame) return std::nullopt;
      pass.payload.insert(pass.payload.end(), frame->bytes.begin() + 1, frame->bytes.end() - 1);
      pass.passes = std::max(pass.passes, frame->passes);
      pass.everyFrameAlone = pass.everyFrameAlone && frame->alone;
    }
    pass.wrapHeard = wrapHeard(slotNumbers_, h);
    return pass;
  }
};

}  // namespace

FrameSearch findPass(const HeardWindows& windows, Copies copies,
                     const std::function<bool(const PassCandidate&)>& accept) {
  return PassReader(windows, copies).run(accept);
}

}  // namespace sonicsend::receiver
