#include "RoomModel.h"

#include <algorithm>
#include <cmath>

#include "framing.h"
#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

// Frames of windows to wait before looking for the carriers again where they did not show.
constexpr std::uint32_t kIdleFrames = 4;
// The tones that make a byte; the parity tone only says whether a byte is whole.
constexpr std::size_t kBitTones = kBitToneK.size();
// The model's work: each window of audio adds kCreditPerWindow, at most kMostCredit banked. A
// step costs a credit per window it reads, and as many again as it does besides (solving for a
// response, clearing its sums) as reading kStepOverhead windows.
constexpr int kCreditPerWindow = 300;
constexpr int kMostCredit = 40 * kCreditPerWindow;
constexpr int kStepOverhead = 64;
// Rounds of swapping tones' readings while that makes clearly more frames check, and the
// windows' worth of credit a swap tried costs (it counts the frames that check afresh).
constexpr int kChoiceRounds = 3;
constexpr int kWindowsPerSwapCost = 32;
// Rounds of reading every tone again from the bytes of the round before: each takes out the
// ringing of a truer reading.
constexpr int kFinalRounds = 2;
// A reading one symbol early explains a tone nearly as well as the right one (the response's
// terms move up by one), so the best reading moved a symbol earlier counts as explaining the
// tone this many times worse than it does.
constexpr float kEarlierDoubt = 2.0f;

// The nearest whole number, without a library call.
int nearest(float value) {
  const float shifted = value + 0.5f;
  const int truncated = static_cast<int>(shifted);
  return static_cast<float>(truncated) > shifted ? truncated - 1 : truncated;
}

// Frames whose check holds (see frameChecks), at every start in `length` windows of `bytes`,
// the sum of each frame's first nine bytes running along.
int checkingFrames(const std::int8_t* bytes, int length) {
  const auto byteAt = [bytes](int w) { return static_cast<std::uint8_t>(bytes[w]); };
  std::uint8_t sum = 0;
  for (int w = 0; w + 1 < kFrameWindows && w < length; ++w)
    sum = static_cast<std::uint8_t>(sum + byteAt(w));
  int checking = 0;
  for (int w = 0; w + kFrameWindows <= length; ++w) {
    const std::uint8_t number = byteAt(w);
    const std::uint8_t check = byteAt(w + kFrameWindows - 1);
    if (number >= 1 && number <= kMaxFrames &&
        static_cast<std::uint8_t>(sum | kFrameCheckFlag) == check)
      ++checking;
    sum = static_cast<std::uint8_t>(sum - number + check);
  }
  return checking;
}

std::int8_t toRoomLevel(float level) {
  return static_cast<std::int8_t>(
      std::lround(std::clamp(level, -1.0f, 3.0f) * RoomReading::kLevelUnit));
}

// The windows' end, where the sender was last heard: after the latest frame's worth of windows,
// counted in whole frames since the start, whose carriers alternate at least kSignalShare as
// clearly as where they alternate most. Once a sender stops, its last passes are read whole, not
// the silence after them.
std::uint32_t signalEnd(const SymbolHistory& history) {
  constexpr float kSignalShare = 0.25f;
  constexpr auto kFrame = static_cast<std::uint32_t>(kFrameWindows);
  const std::uint32_t count = history.count();
  const std::uint32_t oldest = count - std::min<std::uint32_t>(count, SymbolHistory::kWindows);
  const std::uint32_t latest = count / kFrame * kFrame;
  // How clearly the carriers alternate in the frame's worth of windows before `end`.
  const auto alternation = [&history](std::uint32_t end) {
    float sum = 0.0f;
    for (std::uint32_t w = end - kFrame; w < end; ++w) {
      const float apart = history.levelOf(w, kEvenCarrier) - history.levelOf(w, kOddCarrier);
      sum += w % 2 == 0 ? apart : -apart;
    }
    return std::fabs(sum);
  };
  float most = 0.0f;
  for (std::uint32_t end = latest; end >= oldest + kFrame; end -= kFrame)
    most = std::max(most, alternation(end));
  for (std::uint32_t end = latest; end >= oldest + kFrame; end -= kFrame) {
    if (alternation(end) >= kSignalShare * most) return end == latest ? count : end;
  }
  return count;
}

}  // namespace

Phasor RoomModel::AlignedWindows::at(int window, std::size_t tone) const {
  const std::uint32_t at = base + static_cast<std::uint32_t>(window);
  const float k = static_cast<float>(kCarrierEvenK + static_cast<int>(tone));
  const float turn = drift * k * static_cast<float>(window) * (128.0f / storedTones::kPi);
  const auto step = static_cast<std::size_t>((history.at(at).phase[tone] - nearest(turn)) & 255);
  const float level = history.levelOf(at, tone);
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
  return static_cast<float>(levels_[window][bit]) / RoomReading::kLevelUnit;
}

