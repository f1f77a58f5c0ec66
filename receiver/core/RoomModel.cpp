#include "RoomModel.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "framing.h"
#include "frontEndNumbers.h"
#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

// Frames of windows to wait before looking for the carriers again where they did not show.
constexpr std::uint32_t kIdleFrames = 4;
// The model's work: each window of audio adds kCreditPerWindow, at most kMostCredit banked. A
// step costs a credit per window it reads, and as many again as it does besides (solving for a
// response, clearing its sums) as reading kStepOverhead windows.
constexpr int kCreditPerWindow = 300;
constexpr int kMostCredit = 40 * kCreditPerWindow;
constexpr int kStepOverhead = 64;
// Steps spread over a few polls, so that none takes long: windows compared per part of a lag,
// and ways tried per part of the search for a repeating frame.
constexpr int kLagPart = 192;
constexpr int kWaysPerPart = 512;
// A tone read from a first reading: the response it teaches, the reading through it, and
// whether it is kept.
constexpr int kReadingParts = 3;
// Rounds of swapping in runner-ups, each from the choice the last made: each makes at least two
// more frames check, so few are ever needed.
constexpr int kChoiceRounds = 8;
// The threshold of a room level: a tone sounds above it.
constexpr int kThresholdUnits = static_cast<int>(RoomReading::kLevelUnit);
// With an FPU a step runs whole in one poll, which stays short anyway, as the model's pace was
// set for. Without one, a poll runs a step's parts only as far as they read kPollWork windows
// together (as many as the longest part reads), so that no poll takes long, and a reading of
// few windows still takes few polls. Trying kWaysPerPart ways reads about as much as
// kWaysWork windows.
constexpr bool kSoftFloat = SONICSEND_LISTENER_FIXED != 0;
constexpr int kPollWork = kRoomWindows;
constexpr int kWaysWork = kRoomWindows / 2;

// The history's gains and cosines in whole units, for sums over the tones in integers: a gain
// in 1/32768, a cosine in 1/16384, and their product in 1/2^21, so that eleven add up to less
// than 2^25.
constexpr int kGainShift = 15, kCosShift = 14, kAlikeShift = 8;
constexpr float kGainUnit = 1.0f / (1 << kGainShift);
constexpr float kAlikeUnit = 1.0f / (1 << (kGainShift + kCosShift - kAlikeShift));
constexpr std::int32_t unitsOf(float value, int shift) {
  const double scaled = static_cast<double>(value) * (1 << shift);
  return static_cast<std::int32_t>(scaled + (scaled < 0.0 ? -0.5 : 0.5));
}
constexpr std::array<std::uint16_t, 256> kGainUnits = [] {
  std::array<std::uint16_t, 256> units{};
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<std::uint16_t>(unitsOf(storedTones::kGain[i], kGainShift));
  return units;
}();
constexpr std::array<std::int16_t, 256> kCosUnits = [] {
  std::array<std::int16_t, 256> units{};
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<std::int16_t>(unitsOf(storedTones::kTurn[i].cos, kCosShift));
  return units;
}();

// Steps of 1/256 of a turn in 1/65536: a tone's turn from one window to the next is kept to
// that, and a window's turn, its multiple, wraps round in 32 bits without losing a step.
constexpr float kStepsPerRadian = 128.0f / storedTones::kPi;
constexpr float kTurnUnit = 65536.0f;

// The nearest whole number, without a library call.
int nearest(float value) {
  const float shifted = value + 0.5f;
  const int truncated = static_cast<int>(shifted);
  return static_cast<float>(truncated) > shifted ? truncated - 1 : truncated;
}

std::int8_t toRoomLevel(float level) {
  return static_cast<std::int8_t>(
      std::lround(std::clamp(level, -1.0f, 3.0f) * RoomReading::kLevelUnit));
}

// A tone's level read through its response, where `on` is 1 when it sounds.
template <typename Scalar>
std::int8_t roomLevelOf(Scalar on) {
  if constexpr (std::is_same_v<Scalar, FixedScalar>) {
    constexpr int kShift = FixedScalar::kFraction - 6;  // on is 2 * 32 = 2^6 level units
    static_assert(2.0f * RoomReading::kLevelUnit == 64.0f);
    const int units = (on.steps() + (1 << (kShift - 1))) >> kShift;
    return static_cast<std::int8_t>(std::clamp(units, -32, 96));
  } else {
    return toRoomLevel(2.0f * on);
  }
}

