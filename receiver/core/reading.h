// From tone levels to bytes and frames: whether the carriers show, how much of each window was
// heard, and how sure a frame reading is. Written once for the desktop receiver and the core.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ByPosition.h"
#include "portable.h"
#include "tones.h"

namespace sonicsend::receiver {

// The eleven tones k = 8 ... 18, indexed by k - 8.
inline constexpr int kToneCount = 11;
using ToneLevels = std::array<float, kToneCount>;

// A frame is a symbol window per byte.
inline constexpr int kFrameWindows = kFrameBytes;
inline constexpr int kMaxFrames = kMaxMessageBytes / kFramePayloadBytes;

using FrameBytes = ByPosition<std::uint8_t, kFrameWindows>;

// Where tone k lies among the eleven measured, k = 8 ... 18.
inline constexpr std::size_t toneIndex(int k) {
  return static_cast<std::size_t>(k - kCarrierEvenK);
}
inline constexpr std::size_t kEvenCarrier = toneIndex(kCarrierEvenK);
inline constexpr std::size_t kOddCarrier = toneIndex(kCarrierOddK);
using Levels = std::array<double, kToneCount>;

// One symbol's byte, and what reading each of its tones the other way would cost.
struct SymbolRead {
  static constexpr std::size_t kTones = kBitToneK.size() + 1;  // the bit tones, then parity
  std::uint8_t byte = 0;
  // How far each tone's level lies on the side taken, in units of the threshold; negative
  // for the tone flipped to make the count of tones even.
  std::array<double, kTones> margin{};
};
// The reads of a frame's symbols.
using FrameReads = ByPosition<SymbolRead, kFrameWindows>;

// Where a symbol's bit tone 0 ... 7, or its parity tone (8), lies among the eleven measured.
inline constexpr std::size_t toneOf(std::size_t bitOrParity) {
  return toneIndex(bitOrParity < kBitToneK.size() ? kBitToneK[bitOrParity] : kParityK);
}

// Whether bit tone 0 ... 7, or the parity tone (8), sounds in a symbol carrying `byte`: the
// parity tone makes the count of tones even.
inline bool soundsIn(std::uint8_t byte, std::size_t bitOrParity) {
  if (bitOrParity < kBitToneK.size()) return ((byte >> bitOrParity) & 1) != 0;
  return countOnes(byte) % 2 != 0;
}

// Windows on each side whose carriers set a window's reference level.
inline constexpr std::size_t kReferenceReach = 4;

// A window's reference level, the threshold its tones are read against: the median of the
// carriers of the windows within kReferenceReach of it (of windows 0 ... count - 1), so that a
// loud disturbance next to it does not raise it. `carrierAt(v)` is window v's own carrier.
template <typename CarrierAt>
auto carrierReference(std::size_t window, std::size_t count, CarrierAt carrierAt) {
  std::array<decltype(carrierAt(window)), 2 * kReferenceReach + 1> around{};
  const std::size_t first = window >= kReferenceReach ? window - kReferenceReach : 0;
  const std::size_t last = std::min(count - 1, window + kReferenceReach);
  std::size_t n = 0;
  for (std::size_t v = first; v <= last; ++v) around[n++] = carrierAt(v);
  const auto middle = around.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(around.begin(), middle, around.begin() + static_cast<std::ptrdiff_t>(n));
  return *middle;
}

// The carriers alternate k = 8, k = 13 from symbol to symbol: their difference, signed by the
// window's parity, stands out from noise when the sender sounds, over all `count` windows or
// over any stretch of a few frames between loud disturbances. `differenceAt(w)` is window
// w's even carrier less its odd one. Returns the parity of the even symbols (window w is one
// when w + parity is even), or -1 when no signal shows.
template <typename DifferenceAt>
int carrierParity(std::size_t count, DifferenceAt differenceAt);

// The median level of the tones read as off, in units of their window's reference, over
// `count` windows (`levelsAt(w)`, `referenceAt(w)`, `byteAt(w)`): what noise (and ringing)
// alone measure, as a share of the threshold; 1 when nothing was measured. Counted in fixed
// memory, in steps of 1/128 of the reference from 0 to 2.
template <typename LevelsAt, typename ReferenceAt, typename ByteAt>
auto noiseShare(std::size_t count, LevelsAt levelsAt, ReferenceAt referenceAt, ByteAt byteAt);

// What the margins of a sum of copies are worth: a symbol heard only in part in every pass
// (`heard`: the squared weights of the copies summed, of `slots` passes) is as much less
// certain, unless `noise` is so low that even that part stands far above it.
template <typename Level>
Level sumCertainty(Level heard, int slots, NotDeducedT<Level> noise);

// How much of a window's sound was heard, as a dropout leaves it.
template <typename Level>
struct Presence {
  Level heard = 1;      // 1; what the carrier kept of a window cut short; 0 when erased
  bool erased = false;  // too little left to read a frame holding it on its own
};

// A window whose carrier fell further below its reference than `noise` (the median level of
// a tone that is off, in units of the reference) explains, with no bit or parity tone as loud
// as the reference either, lost part of its sound (a clipped window loses carrier to its loud
// tones, a cut one loses everything).
template <typename Level>
Presence<Level> presenceOf(const std::array<Level, kToneCount>& level, Level carrier,
                           NotDeducedT<Level> reference, NotDeducedT<Level> noise);

// A bit tone sounds at twice the carrier's amplitude, so the carrier's level, `threshold`, is
// the midpoint between a tone that is off and one that is on. A symbol always sounds an even
// number of bit and parity tones: when the count read is odd, the least certain tone flips.
// Single precision serves devices whose FPU has only that (float and double are instantiated).
template <typename Level>
SymbolRead readSymbol(const std::array<Level, kToneCount>& level, NotDeducedT<Level> threshold);

// Number 1 ... 12, then the check byte: the running sum of number and payload, bit 7 set.
bool frameChecks(const FrameBytes& frame);

// The frame check ignores bit 7 of the sum, and bytes can make up for each other, so another
// reading of a frame may pass the check as well. This is the cost, in units of the threshold,
// of the likeliest other reading of `reads` that passes it with the same frame number, among
// those that change one or two symbols by two tones each (infinity when there is none).
double frameDoubt(const FrameReads& reads);

// A frame read once, not confirmed by a second copy, is taken only when every other reading
// that would pass its check costs at least this much more.
inline constexpr double kLeastDoubt = 0.5;
// Readings through a model of the room need a wider margin: the copies in different passes
// are one reading, and a tone read a symbol off in two neighbouring symbols passes every check.
inline constexpr double kLeastDoubtInRoom = 0.8;

namespace carrierTest {
// The carrier must stand out from the other carrier by this many standard errors over all the
// windows; noise alone reaches 6 about once in a billion tries. Stretches that may show it on
// their own: three frames, and one frame with a higher score, since few windows make a chance
// score likelier.
inline constexpr double kSignalScore = 6.0;
struct Stretch {
  std::size_t windows;
  double score;
};
inline constexpr std::array<Stretch, 2> kStretches = {
    {{3 * kFrameWindows, kSignalScore}, {kFrameWindows, 2 * kSignalScore}}};
inline constexpr std::size_t kLongestStretch = 3 * kFrameWindows;
}  // namespace carrierTest

// The step of noiseShare a level falls in: level / reference x 128, its whole part, clamped to
// the steps (a share below 0, as a level read through a model of the room may give, in the
// first; not a number in the last).
template <typename Level>
class ShareSteps {
 public:
  static constexpr std::size_t kSteps = 256;
  static constexpr Level kStepsPerReference = 128;

