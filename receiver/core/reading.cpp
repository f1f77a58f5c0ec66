#include "reading.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonicsend::receiver {
namespace {

// Another reading of one symbol: two of its tones the other way, so the count stays even.
struct Alternative {
  std::uint8_t byte;
  double cost;
};

// Per symbol, the cheapest few alternatives; readings costlier than these are not likely.
constexpr std::size_t kAlternativesPerSymbol = 4;

using Alternatives = std::array<Alternative, kAlternativesPerSymbol>;

// A window whose carrier falls below this share of its reference level lost part of its sound
// (a dropout): it counts only by what was heard of it when passes are added up; below the
// last share, not at all, since the tones cut off in it spill into one another. A window
// that lost half its sound reads as a byte of silence or near it, so a frame holding one
// never checks on its own.
constexpr double kWholeFrom = 0.8;
constexpr double kReadAloneFrom = 0.5;
constexpr double kErasedBelow = 0.1;
// Noise whose spread of a symbol's margins stays below this needs no allowance for a symbol
// heard only in part.
constexpr double kQuietSpread = 0.1;
// A carrier counts as cut short only when it falls below its reference by this many times
// what noise measures in a tone that is off (the median: about 3.5 standard deviations).
constexpr double kDropBeyondNoise = 3.0;

// Fixed arrays only: the listening core runs this on devices without a heap.
Alternatives alternatives(const SymbolRead& read) {
  constexpr std::size_t kPairs = SymbolRead::kTones * (SymbolRead::kTones - 1) / 2;
  std::array<Alternative, kPairs> all{};
  std::size_t count = 0;
  for (std::size_t a = 0; a < SymbolRead::kTones; ++a) {
    for (std::size_t b = a + 1; b < SymbolRead::kTones; ++b) {
      std::uint8_t byte = read.byte;
      for (std::size_t tone : {a, b}) {
        if (tone < kBitToneK.size()) byte = static_cast<std::uint8_t>(byte ^ (1u << tone));
      }
      all[count++] = {byte, read.margin[a] + read.margin[b]};
    }
  }
  constexpr auto keep = static_cast<std::ptrdiff_t>(kAlternativesPerSymbol);
  std::partial_sort(all.begin(), all.begin() + keep, all.end(),
                    [](const Alternative& x, const Alternative& y) { return x.cost < y.cost; });
  Alternatives cheapest{};
  std::copy(all.begin(), all.begin() + keep, cheapest.begin());
  return cheapest;
}

}  // namespace

template <typename Level>
SymbolRead readSymbol(const std::array<Level, kToneCount>& level, NotDeducedT<Level> threshold) {
  SymbolRead read;
  std::array<bool, SymbolRead::kTones> on{};
  std::size_t weakest = 0;
  int sounding = 0;
  const Level unit = threshold > Level{0} ? threshold : Level{1};
  for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone) {
    const Level value = level[toneOf(tone)];
    on[tone] = value > threshold;
    sounding += on[tone] ? 1 : 0;
    read.margin[tone] = static_cast<double>(std::abs(value - threshold) / unit);
    if (read.margin[tone] < read.margin[weakest]) weakest = tone;
  }
  if (sounding % 2 != 0) {
    on[weakest] = !on[weakest];
    read.margin[weakest] = -read.margin[weakest];
  }
  for (std::size_t bit = 0; bit < kBitToneK.size(); ++bit) {
    if (on[bit]) read.byte = static_cast<std::uint8_t>(read.byte | (1u << bit));
  }
  return read;
}

template SymbolRead readSymbol<float>(const std::array<float, kToneCount>&, float);
template SymbolRead readSymbol<double>(const std::array<double, kToneCount>&, double);

template <typename Level>
Presence<Level> presenceOf(const std::array<Level, kToneCount>& level, Level carrier,
                           NotDeducedT<Level> reference, NotDeducedT<Level> noise) {
  const Level share = reference > Level(0) ? carrier / reference : Level(1);
  Level loudest = 0;
  for (std::size_t tone = 0; tone < SymbolRead::kTones; ++tone) {
    loudest = std::max(loudest, level[toneOf(tone)]);
  }
  const bool cut =
      Level(1) - share > static_cast<Level>(kDropBeyondNoise) * noise && loudest < reference;
  if (!cut || share >= static_cast<Level>(kWholeFrom)) return {};
  return {share >= static_cast<Level>(kErasedBelow) ? share : Level(0),
          share < static_cast<Level>(kReadAloneFrom)};
}

template Presence<float> presenceOf<float>(const std::array<float, kToneCount>&, float, float,
                                           float);
template Presence<double> presenceOf<double>(const std::array<double, kToneCount>&, double, double,
                                             double);

template <typename Level>
Level sumCertainty(Level heard, int slots, NotDeducedT<Level> noise) {
  const Level certainty = std::sqrt(heard / static_cast<Level>(slots));
  const Level spread = noise / std::sqrt(std::max(heard, Level(1e-12)));
  const auto quiet = static_cast<Level>(kQuietSpread);
  return spread <= quiet ? Level(1) : std::max(certainty, quiet / spread);
}

template float sumCertainty<float>(float, int, float);
template double sumCertainty<double>(double, int, double);

bool frameChecks(const FrameBytes& frame) {
  if (frame[0] < 1 || frame[0] > kMaxFrames) return false;
  std::uint8_t sum = 0;
  for (int i = 0; i + 1 < kFrameWindows; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  return static_cast<std::uint8_t>(sum | kFrameCheckFlag) == frame[kFrameWindows - 1];
}

double frameDoubt(const FrameReads& reads) {
  FrameBytes frame{};
  for (int i = 0; i < kFrameWindows; ++i) frame[i] = reads[i].byte;
  // Another reading keeps the number only where it keeps the first byte; it passes the check
  // when its running sum, the read one's moved by what each symbol changed, matches its last
  // byte. Sums are counted in the bytes' own arithmetic, modulo 256.
  if (frame[0] < 1 || frame[0] > kMaxFrames) return std::numeric_limits<double>::infinity();
  constexpr int kLast = kFrameWindows - 1;
  std::uint8_t sum = 0;
  for (int i = 0; i < kLast; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  // What reading byte `i` as `byte` adds to the sum, and the last byte it leaves.
  const auto change = [&frame](int i, std::uint8_t byte) {
    return static_cast<std::uint8_t>(i < kLast ? byte - frame[i] : 0);
  };
  const auto lastOf = [&frame](int i, std::uint8_t byte) {
    return i < kLast ? frame[kLast] : byte;
  };
  const auto passes = [&](std::uint8_t moved, std::uint8_t last) {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(sum + moved) | kFrameCheckFlag) ==
           last;
  };
  ByPosition<Alternatives, kFrameWindows> options;
  for (int i = 1; i < kFrameWindows; ++i) options[i] = alternatives(reads[i]);
  double least = std::numeric_limits<double>::infinity();
  // Every alternative changes its byte, so none at the first one keeps the number.
  for (int i = 1; i < kFrameWindows; ++i) {
    for (const Alternative& first : options[i]) {
      const std::uint8_t moved = change(i, first.byte);
      if (passes(moved, lastOf(i, first.byte))) least = std::min(least, first.cost);
      for (int j = i + 1; j < kFrameWindows; ++j) {
        for (const Alternative& second : options[j]) {
          const auto both = static_cast<std::uint8_t>(moved + change(j, second.byte));
          if (passes(both, lastOf(j, second.byte)))
            least = std::min(least, first.cost + second.cost);
        }
      }
    }
  }
  return least;
}

}  // namespace sonicsend::receiver