// A tone's phasor as the heaviest steps work on it: in integers, scaled by `scale` and held
// within `most`, or as it is.
template <typename Work>
Work inWork(Phasor tone, float scale, std::int32_t most) {
  if constexpr (std::is_same_v<Work, FixedPhasor>) {
    return toFixed(tone, scale, most);
  } else {
    return tone;
  }
}

}  // namespace

// `drift` is the phase turned per window and per k.
RoomModel::AlignedWindows::AlignedWindows(const SymbolHistory& windows, std::uint32_t first,
                                          float driftPerK)
    : history(windows), place(windows.placeOf(first)) {
  for (std::size_t tone = 0; tone < turn.size(); ++tone) {
    const float drift = driftPerK * static_cast<float>(kCarrierEvenK + static_cast<int>(tone));
    turn[tone] = static_cast<std::uint32_t>(nearest(drift * kStepsPerRadian * kTurnUnit));
  }
}

// The steps tone `tone` turns over `windows` windows, to the nearest.
int RoomModel::AlignedWindows::stepsOver(int windows, std::size_t tone) const {
  const std::uint32_t units = turn[tone] * static_cast<std::uint32_t>(windows) + 0x8000u;
  return static_cast<int>(units >> 16);
}

Phasor RoomModel::AlignedWindows::at(int window, std::size_t tone) const {
  const SymbolHistory::Symbol& symbol = symbolAt(window);
  const auto step = static_cast<std::size_t>((symbol.phase[tone] - stepsOver(window, tone)) & 255);
  const float level = SymbolHistory::levelOf(symbol, tone);
  return {level * storedTones::kTurn[step].cos, level * storedTones::kTurn[step].sin};
}

void RoomModel::startOver() {
  stage_ = Stage::idle;
  credit_ = 0;
  base_ = 0;
  length_ = 0;
  nextStart_ = 0;
}

void RoomModel::earnCredit() {
  credit_ = std::min(credit_ + kCreditPerWindow, kMostCredit);
}

float RoomModel::levelOf(int window, std::size_t bit) const {
  return static_cast<float>(levels_[window][bit]) * RoomReading::kPerUnit;
}

// A new reading once a frame's worth of windows came since the last one began, or, when the
// carriers did not show in it, a few frames' worth.
void RoomModel::start(const SymbolHistory& history) {
  const std::uint32_t count = history.count();
  const auto windows = static_cast<int>(std::min<std::uint32_t>(count, kRoomWindows));
  if (count < nextStart_ || windows < 2 * kFrameWindows) return;
  length_ = windows;
  base_ = count - static_cast<std::uint32_t>(windows);
  nextStart_ = count + kFrameWindows;
  position_ = {};
  stage_ = Stage::working;
}

void RoomModel::step(const SymbolHistory& history) {
  if (stage_ == Stage::idle) start(history);
  if (stage_ != Stage::working) return;
  if (!history.keeps(base_)) {
    stage_ = Stage::idle;  // the windows it reads were overwritten
    return;
  }
  // Steps with nothing to do (lags too long to compare, the search for a repeating frame in
  // a longer loop) cost nothing: the next step runs in their place.
  while (!applies(position_)) position_ = next(position_);
  if (credit_ < costOf(position_)) return;
  int work = 0;
  do {
    work += workOf(position_);
    credit_ -= costOf(position_);
    run(position_, history);
    position_ = next(position_);
    while (stage_ == Stage::working && !applies(position_)) position_ = next(position_);
  } while (stage_ == Stage::working && isPart(position_) &&
           (!kSoftFloat || work + workOf(position_) <= kPollWork));
  if (stage_ == Stage::working && position_.step == Step::done) stage_ = Stage::ready;
}