// A new reading of the latest windows once a frame's worth came since the last one began, or,
// when the carriers did not show in it, a few frames' worth. When the sender stops while a
// reading of windows up to then is under way, a reading of its last windows takes its place:
// it holds every pass heard, where one begun later would hold silence in their stead.
void RoomModel::start(const SymbolHistory& history) {
  const std::uint32_t count = history.count();
  if (count < nextStart_) return;
  std::uint32_t end = count;
  if (stage_ == Stage::working) {
    if (!readsToNow_ || count < nextCheck_) return;
    nextCheck_ = count + kFrameWindows;
    end = signalEnd(history);
    if (end == count || end < base_ + static_cast<std::uint32_t>(length_) + kFrameWindows) return;
  }
  const std::uint32_t kept = std::min<std::uint32_t>(count, SymbolHistory::kWindows);
  const auto windows =
      static_cast<int>(std::min<std::uint32_t>(end - (count - kept), kRoomWindows));
  if (windows < 2 * kFrameWindows) return;
  length_ = windows;
  base_ = end - static_cast<std::uint32_t>(windows);
  readsToNow_ = end == count;
  nextStart_ = count + kFrameWindows;
  nextCheck_ = nextStart_;
  position_ = {};
  stage_ = Stage::working;
}

void RoomModel::step(const SymbolHistory& history) {
  if (stage_ != Stage::ready) start(history);
  if (stage_ != Stage::working) return;
  if (!history.keeps(base_)) {
    stage_ = Stage::idle;  // the windows it reads were overwritten
    return;
  }
  const int cost = length_ + kStepOverhead;
  if (credit_ < cost) return;
  credit_ -= cost;
  // Steps with nothing to do (lags too long to compare, the search for a repeating frame in
  // a longer loop) cost nothing: the next step runs in their place.
  for (bool worked = false; stage_ == Stage::working && !worked; position_ = next(position_)) {
    worked = run(position_, history);
  }
  if (stage_ == Stage::working && position_.step == Step::done) stage_ = Stage::ready;
}

RoomModel::Position RoomModel::next(Position at) const {
  const bool lastTone = at.index + 1 == static_cast<int>(kRoomTones);
  switch (at.step) {
    case Step::measure:
      return {Step::passLag, 1};
    case Step::passLag:
      return at.index < kMaxFrames ? Position{Step::passLag, at.index + 1}
                                   : Position{Step::predict};
    case Step::predict:
      return {Step::settle, at.index};
    case Step::settle:
      if (at.start + 1 < kStarts) return {Step::settle, at.index, at.start + 1};
      return lastTone ? Position{Step::saidByOthers} : Position{Step::predict, at.index + 1};
    case Step::saidByOthers:
      return lastTone ? Position{Step::choose} : Position{Step::saidByOthers, at.index + 1};
    case Step::choose:
      return at.index + 1 < static_cast<int>(kBitTones)
                 ? Position{Step::choose, at.index + 1, at.start}
                 : Position{Step::chosen, 0, at.start};
    case Step::chosen:
      return !swapped_ || at.start + 1 == kChoiceRounds ? Position{Step::readBytes}
                                                        : Position{Step::choose, 0, at.start + 1};
    case Step::readBytes:
      return {Step::cancel, 0, at.start};
    case Step::cancel:
      if (!lastTone) return {Step::cancel, at.index + 1, at.start};
      return at.start + 1 < kFinalRounds ? Position{Step::readBytes, 0, at.start + 1}
                                         : Position{Step::placeFrames};
    case Step::placeFrames:
      return {Step::publish};
    case Step::publish:
    case Step::done:
      return {Step::done};
  }
  return {Step::done};
}

