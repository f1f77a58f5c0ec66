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
#include "ringing.h"

namespace sonicsend::receiver {
namespace {

// The carrier must stand out from the other carrier by this many standard errors before the
// windows are read at all; noise alone reaches 6 about once in a billion tries.
constexpr double kSignalScore = 6.0;
// Stretches that may show the carrier on their own, between loud disturbances: three frames,
// and one frame with a higher score, since few windows make a chance score likelier.
struct Stretch {
  std::size_t windows;
  double score;
};
constexpr std::array<Stretch, 2> kCarrierStretches = {{{30, kSignalScore}, {10, 2 * kSignalScore}}};
// A frame read once, not confirmed by a second copy, is taken only when every other reading
// that would pass its check costs at least this much more (see frameDoubt).
constexpr double kLeastDoubt = 0.5;
// The same for readings through a model of the room: the copies in different passes are one
// reading, and a tone read a symbol off in two neighbouring symbols passes every check.
constexpr double kLeastDoubtInRoom = 0.8;
// Windows on each side whose carriers set a window's reference level: their median.
constexpr std::size_t kReferenceReach = 4;
// A window whose carrier falls below this share of its reference level lost part of its sound
// (a dropout): it counts only by what was heard of it when passes are added up; below the
// last share, not at all, since the tones cut off in it spill into one another. A window
// that lost half its sound reads as a byte of silence or near it, so a frame holding one
// never checks on its own.
constexpr double kWholeFrom = 0.8;
constexpr double kReadAloneFrom = 0.5;
constexpr double kErasedBelow = 0.1;
// A carrier counts as cut short only when it falls below its reference by this many times
// what noise measures in a tone that is off (the median: about 3.5 standard deviations).
constexpr double kDropBeyondNoise = 3.0;
// Noise whose spread of a symbol's margins stays below this needs no allowance for a symbol
// heard only in part.
constexpr double kQuietSpread = 0.1;

using SymbolReads = std::array<SymbolRead, kSymbolsPerFrame>;

// How the windows fall into frames and the frames into passes: frame slot t starts at window
// firstWindow + 10 t and carries frame number ((t - firstSlot) mod frames) + 1.
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
  // `independentCopies`: whether the copies of a frame in different passes err independently,
  // as with noise. Levels learnt from a model of the room may err alike in every pass.
  PassReader(const std::vector<ToneLevels>& levels, bool independentCopies)
      : levels_(levels), independentCopies_(independentCopies) {}