// Whether a step goes on with the one before: the carriers after the clocks' mismatch, a later
// part of a lag, of the search for a repeating frame or of reading a tone, or the prediction's
// line and reading.
bool RoomModel::isPart(Position at) {
  return at.part > 0 || at.step == Step::carriers || at.step == Step::placeLine ||
         at.step == Step::readLine;
}

// How many windows a step reads, or as many as its work would read: the windows of a lag's
// part, or kWaysWork for a part of the ways tried.
int RoomModel::workOf(Position at) const {
  switch (at.step) {
    case Step::passLag:
      return std::min(kLagPart, lagWindows(at.index) - at.part * kLagPart);
    case Step::tryWays:
      return kWaysWork;
    case Step::choose:
      return FrameChoice::tries(static_cast<std::size_t>(at.index),
                                static_cast<std::size_t>(at.index + at.part), runnerUpMisfits_)
                 ? length_
                 : 0;
    default:
      return length_;
  }
}

// The windows compared for a lag of `frames` frames.
int RoomModel::lagWindows(int frames) const {
  return length_ - frames * kFrameWindows;
}

RoomModel::Position RoomModel::next(Position at) const {
  const bool lastTone = at.index + 1 == static_cast<int>(kRoomTones);
  switch (at.step) {
    case Step::measure:
      return {Step::carriers};
    case Step::carriers:
      return {Step::passLag, 1};
    case Step::passLag:
      if ((at.part + 1) * kLagPart < lagWindows(at.index))
        return {Step::passLag, at.index, 0, at.part + 1};
      return at.index < kMaxFrames ? Position{Step::passLag, at.index + 1}
                                   : Position{Step::predict};
    case Step::predict:
      return {Step::placeLine, at.index};
    case Step::placeLine:
      return {Step::readLine, at.index};
    case Step::readLine:
      return {Step::settle, at.index};
    case Step::settle:
      if (at.part < kReadingParts - 1) return {Step::settle, at.index, at.start, at.part + 1};
      if (at.start + 1 < kStarts) {
        const int start = at.start + 1;
        const bool repeating = static_cast<Start>(start) == Start::repeating;
        return {repeating ? Step::tryWays : Step::settle, at.index, start};
      }
      return lastTone ? Position{Step::saidByOthers} : Position{Step::predict, at.index + 1};
    case Step::tryWays:
      if ((at.part + 1) * kWaysPerPart < RepeatingWays<1, WorkPhasor>::kWays)
        return {Step::tryWays, at.index, at.start, at.part + 1};
      return {Step::settle, at.index, at.start};
    case Step::saidByOthers:
      if (at.part < kReadingParts - 1) return {Step::saidByOthers, at.index, 0, at.part + 1};
      return lastTone ? Position{Step::choose} : Position{Step::saidByOthers, at.index + 1};
    case Step::choose:
      if (at.index + at.part + 1 < static_cast<int>(kRoomTones))
        return {Step::choose, at.index, at.start, at.part + 1};
      if (!lastTone) return {Step::choose, at.index + 1, at.start};
      return choosing_ && at.start + 1 < kChoiceRounds ? Position{Step::choose, 0, at.start + 1}
                                                       : Position{Step::readBytes};
    case Step::readBytes:
      return {Step::cancel};
    case Step::cancel:
      if (at.part == 0) return {Step::cancel, at.index, 0, 1};
      return lastTone ? Position{Step::placeFrames} : Position{Step::cancel, at.index + 1};
    case Step::placeFrames:
      return {Step::weigh};
    case Step::weigh:
      return lastTone ? Position{Step::publish} : Position{Step::weigh, at.index + 1};
    case Step::publish:
    case Step::done:
      return {Step::done};
  }
  return {Step::done};
}

// Whether a step has work to do: a lag shorter than half the windows while the pass is not
// known yet, and the search for a repeating frame only in a loop of one frame.
bool RoomModel::applies(Position at) const {
  switch (at.step) {
    case Step::passLag:
      return pass_ == 0 && 2 * at.index * kFrameWindows <= length_;
    case Step::tryWays:
      return pass_ == kFrameWindows;
    case Step::settle:
      return static_cast<Start>(at.start) != Start::repeating || pass_ == kFrameWindows;
    default:
      return true;
  }
}