// One step of the reading; false when it had nothing to do.
bool RoomModel::run(Position at, const SymbolHistory& history) {
  const AlignedWindows aligned{history, base_, drift_};
  const auto bit = static_cast<std::size_t>(at.index);
  switch (at.step) {
    case Step::measure:
      if (!measure(history)) {
        stage_ = Stage::idle;
        nextStart_ = history.count() + kIdleFrames * kFrameWindows;
      }
      return true;
    case Step::passLag:
      if (pass_ != 0 || 2 * at.index * kFrameWindows > length_) return false;
      pass_ = passLag(aligned, at.index);
      return true;
    case Step::predict:
      readByPrediction(aligned, toneOf(bit));
      return true;
    case Step::settle:
      return settleTone(aligned, bit, static_cast<Start>(at.start));
    case Step::saidByOthers:
      settleTone(aligned, bit, Start::saidByOthers);
      return true;
    case Step::choose:
      credit_ -= trySwaps(bit) * (length_ / kWindowsPerSwapCost);
      return true;
    case Step::chosen:
      takeBestSwap();
      return true;
    case Step::readBytes:
      bytesFromLevels(at.start == 0);
      soundingFromBytes();
      return true;
    case Step::cancel:
      weighTone(bit, cancelTone(aligned, toneOf(bit), inUse(bit), &levels_[0][bit],
                                static_cast<int>(kRoomTones)));
      return true;
    case Step::placeFrames:
      bytesFromLevels();
      soundingFromBytes();
      placeFrames();
      return true;
    case Step::publish:
      publish();
      return true;
    case Step::done:
      return true;
  }
  return true;
}

