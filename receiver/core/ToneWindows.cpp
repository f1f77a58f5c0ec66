#include "ToneWindows.h"

#include <algorithm>
#include <cmath>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

constexpr auto kTones = static_cast<std::size_t>(kToneCount);
// The timing follows its peak by this share per symbol, at most kMostTimingStep blocks; the
// energies fade by kTimingFade per symbol.
constexpr float kTimingGain = 0.3f;
constexpr float kMostTimingStep = 3.0f;
constexpr float kTimingFade = 0.8f;
// The recorder's clock (RecorderClock) is measured over four parts of 12 blocks in the middle
// of each window: about two periods of the tones' spacing each, so that the other tones
// cancel in a part, and short enough that the odd carrier turns by less than half a cycle from
// one part to the next with the clock 1.8 % off. The turns fade by kClockFade per window. A
// measure is sure once its turns agree so well that noise alone, which turns every way, would
// agree as well less than once in e^kNearEvidence windows (e^kFarEvidence for each carrier's
// far turns), and the carriers' far turns agree to kFarAgreement of a cycle on an error within
// kNearReach of the near measure's (a room draws that one 0.35 % off at most, as measured).
constexpr int kClockPart = 12;
constexpr int kClockSkip = (ToneWindows::kWindowBlocks - RecorderClock::kParts * kClockPart) / 2;
constexpr float kClockFade = 0.95f;
constexpr float kNearEvidence = 20.0f;
constexpr float kFarEvidence = 8.0f;
constexpr float kNearReach = 0.004f;
constexpr float kFarAgreement = 0.125f;
// The speed is set when the clock is sure to be more than kClockDeadZone off: a clock nearer
// than that is heard as it is, and the speed stays exactly 1 for every recording a clock so
// close made. Once set, it follows in steps of kClockStep or more, within kMostClockError of
// 1, and goes back to 1 once the carriers were not sure for kClockMemory windows (seven
// seconds, after the two the turns take to fade): what a sound other than the sender's made
// it is forgotten.
constexpr float kClockDeadZone = 0.002f;
constexpr float kClockStep = 0.0005f;
constexpr float kMostClockError = 0.02f;
constexpr int kClockMemory = 120;

// The turns of a whole cycle nearest to `cycles`, as a fraction of a cycle in [-0.5, 0.5].
float offWhole(float cycles) {
  return cycles - std::floor(cycles + 0.5f);
}

}  // namespace

ToneWindows::ToneWindows(int sampleRate, MixTurn* mixTable)
    : mixer_(sampleRate, blockSamplesFor(sampleRate), mixTable),
      nominalSymbolBlocks_(static_cast<float>(kSymbolSamples) * static_cast<float>(sampleRate) /
                           static_cast<float>(kSampleRate) /
                           static_cast<float>(blockSamplesFor(sampleRate))),
      symbolBlocks_(nominalSymbolBlocks_) {
  startOver();
}

void ToneWindows::startOver() {
  setSpeed(1.0f);
  speedMoved_ = false;
  mixer_.startOver();
  blockFill_ = 0;
  for (ToneSums& block : blocks_) block.fill({});
  blockCount_ = 0;
  window_.fill({});
  timing_.fill(0.0f);
  toBoundary_ = symbolBlocks_;
  sinceBoundary_ = 0;
}