  explicit ShareSteps(Level reference)
      : reference_(reference), perLevel_(kStepsPerReference / reference) {}

  std::size_t of(Level level) const {
    if constexpr (std::is_same_v<Level, float>) {
      // Single precision, as a chip without an FPU counts it in software: a product with
      // 128 / reference (taken once per window), which lies within 7 units in its last place of
      // the quotient's share (three roundings), gives the same step wherever it lies 16 units
      // or more from a step's edge; nearer one, the quotient decides.
      constexpr std::uint32_t kNear = 16;
      constexpr std::uint32_t kNearOne = 0x3F800000u - kNear;  // 1 - 16 x 2^-24
      const auto bits = bitCast<std::uint32_t>(level * perLevel_);
      const std::uint32_t exponent = (bits >> 23) & 255u;
      if (exponent != 255u) {             // a number
        if ((bits >> 31) != 0) return 0;  // below 0
        if (exponent < 127u) {
          if (bits < kNearOne) return 0;
        } else if (exponent >= 127u + 8u) {
          return kSteps - 1;  // 256 or more
        } else {
          const std::uint32_t fractionBits = 23u - (exponent - 127u);
          const std::uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
          const std::uint32_t fraction = mantissa & ((1u << fractionBits) - 1u);
          if (fraction >= kNear && fraction <= (1u << fractionBits) - kNear)
            return mantissa >> fractionBits;
        }
      }
    }
    const Level step = level / reference_ * kStepsPerReference;
    const Level clamped = std::clamp(step, Level(0), Level(kSteps - 1));
    return clamped == clamped ? static_cast<std::size_t>(clamped) : kSteps - 1;
  }