  FrameSearch run(const std::function<bool(const PassCandidate&)>& accept) {
    if (levels_.size() < kSymbolsPerFrame || !findCarrier()) return FrameSearch::no_signal;
    setReferences();
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
  const std::vector<ToneLevels>& levels_;
  bool independentCopies_;
  std::size_t evenOffset_ = 0;          // window w is an even symbol when w + evenOffset_ is even
  std::vector<double> reference_;       // per window: the carriers' level around it
  double noiseShare_ = 1.0;             // what noise measures, in units of the reference
  std::vector<SymbolRead> symbols_;     // per window: its byte, read on its own
  std::vector<double> presence_;        // per window: how much of its sound was heard
  std::vector<bool> erased_;            // per window: too little left to read a frame alone
  std::vector<FrameBytes> slotFrames_;  // per slot of the current firstWindow
  std::vector<bool> slotChecks_;

  double leastDoubt() const { return independentCopies_ ? kLeastDoubt : kLeastDoubtInRoom; }

  bool isEven(std::size_t window) const { return (window + evenOffset_) % 2 == 0; }
  double carrierAt(std::size_t window) const {
    return levels_[window][isEven(window) ? kEvenCarrier : kOddCarrier];
  }

  // The carriers alternate k = 8, k = 13 from symbol to symbol: their difference, signed by
  // the window's parity, tells which windows are even symbols and whether a signal is there,
  // in the whole recording or in any stretch of a few frames of it.
  bool findCarrier() {
    const std::size_t count = levels_.size();
    std::vector<double> sums(count + 1, 0.0);
    std::vector<double> squares(count + 1, 0.0);
    long votes = 0;  // signs rather than sizes: a loud disturbance has one vote per window
    for (std::size_t w = 0; w < count; ++w) {
      const double d = static_cast<double>(levels_[w][kEvenCarrier]) - levels_[w][kOddCarrier];
      const double signedD = w % 2 == 0 ? d : -d;
      sums[w + 1] = sums[w] + signedD;
      squares[w + 1] = squares[w] + d * d;
      votes += signedD > 0.0 ? 1 : (signedD < 0.0 ? -1 : 0);
    }
    evenOffset_ = votes >= 0 ? 0 : 1;
    // The mean difference in standard errors, over windows first ... last - 1.
    const auto standsOut = [&](std::size_t first, std::size_t last, double score) {
      const double n = static_cast<double>(last - first);
      const double mean = std::abs(sums[last] - sums[first]) / n;
      const double variance = std::max(0.0, (squares[last] - squares[first]) / n - mean * mean);
      return mean > 0.0 && mean * mean * n >= score * score * variance;
    };
    if (standsOut(0, count, kSignalScore)) return true;
    for (const auto& [length, score] : kCarrierStretches) {
      const std::size_t stretch = std::min(count, length);
      for (std::size_t first = 0; first + stretch <= count; ++first) {
        if (standsOut(first, first + stretch, score)) return true;
      }
    }
    return false;
  }

  void setReferences() {
    const std::size_t count = levels_.size();
    reference_.assign(count, 0.0);
    symbols_.resize(count);
    for (std::size_t w = 0; w < count; ++w) {
      const std::size_t first = w >= kReferenceReach ? w - kReferenceReach : 0;
      const std::size_t last = std::min(count - 1, w + kReferenceReach);
      // The median: a loud disturbance next to a window does not raise its threshold.
      std::vector<double> carriers;
      for (std::size_t v = first; v <= last; ++v) carriers.push_back(carrierAt(v));
      const auto middle = carriers.begin() + static_cast<std::ptrdiff_t>(carriers.size() / 2);
      std::nth_element(carriers.begin(), middle, carriers.end());
      reference_[w] = *middle;
      Levels own{};
      std::copy(levels_[w].begin(), levels_[w].end(), own.begin());
      symbols_[w] = readSymbol(own, reference_[w]);
    }
    noiseShare_ = measureNoise();
    // What each window kept is fixed from here on, and every hypothesis asks it again.
    presence_.resize(count);
    erased_.resize(count);
    for (std::size_t w = 0; w < count; ++w) {
      presence_[w] = presence(w);
      erased_[w] = cutShort(w) && kept(w) < kReadAloneFrom;
    }
  }

  // The median level of the tones read as off, in units of their window's reference: what
  // noise (and ringing) alone measure, as a share of the threshold.
  double measureNoise() const {
    std::vector<double> shares;
    for (std::size_t w = 0; w < levels_.size(); ++w) {
      if (reference_[w] <= 0.0) continue;
      const std::uint8_t byte = symbols_[w].byte;
      for (std::size_t bit = 0; bit < kBitToneK.size(); ++bit) {
        if (((byte >> bit) & 1) == 0) shares.push_back(levels_[w][toneOf(bit)] / reference_[w]);
      }
      if (std::popcount(byte) % 2 == 0)
        shares.push_back(levels_[w][toneOf(kBitToneK.size())] / reference_[w]);
    }
    if (shares.empty()) return 1.0;
    const auto middle = shares.begin() + static_cast<std::ptrdiff_t>(shares.size() / 2);
    std::nth_element(shares.begin(), middle, shares.end());
    return *middle;
  }

  std::size_t slotCount(std::size_t firstWindow) const {
    return (levels_.size() - firstWindow) / kSymbolsPerFrame;
  }

  void readSlots(std::size_t firstWindow) {
    const std::size_t slots = slotCount(firstWindow);
    slotFrames_.resize(slots);
    slotChecks_.resize(slots);
    for (std::size_t t = 0; t < slots; ++t) {
      for (std::size_t i = 0; i < kSymbolsPerFrame; ++i) {
        slotFrames_[t][i] = symbols_[firstWindow + kSymbolsPerFrame * t + i].byte;
      }
      slotChecks_[t] = frameChecks(slotFrames_[t]) && !holdsErasure(firstWindow, t);
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
    for (std::size_t firstWindow = evenOffset_ % 2; firstWindow < kSymbolsPerFrame;
         firstWindow += 2) {
      if (firstWindow + kSymbolsPerFrame > levels_.size()) break;
      readSlots(firstWindow);
      const int slots = static_cast<int>(slotFrames_.size());
      for (int frames = 1; frames <= std::min(kMaxFrames, slots); ++frames) {
        for (int firstSlot = 0; firstSlot < frames; ++firstSlot) {
          Hypothesis h{firstWindow, frames, firstSlot, 0, 0};
          for (std::size_t t = 0; t < slotFrames_.size(); ++t) {
            if (!slotChecks_[t]) continue;
            (slotFrames_[t][0] == h.numberAt(t) ? h.agreeing : h.disagreeing)++;
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

  // Whether a window lost part of its sound: its carrier fell further below its reference
  // level than noise explains, and no tone in it sounds as loud as the reference either (a
  // clipped window loses carrier to its loud tones, a cut one loses everything).
  bool cutShort(std::size_t window) const {
    if (1.0 - kept(window) <= kDropBeyondNoise * noiseShare_) return false;
    const ToneLevels& level = levels_[window];
    double loudest = level[toneIndex(kParityK)];
    for (int k : kBitToneK) loudest = std::max<double>(loudest, level[toneIndex(k)]);
    return loudest < reference_[window];
  }

  // What a window's carrier kept of its reference level.
  double kept(std::size_t window) const {
    return reference_[window] > 0.0 ? carrierAt(window) / reference_[window] : 1.0;
  }

  // How much of a window's sound was heard: 1, or for a window cut short by a dropout, what
  // its carrier kept, or nothing once too little is left.
  double presence(std::size_t window) const {
    if (!cutShort(window)) return 1.0;
    const double share = kept(window);
    if (share >= kWholeFrom) return 1.0;
    return share >= kErasedBelow ? share : 0.0;
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
      for (std::size_t t : slots) {
        const std::size_t w = firstWindow + kSymbolsPerFrame * t + i;
        const double weight = presence_[w];
        for (std::size_t tone = 0; tone < kToneCount; ++tone)
          sum[tone] += weight * levels_[w][tone];
        threshold += weight * weight * reference_[w];
        heard += weight * weight;
      }
      reads[i] = readSymbol(sum, threshold);
      const double certainty = std::sqrt(heard / static_cast<double>(slots.size()));
      const double spread = noiseShare_ / std::sqrt(std::max(heard, 1e-12));
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
    for (std::size_t t = 0; t < slotFrames_.size(); ++t) {
      if (h.numberAt(t) != number) continue;
      slots.push_back(t);
      if (slotChecks_[t] && slotFrames_[t][0] == number) {
        copies[slotFrames_[t]].push_back(t);
        passesHeard.insert(h.passAt(t));
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
    for (std::size_t t = 0; t + 1 < slotFrames_.size(); ++t) {
      if (slotChecks_[t] && slotChecks_[t + 1] && slotFrames_[t][0] == h.frames &&
          slotFrames_[t + 1][0] == 1 && h.numberAt(t) == h.frames) {
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

FrameSearch findPass(const SymbolGrid& grid,
                     const std::function<bool(const PassCandidate&)>& accept) {
  const FrameSearch search = PassReader(grid.levels, true).run(accept);
  if (search == FrameSearch::found) return search;
  // Heard as it came, the recording gave no message: read it again with the room's ringing
  // taken away.
  const auto cleaned = cancelRinging(grid);
  if (cleaned.empty()) return search;
  const FrameSearch again = PassReader(cleaned, false).run(accept);
  return again == FrameSearch::found || search != FrameSearch::rejected ? again : search;
}

}  // namespace sonicsend::receiver