// What a step costs: a credit per window it reads, and kStepOverhead for what it does besides.
// Steps spread over a few polls cost what they did as one: a lag a part at a time, the carriers
// as part of the first measures, the prediction's line and its reading as part of its fit, the
// search for a repeating frame as part of the step that reads the tone from it, a tone's
// reading through its response, and whether it is kept, as part of learning the response, and
// a tone's swaps with the tones after it as part of its swap alone.
int RoomModel::costOf(Position at) const {
  switch (at.step) {
    case Step::passLag:
      return std::min(kLagPart, lagWindows(at.index) - at.part * kLagPart) +
             (at.part == 0 ? kStepOverhead : 0);
    case Step::settle:
    case Step::saidByOthers:
    case Step::choose:
    case Step::cancel:
      return at.part == 0 ? length_ + kStepOverhead : 0;
    case Step::carriers:
    case Step::placeLine:
    case Step::readLine:
    case Step::tryWays:
      return 0;
    default:
      return length_ + kStepOverhead;
  }
}

// One step of the reading.
void RoomModel::run(Position at, const SymbolHistory& history) {
  const AlignedWindows aligned{history, base_, drift_};
  const auto bit = static_cast<std::size_t>(at.index);
  switch (at.step) {
    case Step::measure:
      return measure(history);
    case Step::carriers:
      if (!measureCarriers(aligned, history)) {
        stage_ = Stage::idle;
        nextStart_ = history.count() + kIdleFrames * kFrameWindows;
      }
      return;
    case Step::passLag:
      return passLag(aligned, at.index, at.part);
    case Step::predict:
      return fitPrediction(aligned, toneOf(bit));
    case Step::placeLine:
      return placeLine(aligned, toneOf(bit));
    case Step::readLine:
      return readByPrediction();
    case Step::settle:
    case Step::saidByOthers: {
      const Start first =
          at.step == Step::settle ? static_cast<Start>(at.start) : Start::saidByOthers;
      if (at.part == 0) return settleTone(aligned, bit, first);
      if (at.part == 1) {
        firstRead_ = settling_;
        return readThrough(settling_, trial_.data(), 1);
      }
      return keepIfBest(aligned, bit, first);
    }
    case Step::tryWays:
      return tryWays(aligned, toneOf(bit), at.part);
    case Step::choose:
      if (at.index == 0 && at.start == 0 && at.part == 0) prepareChoice();
      choice_.tryWith(bit, bit + static_cast<std::size_t>(at.part), bestMisfits_, runnerUpMisfits_,
                      [this](std::uint32_t choice) { return checkingFramesWith(choice); });
      if (bit + 1 == kRoomTones) choosing_ = choice_.endRound();
      return;
    case Step::readBytes:
      useChoice();
      return soundingFromBytes();
    case Step::cancel:
      if (at.part == 0) return learnFrom(aligned, toneOf(bit), roundSounding_[bit]);
      return readThrough(roundSounding_[bit], &levels_[0][bit], static_cast<int>(kRoomTones));
    case Step::placeFrames:
      soundingFromBytes();
      return placeFrames();
    case Step::weigh:
      return weighTone(aligned, bit);
    case Step::publish:
      return publish();
    case Step::done:
      return;
  }
}

// The terms a response learns and the clocks' mismatch.
void RoomModel::measure(const SymbolHistory& history) {
  echoes_ = echoesOver(static_cast<std::size_t>(length_));
  drift_ =
      measureDrift(static_cast<std::size_t>(length_), AlignedWindows{history, base_, 0.0f}.tones());
}

// Which windows are even symbols and the carriers' level; false when the carriers do not show.
// (Each tone's energy is measured as the tone is first loaded, by fitPrediction.)
bool RoomModel::measureCarriers(const AlignedWindows& aligned, const SymbolHistory& history) {
  const CarrierFit<float> carriers =
      fitCarriers(static_cast<std::size_t>(length_), aligned.tones());
  if (carriers.score < static_cast<float>(kCarrierScore)) return false;
  even_ = static_cast<int>((base_ + carriers.evenOffset) % 2);
  float carrier = 0.0f;
  for (int w = 0; w < length_; ++w) {
    const std::uint32_t at = base_ + static_cast<std::uint32_t>(w);
    const bool even = (at + static_cast<std::uint32_t>(even_)) % 2 == 0;
    carrier += history.levelOf(at, even ? kEvenCarrier : kOddCarrier);
  }
  carrier_ = carrier / static_cast<float>(length_);
  pass_ = 0;
  return true;
}