// The terms a response learns, the clocks' mismatch, which windows are even symbols and the
// carriers' level; false when the carriers do not show. (Each tone's energy is measured as the
// tone is first loaded, by readByPrediction.)
bool RoomModel::measure(const SymbolHistory& history) {
  echoes_ = echoesOver(static_cast<std::size_t>(length_));
  const auto windows = static_cast<std::size_t>(length_);
  drift_ = measureDrift(windows, AlignedWindows{history, base_, 0.0f}.tones());
  const AlignedWindows aligned{history, base_, drift_};
  const CarrierFit<float> carriers = fitCarriers(windows, aligned.tones());
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

// The lag of `frames` whole frames, in windows, when the windows repeat after it; else 0. The
// shortest such lag is the pass.
int RoomModel::passLag(const AlignedWindows& aligned, int frames) const {
  const int lag = frames * kFrameWindows;
  return repeatsAfter(static_cast<std::size_t>(length_), static_cast<std::size_t>(lag),
                      aligned.tones())
             ? lag
             : 0;
}

// The tone read next, in every window of the room.
void RoomModel::loadTone(const AlignedWindows& aligned, std::size_t tone) {
  for (int w = 0; w < length_; ++w) toneWindows_[w] = aligned.at(w, tone);
}

// A first reading that needs no reading before it (see predictTone in roomEstimators.h): a
// window sounds when it lies nearer the louder end. Measures the tone's energy on the way.
void RoomModel::readByPrediction(const AlignedWindows& aligned, std::size_t tone) {
  loadTone(aligned, tone);
  float energy = 0.0f;
  for (int w = 0; w < length_; ++w) energy += norm(toneWindows_[w]);
  energy_[tone] = energy;
  const auto y = [this](int w) { return toneWindows_[w]; };
  const auto prediction = receiver::predictTone(length_, y);
  constexpr int kPast = TonePrediction<Phasor>::kPast;
  const auto along = [&](int i) { return prediction.along(y, i + kPast); };
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
  return learnResponse<kResponseTerms>(
      sounding, length_, echoes_ + 1, [this](int w) { return toneWindows_[w]; }, energy_[tone]);
}

// `tone` read again through the response `sounding` teaches (see readThroughResponse). Writes
// each window's level (on 2, off 0) to levels[w * stride], updates `sounding` and returns the
// response.
RoomModel::Response RoomModel::cancelTone(const AlignedWindows& aligned, std::size_t tone,
                                          Bits& sounding, std::int8_t* levels, int stride) {
  loadTone(aligned, tone);
  const Response response = learnTone(tone, sounding);
  readThroughResponse(
      response.terms, echoes_ + 1, length_, pass_, sounding.data(),
      [this](int w) -> Phasor& { return toneWindows_[w]; },
      [&](int a, float on) {
        levels[static_cast<std::ptrdiff_t>(a) * stride] = toRoomLevel(2.0f * on);
      });
  return response;
}

// Whether bit tone `bit` sounds in window w by first reading `first`.
bool RoomModel::firstReading(const AlignedWindows& aligned, std::size_t bit, Start first,
                             int w) const {
  const bool predicted = bitAt(predicted_.data(), w);
  switch (first) {
    case Start::predicted:
      return predicted;
    case Start::louder: {
      const Phasor y = aligned.at(w, toneOf(bit));
      return std::sqrt(y.re * y.re + y.im * y.im) > carrier_;
    }
    case Start::unpredicted:
      return !predicted;
    case Start::earlier:
      return w + 1 < length_ && bitAt(candidates_[bit].sounding[0].data(), w + 1);
    case Start::repeating:  // read whole by bestRepeating
    case Start::saidByOthers:
      break;
  }
  bool odd = false;
  for (std::size_t other = 0; other < kRoomTones; ++other) {
    if (other != bit) odd = odd != bitAt(inUse(other).data(), w);
  }
  return odd;
}

// Bit tone `bit` read from first reading `first`, kept among its candidates when its response
// explains the tone well enough. False when the first reading does not apply.
bool RoomModel::settleTone(const AlignedWindows& aligned, std::size_t bit, Start first) {
  const std::size_t tone = toneOf(bit);
  if (first == Start::predicted) {
    candidates_[bit].count = 0;
    chosen_[bit] = 0;
  }
  if (first == Start::repeating && pass_ != kFrameWindows) return false;
  if (first == Start::repeating) {
    bestRepeating(aligned, tone);
  } else {
    for (int w = 0; w < length_; ++w) {
      setBit(settling_.data(), w, firstReading(aligned, bit, first, w));
    }
  }
  cancelTone(aligned, tone, settling_, trial_.data(), 1);
  loadTone(aligned, tone);
  const float misfit = learnTone(tone, settling_).misfit;
  keepCandidate(bit, first == Start::earlier ? kEarlierDoubt * misfit : misfit);
  return true;
}

// The reading being settled, among tone `bit`'s candidates in the order of their misfits,
// unless it is one of them already or explains the tone worse than all kCandidates.
void RoomModel::keepCandidate(std::size_t bit, float misfit) {
  Candidates& kept = candidates_[bit];
  for (int i = 0; i < kept.count; ++i) {
    if (kept.sounding[i] == settling_) return;
  }
  int at = kept.count;
  while (at > 0 && misfit < kept.misfit[at - 1]) --at;
  if (at == kCandidates) return;
  kept.count = std::min(kept.count + 1, kCandidates);
  for (int i = kept.count - 1; i > at; --i) {
    kept.sounding[i] = kept.sounding[i - 1];
    kept.misfit[i] = kept.misfit[i - 1];
  }
  kept.sounding[at] = settling_;
  kept.misfit[at] = misfit;
  if (at != 0) return;
  for (int w = 0; w < length_; ++w) levels_[w][bit] = trial_[w];
}

// Every window's byte from the bit tones' readings in use, left in trial_, and the frames
// that check with them.
void RoomModel::chooseBytes() {
  for (int w = 0; w < length_; ++w) {
    int byte = 0;
    for (std::size_t bit = 0; bit < kBitTones; ++bit)
      byte |= bitAt(inUse(bit).data(), w) ? 1 << bit : 0;
    trial_[w] = static_cast<std::int8_t>(byte);
  }
  checking_ = checkingFrames(trial_.data(), length_);
}

// Every choice that swaps bit tone `bit`'s reading for another candidate, alone or with one
// of a later bit tone, tried against the bytes in trial_: the one that makes the most frames
// check, at least two more than now, and of those alike the one whose readings explain the
// tones best, is kept in bestSwap_. Returns the choices tried.
int RoomModel::trySwaps(std::size_t bit) {
  if (bit == 0) {
    chooseBytes();
    bestSwap_ = chosen_;
    bestChecking_ = 0;
  }
  // Turns bit `b` of the bytes over where candidate `c` of its tone differs from the one in use.
  const auto turn = [this](std::size_t b, std::uint8_t c) {
    const Bits& other = candidates_[b].sounding[c];
    const Bits& used = inUse(b);
    for (std::size_t i = 0; i < kWordCount; ++i) {
      for (std::uint32_t differ = other[i] ^ used[i]; differ != 0; differ &= differ - 1) {
        const int w = 32 * static_cast<int>(i) + lowestOne(differ);
        trial_[w] = static_cast<std::int8_t>(trial_[w] ^ (1 << b));
      }
    }
  };
  int tried = 0;
  Choice choice = chosen_;
  const auto tryChoice = [&] {
    ++tried;
    const int checking = checkingFrames(trial_.data(), length_);
    if (checking < checking_ + 2 || checking < bestChecking_) return;
    float misfit = 0.0f;
    for (std::size_t b = 0; b < kRoomTones; ++b) misfit += candidates_[b].misfit[choice[b]];
    if (checking > bestChecking_ || misfit < bestMisfit_) {
      bestChecking_ = checking;
      bestMisfit_ = misfit;
      bestSwap_ = choice;
    }
  };
  const auto candidatesOf = [this](std::size_t b) {
    return static_cast<std::uint8_t>(candidates_[b].count);
  };
  for (std::uint8_t a = 0; a < candidatesOf(bit); ++a) {
    if (a == chosen_[bit]) continue;
    choice[bit] = a;
    turn(bit, a);
    tryChoice();
    for (std::size_t later = bit + 1; later < kBitTones; ++later) {
      for (std::uint8_t b = 0; b < candidatesOf(later); ++b) {
        if (b == chosen_[later]) continue;
        choice[later] = b;
        turn(later, b);
        tryChoice();
        turn(later, b);
        choice[later] = chosen_[later];
      }
    }
    turn(bit, a);
    choice[bit] = chosen_[bit];
  }
  return tried;
}

// The best choice of the round's swaps, if any made clearly more frames check.
void RoomModel::takeBestSwap() {
  swapped_ = bestSwap_ != chosen_;
  chosen_ = bestSwap_;
}

// The way of sounding, repeating every frame, whose response explains `tone` best (see
// bestRepeatingWays), from the tone's mean over the passes, window by window of the frame.
void RoomModel::bestRepeating(const AlignedWindows& aligned, std::size_t tone) {
  loadTone(aligned, tone);
  ByPosition<Phasor, kFrameWindows> mean{};
  ByPosition<int, kFrameWindows> copies{};
  for (int w = 0; w < length_; ++w) {
    mean[w % kFrameWindows] = mean[w % kFrameWindows] + toneWindows_[w];
    ++copies[w % kFrameWindows];
  }
  for (int i = 0; i < kFrameWindows; ++i)
    mean[i] = (1.0f / static_cast<float>(std::max(1, copies[i]))) * mean[i];
  const int way = bestRepeatingWays<1>(mean)[0];
  for (int w = 0; w < length_; ++w)
    setBit(settling_.data(), w, ((way >> (w % kFrameBytes)) & 1) != 0);
}

// Every window's byte as its room levels read, left in trial_; `ofChoice`: the levels of the
// readings chosen, where a tone whose reading was swapped for another candidate has only where
// it sounds.
void RoomModel::bytesFromLevels(bool ofChoice) {
  for (int w = 0; w < length_; ++w) {
    ToneLevels levels{};
    for (std::size_t bit = 0; bit < kRoomTones; ++bit) {
      const bool swapped = ofChoice && chosen_[bit] != 0;
      levels[toneOf(bit)] = swapped ? (bitAt(inUse(bit).data(), w) ? 2.0f : 0.0f) : levelOf(w, bit);
    }
    trial_[w] = static_cast<std::int8_t>(readSymbol(levels, 1.0f).byte);
  }
}

// Each tone's reading in use: where it sounds when the windows hold the bytes in trial_.
void RoomModel::soundingFromBytes() {
  for (int w = 0; w < length_; ++w) {
    const auto byte = static_cast<std::uint8_t>(trial_[w]);
    for (std::size_t bit = 0; bit < kRoomTones; ++bit)
      setBit(inUse(bit).data(), w, soundsIn(byte, bit));
  }
}

// Which carrier is on in a window is as ambiguous in a room as a tone turned round; but a
// frame always starts on the even symbols' carrier, so the frames that check (their bytes
// left in trial_) tell the even windows.
void RoomModel::placeFrames() {
  const std::array<int, 2> starts =
      checkingStarts(length_, [this](int w) { return static_cast<std::uint8_t>(trial_[w]); });
  if (starts[0] == starts[1]) return;
  const std::uint32_t evenStart = starts[0] > starts[1] ? 0 : 1;
  even_ = static_cast<int>((base_ + evenStart) % 2);
}

// A tone's levels moved towards the threshold as far as its reading cannot be believed (see
// fitWeight).
void RoomModel::weighTone(std::size_t bit, const Response& response) {
  const float weight = fitWeight(response, length_);
  for (int w = 0; w < length_; ++w) {
    std::int8_t& level = levels_[w][bit];
    level =
        toRoomLevel(1.0f + (static_cast<float>(level) / RoomReading::kLevelUnit - 1.0f) * weight);
  }
}

// The reading done, with each window's byte (left in trial_), is what the next search reads,
// while the model goes on with a new reading.
void RoomModel::publish() {
  bytesFromLevels();
  for (int w = 0; w < length_; ++w) {
    published_.levels[w] = levels_[w];
    published_.bytes[w] = static_cast<std::uint8_t>(trial_[w]);
  }
  published_.base = base_;
  published_.length = length_;
  published_.even = even_;
}

}  // namespace sonicsend::receiver