 private:
  Level reference_;
  Level perLevel_;
};

template <typename LevelsAt, typename ReferenceAt, typename ByteAt>
auto noiseShare(std::size_t count, LevelsAt levelsAt, ReferenceAt referenceAt, ByteAt byteAt) {
  using Level = decltype(referenceAt(std::size_t{0}));
  using Steps = ShareSteps<Level>;
  std::array<std::uint32_t, Steps::kSteps> bins{};
  std::uint32_t shares = 0;
  for (std::size_t w = 0; w < count; ++w) {
    const Level reference = referenceAt(w);
    if (reference <= Level(0)) continue;
    const Steps steps(reference);
    const auto levels = levelsAt(w);
    const std::uint8_t byte = byteAt(w);
    for (std::size_t bit = 0; bit < SymbolRead::kTones; ++bit) {
      if (soundsIn(byte, bit)) continue;
      ++bins[steps.of(static_cast<Level>(levels[toneOf(bit)]))];
      ++shares;
    }
  }
  if (shares == 0) return Level(1);
  // The (shares / 2 + 1)-th smallest share, at the middle of its step.
  std::uint32_t below = 0;
  std::size_t median = 0;
  while (below + bins[median] <= shares / 2) below += bins[median++];
  return (static_cast<Level>(median) + Level(0.5)) / Steps::kStepsPerReference;
}

template <typename DifferenceAt>
int carrierParity(std::size_t count, DifferenceAt differenceAt) {
  using namespace carrierTest;
  using Level = decltype(differenceAt(std::size_t{0}));
  // Whether a sum and a sum of squares over n windows put the mean `score` standard errors or
  // more from 0: mean^2 n >= score^2 variance, multiplied out by n^2 so that nothing divides.
  // A stretch of silence keeps in its running sums only what rounding left of the windows that
  // went out, and in its squares nothing or less than nothing: it shows nothing.
  const auto standsOut = [](Level sum, Level squares, std::size_t windows, double score) {
    const auto n = static_cast<Level>(windows);
    const auto scoreSquared = static_cast<Level>(score * score);
    return sum != Level(0) && squares > Level(0) &&
           sum * sum * (n + scoreSquared) >= scoreSquared * squares * n;
  };
  // Per stretch, the sums over its latest windows, from a ring of the latest differences.
  std::array<Level, kLongestStretch> latest{};
  std::array<Level, kStretches.size()> sums{};
  std::array<Level, kStretches.size()> squares{};
  bool stretchShows = false;
  Level total = 0;
  Level totalSquares = 0;
  long votes = 0;  // signs rather than sizes: a loud disturbance has one vote per window
  for (std::size_t w = 0; w < count; ++w) {
    const Level d = differenceAt(w);
    const Level signedD = w % 2 == 0 ? d : -d;
    votes += signedD > Level(0) ? 1 : (signedD < Level(0) ? -1 : 0);
    total += signedD;
    totalSquares += d * d;
    for (std::size_t s = 0; s < kStretches.size(); ++s) {
      const std::size_t length = kStretches[s].windows;
      sums[s] += signedD;
      squares[s] += d * d;
      if (w >= length) {
        const Level leaving = latest[(w - length) % kLongestStretch];
        sums[s] -= (w - length) % 2 == 0 ? leaving : -leaving;
        squares[s] -= leaving * leaving;
      }
      // A stretch as long as all the windows, when they are fewer.
      const bool full = w + 1 >= length || w + 1 == count;
      stretchShows =
          stretchShows ||
          (full && standsOut(sums[s], squares[s], std::min(w + 1, length), kStretches[s].score));
    }
    latest[w % kLongestStretch] = d;
  }
  if (count == 0) return -1;
  const bool shows = standsOut(total, totalSquares, count, kSignalScore) || stretchShows;
  return shows ? (votes >= 0 ? 0 : 1) : -1;
}

}  // namespace sonicsend::receiver