// Part `part` of the windows compared `frames` whole frames apart (see repeatsAfter); after
// the last, the pass is that lag when they repeat. The shortest such lag is the pass. Each pair
// is read as the history keeps it, a scale and each tone's steps of attenuation and phase, so
// that a tone's share is a gain and a cosine from tables, summed over the tones in integers: a
// product of gains is the gain of their steps added (past the table, below 63 dB, it counts as
// silence), and the clocks' mismatch turns every pair of a tone by the same steps.
void RoomModel::passLag(const AlignedWindows& aligned, int frames, int part) {
  const auto gainOf = [](int steps) -> std::int32_t {
    return kGainUnits[static_cast<std::size_t>(std::min(steps, storedTones::kSilent))];
  };
  const int lag = frames * kFrameWindows;
  const int from = part * kLagPart;
  const int to = std::min(from + kLagPart, lagWindows(frames));
  if (part == 0) lagSums_ = {};
  std::array<int, kToneCount> lagSteps{};
  for (std::size_t tone = 0; tone < lagSteps.size(); ++tone)
    lagSteps[tone] = aligned.stepsOver(lag, tone);
  for (int w = from; w < to; ++w) {
    const SymbolHistory::Symbol& now = aligned.symbolAt(w);
    const SymbolHistory::Symbol& later = aligned.symbolAt(w + lag);
    std::int32_t alike = 0, nowEnergy = 0, laterEnergy = 0;
    for (std::size_t tone = 0; tone < lagSteps.size(); ++tone) {
      const int a = now.attenuation[tone], b = later.attenuation[tone];
      const auto step =
          static_cast<std::size_t>((now.phase[tone] - later.phase[tone] + lagSteps[tone]) & 255);
      alike += (gainOf(a + b) * kCosUnits[step]) >> kAlikeShift;
      nowEnergy += gainOf(2 * a);
      laterEnergy += gainOf(2 * b);
    }
    const float nowScale = storedTones::fromShortFloat(now.scale);
    const float laterScale = storedTones::fromShortFloat(later.scale);
    lagSums_.alike += nowScale * laterScale * (static_cast<float>(alike) * kAlikeUnit);
    lagSums_.together += (nowScale * nowScale * static_cast<float>(nowEnergy) +
                          laterScale * laterScale * static_cast<float>(laterEnergy)) *
                         kGainUnit;
  }
  if (to == lagWindows(frames) && lagSums_.repeat()) pass_ = lag;
}

// The tone read next, in every window of the room.
void RoomModel::loadTone(const AlignedWindows& aligned, std::size_t tone) {
  for (int w = 0; w < length_; ++w) toneWindows_[w].tone = aligned.at(w, tone);
}

// A first reading that needs no reading before it (see predictTone in roomEstimators.h), in
// three steps: the prediction's fit, the line its residuals spread along, and the reading: a
// window sounds when it lies nearer the louder end. The first loads the tone, which the others
// read, and measures its energy on the way.
void RoomModel::fitPrediction(const AlignedWindows& aligned, std::size_t tone) {
  loadTone(aligned, tone);
  prediction_ = receiver::fitPrediction(length_, loaded());
  energy_[tone] = prediction_.energy;
}

// The line is placed from each window's residual, which is kept in its window's phasor,
// filled from the last window back, as each residual needs the kPast windows before it; the
// tone's level in a window is as the history keeps it.
void RoomModel::placeLine(const AlignedWindows& aligned, std::size_t tone) {
  constexpr int kPast = TonePrediction<Phasor>::kPast;
  for (int w = length_ - 1; w >= kPast; --w)
    toneWindows_[w].tone = prediction_.residual(loaded(), w);
  receiver::placeLine(prediction_, length_, loaded(),
                      [&](int w) { return aligned.levelAt(w, tone); });
}