// A block's tones, turned to the phase of its first sample, join the ring and the window;
// true when a symbol boundary fell at its end.
bool ToneWindows::endBlock() {
  ToneSums& added = blocks_[blockCount_ % kBlockRing];
  const ToneSums& leaving = blocks_[(blockCount_ + kBlockRing - kWindowBlocks) % kBlockRing];
  mixer_.mix(block_.data(), [&](std::size_t tone, Mixer::Sum tones) {
    added[tone] = tones;
    window_[tone].re += tones.re - leaving[tone].re;
    window_[tone].im += tones.im - leaving[tone].im;
  });
  const float energy = CoreTones::energyOf(window_);
  ++blockCount_;
  blockFill_ = 0;
  toBoundary_ -= 1.0f;
  const bool boundary = toBoundary_ <= 0.5f;
  if (boundary) {
    sumWindow();
    speedMoved_ = false;
    followClock();
    toBoundary_ += symbolBlocks_ + timingError();
    sinceBoundary_ = 0;
  }
  // Where the window ending now lies against the boundaries: so many blocks after the last,
  // or, past half a symbol, before the next (one that would fall in the first half again, in
  // a symbol longer than the window, is left out). At speed 1 the blocks are counted from the
  // last boundary alone, as they always were: a symbol is 58.05 or 58.18 blocks there, and
  // the block a 59-block symbol adds counts with the boundary. With the clock 0.3 % or more
  // off that is one symbol in three or more, and the boundary's energy would pin the timing.
  if (speed_ == 1.0f || sinceBoundary_ < kWindowBlocks / 2) {
    timing_[static_cast<std::size_t>(sinceBoundary_ % kWindowBlocks)] += energy;
  } else if (const auto before = -static_cast<int>(std::floor(0.5f - toBoundary_));
             before <= kWindowBlocks / 2) {
    timing_[static_cast<std::size_t>(kWindowBlocks - before)] += energy;
  }
  ++sinceBoundary_;
  return boundary;
}

float peakOffset(const std::array<float, ToneWindows::kWindowBlocks>& energy) {
  constexpr int kBlocks = ToneWindows::kWindowBlocks;
  const auto peak =
      static_cast<int>(std::max_element(energy.begin(), energy.end()) - energy.begin());
  const float before = energy[static_cast<std::size_t>((peak + kBlocks - 1) % kBlocks)];
  const float at = energy[static_cast<std::size_t>(peak)];
  const float after = energy[static_cast<std::size_t>((peak + 1) % kBlocks)];
  const float curve = before - 2.0f * at + after;
  const float fraction = curve < 0.0f ? 0.5f * (before - after) / curve : 0.0f;
  return static_cast<float>(peak > kBlocks / 2 ? peak - kBlocks : peak) + fraction;
}

float ToneWindows::timingError() {
  const float error = peakOffset(timing_);
  for (float& energy : timing_) energy *= kTimingFade;
  return std::clamp(kTimingGain * error, -kMostTimingStep, kMostTimingStep);
}

void RecorderClock::Turns::add(Phasor turn) {
  sum = sum + turn;
  powers += norm(turn);
}

void RecorderClock::Turns::fade(float by) {
  sum = by * sum;
  powers *= by;
}

float RecorderClock::Turns::cycles() const {
  return std::atan2(sum.im, sum.re) / (2.0f * storedTones::kPi);
}

void RecorderClock::startOver() {
  near_ = {};
  far_ = {};
  earlier_ = {};
}

RecorderClock::Reading RecorderClock::measure(const std::array<Parts, 2>& carriers,
                                              const std::array<float, 2>& nearCycles,
                                              const std::array<float, 2>& farCycles) {
  float nearError = 0.0f;
  float nearWeights = 0.0f;
  for (std::size_t c = 0; c < carriers.size(); ++c) {
    const Parts& parts = carriers[c];
    near_[c].fade(kClockFade);
    far_[c].fade(kClockFade);
    for (std::size_t part = 0; part < parts.size(); ++part) {
      if (part > 0) near_[c].add(parts[part] * conj(parts[part - 1]));
      far_[c].add(parts[part] * conj(earlier_[c][1][part]));
    }
    earlier_[c] = {parts, earlier_[c][0]};
    nearError += near_[c].evidence() * near_[c].cycles() / nearCycles[c];
    nearWeights += near_[c].evidence();
  }
  if (!(nearWeights >= kNearEvidence) || !(far_[0].evidence() >= kFarEvidence) ||
      !(far_[1].evidence() >= kFarEvidence)) {
    return {};
  }
  // The even carrier's far turn is known up to whole cycles: of the errors it allows within
  // kNearReach of the near measure's, the one the odd carrier's far turn agrees with best.
  nearError /= nearWeights;
  const float even = far_[0].cycles();
  const float odd = far_[1].cycles();
  const float nearest = std::floor(nearError * farCycles[0] - even + 0.5f);
  Reading reading;
  float disagreement = kFarAgreement;
  for (float whole = nearest - 1.0f; whole <= nearest + 1.0f; whole += 1.0f) {
    const float evenError = (even + whole) / farCycles[0];
    const float off = offWhole(evenError * farCycles[1] - odd);
    if (std::abs(evenError - nearError) <= kNearReach && std::abs(off) <= disagreement) {
      disagreement = std::abs(off);
      // The odd carrier, turned to agree, is the surer: its far turn is the larger.
      reading = {true, (evenError * farCycles[1] - off) / farCycles[1]};
    }
  }
  return reading;
}

