#include "frames.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>

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

// How the windows fall into frames and the frames into passes: slot `slot` starts at window
// firstWindow + 10 slot and carries frame number ((slot - firstSlot) mod frames) + 1.
struct Hypothesis {
  std::size_t firstWindow = 0;
  int frames = 0;
  int firstSlot = 0;
  int agreeing = 0;     // slots whose own frame checks and has the expected number
  int disagreeing = 0;  // slots whose own frame checks but has another number

  int numberAt(std::size_t slot) const {
    const int offset = (static_cast<int>(slot) - firstSlot) % frames;
    return (offset + frames) % frames + 1;
  }
  int passAt(std::size_t slot) const {
    const int offset = static_cast<int>(slot) - firstSlot;
    return offset >= 0 ? offset / frames : -((-offset + frames - 1) / frames);
  }
};

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
    for (const Hypothesis& hypothesis : rankedHypotheses()) {
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
  std::vector<FrameBytes> slotFrames_;  // per slot of the current firstWindow
  std::vector<bool> slotChecks_;

  double leastDoubt() const { return independentCopies_ ? kLeastDoubt : kLeastDoubtInRoom; }

  std::size_t slotCount(std::size_t firstWindow) const {
    return (levels_.size() - firstWindow) / kSymbolsPerFrame;
  }

  void readSlots(std::size_t firstWindow) {
    const std::size_t slots = slotCount(firstWindow);
    slotFrames_.resize(slots);
    slotChecks_.resize(slots);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
        slotFrames_[slot][i] = symbols_[firstWindow + kSymbolsPerFrame * slot + i].byte;
      }
      slotChecks_[slot] = frameChecks(slotFrames_[slot]) && !holdsErasure(firstWindow, slot);
    }
  }

  bool holdsErasure(std::size_t firstWindow, std::size_t slot) const {
    for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
      const std::size_t w = firstWindow + kSymbolsPerFrame * slot + i;
      if (erased_[w]) return true;
    }
    return false;
  }

  // Every frame start on an even symbol, every pass length and every position of frame 1,
  // ordered by how many frames heard on their own support them.
  std::vector<Hypothesis> rankedHypotheses() {
    std::vector<Hypothesis> ranked;
    for (std::size_t firstWindow = windows_.evenOffset % 2; firstWindow < kSymbolsPerFrame;
         firstWindow += 2) {
      if (firstWindow + kSymbolsPerFrame > levels_.size()) break;
      readSlots(firstWindow);
      const int slots = static_cast<int>(slotFrames_.size());
      for (int frames = 1; frames <= std::min(kMaxFrames, slots); ++frames) {
        for (int firstSlot = 0; firstSlot < frames; ++firstSlot) {
          Hypothesis h{firstWindow, frames, firstSlot, 0, 0};
          for (std::size_t slot = 0; slot < slotFrames_.size(); ++slot) {
            if (!slotChecks_[slot]) continue;
            (slotFrames_[slot][0] == h.numberAt(slot) ? h.agreeing : h.disagreeing)++;
          }
          if (h.disagreeing <= h.agreeing) ranked.push_back(h);
        }
      }
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Hypothesis& a, const Hypothesis& b) {
      return a.agreeing - a.disagreeing > b.agreeing - b.disagreeing;
    });
    return ranked;
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
      if (h.numberAt(slot) != number) continue;
      slots.push_back(slot);
      if (slotChecks_[slot] && slotFrames_[slot][0] == number) {
        copies[slotFrames_[slot]].push_back(slot);
        passesHeard.insert(h.passAt(slot));
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

  // Whether some slot holding the last frame, checked on its own, is followed by frame 1.
  bool wrapHeard(const Hypothesis& h) const {
    for (std::size_t slot = 0; slot + 1 < slotFrames_.size(); ++slot) {
      if (slotChecks_[slot] && slotChecks_[slot + 1] && slotFrames_[slot][0] == h.frames &&
          slotFrames_[slot + 1][0] == 1 && h.numberAt(slot) == h.frames) {
        return true;
      }
    }
    return false;
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
    pass.wrapHeard = wrapHeard(h);
    return pass;
  }
};

}  // namespace

FrameSearch findPass(const HeardWindows& windows, Copies copies,
                     const std::function<bool(const PassCandidate&)>& accept) {
  return PassReader(windows, copies).run(accept);
}

}  // namespace sonicsend::receiver