void RoomModel::readByPrediction() {
  constexpr int kPast = TonePrediction<Phasor>::kPast;
  // Each window's place along the line is read many times: it is kept in its window's phasor.
  for (int w = kPast; w < length_; ++w) {
    toneWindows_[w].tone.re = prediction_.along(toneWindows_[w].tone);
  }
  const auto along = [this](int i) { return toneWindows_[i + kPast].tone.re; };
  const int count = length_ - kPast;
  const auto [off, on] = twoEnds(count, along);
  predicted_.fill(0);
  for (int i = 0; i < count; ++i) {
    setBit(predicted_.data(), i + kPast, on > off && along(i) - off > (on - off) / 2.0f);
  }
}

// The loaded tone's response, learnt by least squares from where `sounding` says it sounds: the
// regressors are 0 or 1, so the normal equations are counts. A little damping keeps terms
// that never sounded (or always together) at zero.
RoomModel::Response RoomModel::learnTone(std::size_t tone, const Bits& sounding) const {
  return learnResponse<kResponseTerms>(sounding, length_, echoes_ + 1, loaded(), energy_[tone]);
}

// `tone` read again through the response `sounding` teaches (see readThroughResponse), in two
// steps: the tone loaded and its response learnt, then the reading, which writes each window's
// level (on 2, off 0) to levels[w * stride] and updates `sounding`.
void RoomModel::learnFrom(const AlignedWindows& aligned, std::size_t tone, const Bits& sounding) {
  loadTone(aligned, tone);
  projected_ = projectedOnto<kResponseTerms>(sounding, length_, echoes_ + 1, loaded());
  response_ = responseFrom(projected_, sounding, length_, echoes_ + 1, energy_[tone]);
}

// The factor that scales the tone loaded for the heaviest steps: in integers, so that its
// loudest part is kFixedLoudest (a float's size orders as its bits do).
float RoomModel::workScale() const {
  if (!kSoftFloat) return 1.0f;
  std::uint32_t most = 0;
  for (int w = 0; w < length_; ++w) {
    const Phasor y = toneWindows_[w].tone;
    most = std::max({most, bitCast<std::uint32_t>(y.re) & 0x7FFFFFFFu,
                     bitCast<std::uint32_t>(y.im) & 0x7FFFFFFFu});
  }
  return fixedScaleOf(bitCast<float>(most));
}

void RoomModel::readThrough(Bits& sounding, std::int8_t* levels, int stride) {
  const float scale = workScale();
  std::array<WorkPhasor, kResponseTerms> response{};
  for (std::size_t e = 0; e < response.size(); ++e)
    response[e] = inWork<WorkPhasor>(response_.terms[e], scale, kFixedTermMost);
  for (int w = 0; w < length_; ++w) {
    const Phasor y = toneWindows_[w].tone;
    unexplainedOf<WorkPhasor>(toneWindows_[w]) = inWork<WorkPhasor>(y, scale, kFixedWindowMost);
  }
  readThroughResponse(
      response, echoes_ + 1, length_, pass_, sounding.data(),
      [this](int w) -> WorkPhasor& { return unexplainedOf<WorkPhasor>(toneWindows_[w]); },
      [&](int a, auto on) { levels[static_cast<std::ptrdiff_t>(a) * stride] = roomLevelOf(on); });
}

// Whether bit tone `bit` sounds in window w by first reading `first`.
bool RoomModel::firstReading(const AlignedWindows& aligned, std::size_t bit, Start first,
                             int w) const {
  const bool predicted = bitAt(predicted_.data(), w);
  switch (first) {
    case Start::predicted:
      return predicted;
    case Start::louder:
      return aligned.levelAt(w, toneOf(bit)) > carrier_;
    case Start::unpredicted:
      return !predicted;
    case Start::repeating:  // read whole by bestRepeating
    case Start::saidByOthers:
      break;
  }
  bool odd = false;
  for (std::size_t other = 0; other < kRoomTones; ++other) {
    if (other != bit) odd = odd != (levelOf(w, other) > 1.0f);
  }
  return odd;
}