// The carriers' parts of the window just ended tell the recorder's clock (RecorderClock);
// once it is clearly off, the mixer and the symbol length are set to it.
void ToneWindows::followClock() {
  std::array<RecorderClock::Parts, 2> carriers{};
  const std::array<std::size_t, 2> tones = {kEvenCarrier, kOddCarrier};
  for (std::size_t c = 0; c < tones.size(); ++c) {
    for (int part = 0; part < RecorderClock::kParts; ++part) {
      const int newest = 1 + kClockSkip + (RecorderClock::kParts - 1 - part) * kClockPart;
      Mixer::Sum sum{};
      for (int b = newest; b < newest + kClockPart; ++b) {
        sum = sum + blocks_[(blockCount_ + kBlockRing - static_cast<std::uint32_t>(b)) % kBlockRing]
                           [tones[c]];
      }
      carriers[c][static_cast<std::size_t>(part)] = CoreTones::toPhasor(sum);
    }
  }
  // A carrier's turn per unit of the speed's error: its cycles per sample times the samples
  // from one part to the next, or from one of its windows to the next, two symbols on.
  std::array<float, 2> nearCycles{};
  std::array<float, 2> farCycles{};
  for (std::size_t c = 0; c < tones.size(); ++c) {
    const float perBlock =
        mixer_.cyclesPerSample(tones[c]) * static_cast<float>(mixer_.blockSamples());
    nearCycles[c] = perBlock * static_cast<float>(kClockPart);
    farCycles[c] = perBlock * 2.0f * symbolBlocks_;
  }
  const RecorderClock::Reading reading = clock_.measure(carriers, nearCycles, farCycles);
  if (!reading.sure) {
    if (++unsureWindows_ >= kClockMemory && speed_ != 1.0f) setSpeed(1.0f);
    return;
  }
  unsureWindows_ = 0;
  if (std::abs(reading.error) > (speed_ == 1.0f ? kClockDeadZone : kClockStep)) {
    setSpeed(std::clamp(speed_ + reading.error, 1.0f - kMostClockError, 1.0f + kMostClockError));
  }
}

// The mixer and the symbol length at `speed`; the clock is measured afresh from there. The
// mixer's table is made again only for a new speed (it was made at 1 with the mixer).
void ToneWindows::setSpeed(float speed) {
  speedMoved_ = std::abs(speed - speed_) > kClockDeadZone;
  if (speed != speed_) mixer_.tune(speed);
  speed_ = speed;
  symbolBlocks_ = nominalSymbolBlocks_ / speed_;
  clock_.startOver();
  unsureWindows_ = 0;
}

// The window ending now, summed afresh from its blocks so that rounding does not build up in
// the running sum.
void ToneWindows::sumWindow() {
  window_.fill({});
  for (int b = 1; b <= kWindowBlocks; ++b) {
    const ToneSums& block =
        blocks_[(blockCount_ + kBlockRing - static_cast<std::uint32_t>(b)) % kBlockRing];
    for (std::size_t tone = 0; tone < kTones; ++tone) {
      window_[tone].re += block[tone].re;
      window_[tone].im += block[tone].im;
    }
  }
  mixer_.renormalize();
}

}  // namespace sonicsend::receiver