// Bit tone `bit` read from first reading `first`, in three steps: the first reading and the
// response it teaches, the reading through it, and whether that is kept, when its response
// explains the tone best so far.
void RoomModel::settleTone(const AlignedWindows& aligned, std::size_t bit, Start first) {
  if (first == Start::repeating) {
    const int way = repeating_.best()[0];
    for (int w = 0; w < length_; ++w)
      setBit(settling_.data(), w, ((way >> (w % kFrameWindows)) & 1) != 0);
  } else {
    for (int w = 0; w < length_; ++w) {
      setBit(settling_.data(), w, firstReading(aligned, bit, first, w));
    }
  }
  learnFrom(aligned, toneOf(bit), settling_);
}

// What the response the reading being settled teaches leaves unexplained of `tone`. With an
// FPU the tone is loaded and its response learnt again. Without one, what the tone projects
// onto the reading is mended only where the reading through the response turned a window
// round from the first reading: a fraction of the work, equal but for rounding.
float RoomModel::misfitOfSettling(const AlignedWindows& aligned, std::size_t tone) {
  if (!kSoftFloat) {
    loadTone(aligned, tone);
    return learnTone(tone, settling_).misfit;
  }
  const int terms = echoes_ + 1;
  for (std::size_t word = 0; word < settling_.size(); ++word) {
    for (std::uint32_t turned = firstRead_[word] ^ settling_[word]; turned != 0;
         turned &= turned - 1) {
      const int u = static_cast<int>(word) * 32 + lowestOne(turned);
      const bool on = bitAt(settling_.data(), u);
      for (int a = 0; a < terms && u + a < length_; ++a) {
        Phasor& projected = projected_[static_cast<std::size_t>(a)];
        const Phasor y = aligned.at(u + a, tone);
        projected = on ? projected + y : projected - y;
      }
    }
  }
  return responseFrom(projected_, settling_, length_, terms, energy_[tone]).misfit;
}

// The reading settled (its levels in trial_, where it sounds in settling_) is kept when its
// response explains the tone best so far; the reading it replaces, or else the reading itself
// when it explains the tone second best, is the runner-up. A reading the same as one kept,
// window for window, is no runner-up.
void RoomModel::keepIfBest(const AlignedWindows& aligned, std::size_t bit, Start first) {
  const float misfit = misfitOfSettling(aligned, toneOf(bit));
  float& best = bestMisfits_[bit];
  const auto keep = [&] {
    best = misfit;
    for (int w = 0; w < length_; ++w) levels_[w][bit] = trial_[w];
  };
  if (first == Start::predicted) {
    runnerUpMisfits_[bit] = FrameChoice::kNoReading;
    return keep();
  }
  bool asKept = true;
  for (int w = 0; w < length_ && asKept; ++w)
    asKept = bitAt(settling_.data(), w) == (levels_[w][bit] > kThresholdUnits);
  if (asKept) {
    if (misfit < best) keep();
    return;
  }
  if (misfit < best) {
    Bits& runnerUp = runnerUps_[bit];
    for (int w = 0; w < length_; ++w) setBit(runnerUp.data(), w, levels_[w][bit] > kThresholdUnits);
    runnerUpMisfits_[bit] = best;
    return keep();
  }
  keepRunnerUp(bit, misfit);
}

// The reading being settled is tone `bit`'s runner-up when it explains the tone better than
// the runner-up so far, and differs from it.
void RoomModel::keepRunnerUp(std::size_t bit, float misfit) {
  if (misfit >= runnerUpMisfits_[bit] || runnerUps_[bit] == settling_) return;
  runnerUps_[bit] = settling_;
  runnerUpMisfits_[bit] = misfit;
}

// Each window packed for the choice, and the frames that check with the best readings.
void RoomModel::prepareChoice() {
  for (int w = 0; w < length_; ++w) {
    std::uint32_t differs = 0;
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      const bool sounds = levels_[w][bit] > kThresholdUnits;
      if (runnerUpMisfits_[bit] < FrameChoice::kNoReading &&
          bitAt(runnerUps_[bit].data(), w) != sounds)
        differs |= 1u << bit;
    }
    toneWindows_[w].choosing = FrameChoice::pack(levels_[w], kThresholdUnits, differs);
  }
  choice_.start(checkingFramesWith(0));
}

// How many frames check when the tones in `choice` read as their runner-up; the bytes are
// left in trial_.
int RoomModel::checkingFramesWith(std::uint32_t choice) {
  for (int w = 0; w < length_; ++w)
    trial_[w] = static_cast<std::int8_t>(FrameChoice::byteOf(toneWindows_[w].choosing, choice));
  return checkingFrames(length_, [this](int w) { return static_cast<std::uint8_t>(trial_[w]); });
}

// The tones chosen read as their runner-up: on or off for sure where it differs from the best.
void RoomModel::useChoice() {
  for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
    if (((choice_.made() >> bit) & 1u) == 0) continue;
    for (int w = 0; w < length_; ++w) {
      const bool sounds = bitAt(runnerUps_[bit].data(), w);
      if (sounds != (levels_[w][bit] > kThresholdUnits))
        levels_[w][bit] = roomLevelOf(sounds ? 1.0f : 0.0f);
    }
  }
}

// Part `part` of the ways of sounding, repeating every frame, tried for `tone`: the first
// loads the tone and takes its mean per window of the frame (see RepeatingWays).
void RoomModel::tryWays(const AlignedWindows& aligned, std::size_t tone, int part) {
  if (part == 0) {
    loadTone(aligned, tone);
    const float scale = workScale();
    repeating_.measure(length_, [this, scale](int w) {
      return inWork<WorkPhasor>(toneWindows_[w].tone, scale, kFixedWindowMost);
    });
  }
  const int from = part * kWaysPerPart;
  repeating_.tryWays(from, std::min(from + kWaysPerPart, RepeatingWays<1, WorkPhasor>::kWays));
}

// Where every tone sounds when the windows hold the bytes their room levels read as; the bytes
// are left in trial_.
void RoomModel::soundingFromBytes() {
  for (Bits& bits : roundSounding_) bits.fill(0);
  for (int w = 0; w < length_; ++w) {
    const std::uint8_t byte = RoomReading::byteOf(levels_[w]);
    trial_[w] = static_cast<std::int8_t>(byte);
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      setBit(roundSounding_[bit].data(), w, soundsIn(byte, bit));
    }
  }
}

std::uint8_t RoomReading::byteOf(const std::array<std::int8_t, kRoomTones>& levels) {
  return FrameChoice::byteOf(FrameChoice::pack(levels, kThresholdUnits, 0), 0);
}

// Which carrier is on in a window is as ambiguous in a room as a tone turned round; but a
// frame always starts on the even symbols' carrier, so the frames that check (their bytes
// left in trial_ by soundingFromBytes) tell the even windows.
void RoomModel::placeFrames() {
  const std::array<int, 2> starts =
      checkingStarts(length_, [this](int w) { return static_cast<std::uint8_t>(trial_[w]); });
  if (starts[0] == starts[1]) return;
  const std::uint32_t evenStart = starts[0] > starts[1] ? 0 : 1;
  even_ = static_cast<int>((base_ + evenStart) % 2);
}

// A tone's levels moved towards the threshold as far as its reading cannot be believed (see
// fitWeight).
void RoomModel::weighTone(const AlignedWindows& aligned, std::size_t bit) {
  const std::size_t tone = toneOf(bit);
  loadTone(aligned, tone);
  const float weight = fitWeight(learnTone(tone, roundSounding_[bit]), length_);
  for (int w = 0; w < length_; ++w) {
    std::int8_t& level = levels_[w][bit];
    level =
        toRoomLevel(1.0f + (static_cast<float>(level) / RoomReading::kLevelUnit - 1.0f) * weight);
  }
}

// The reading done, with each window's byte (left in trial_), is what the next search reads,
// while the model goes on with a new reading.
void RoomModel::publish() {
  soundingFromBytes();
  std::copy(levels_.begin(), levels_.begin() + length_, published_.levels.begin());
  for (int w = 0; w < length_; ++w) {
    published_.bytes[w] = static_cast<std::uint8_t>(trial_[w]);
  }
  published_.base = base_;
  published_.length = length_;
  published_.even = even_;
}

}  // namespace sonicsend::receiver
