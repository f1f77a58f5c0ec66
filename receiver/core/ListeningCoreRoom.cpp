// The listening core's room model. In a reverberant room a tone of an earlier symbol still
// sounds when the next one starts, so a tone that is off can measure louder than one that is
// on. Every tone keeps its phase from symbol to symbol, so what a window measures of a tone is
// the sum of the room's response to the current symbol and to the few before it, the same sum
// in every window. The model learns that response per tone from the windows themselves (a
// least-squares fit to a reading of where the tone sounds), takes the earlier symbols' share
// out of every window, and reads again. Each tone is read from a few first readings (a
// prediction from the windows before, the plain level, the prediction turned round, and for a
// loop of one frame the best of its ways of repeating) and keeps the reading its response
// explains best; then from what the other tones' readings say it must be; then all tones are
// read once more from the bytes of those readings. It runs over the latest kRoomWindows, a
// bounded unit of work per poll, in fixed memory: the history keeps every tone's phase for it.
#include <algorithm>
#include <bit>
#include <cmath>

#include "ListeningCore.h"
#include "roomEstimators.h"
#include "storedTones.h"

namespace sonicsend::receiver {
namespace {

constexpr int kMostEchoes = 8;
// How clearly the carriers must show (see fitCarriers): noise alone reaches 40 about once in
// 10^15 tries.
constexpr float kCarrierScore = 40.0f;
// Frames of windows to wait before looking for the carriers again where they did not show.
constexpr std::uint32_t kIdleFrames = 4;
// Rounds of reading one tone from each first reading, the first readings, and the rounds of
// reading every tone from the bytes of the last.
constexpr int kSettleRounds = 1;
constexpr int kStarts = 4;
// The first reading tried for a loop of one frame only: it repeats every ten windows, so a tone
// has only 1024 ways of sounding, few enough to try every one and start from the best.
constexpr int kRepeating = 3;
constexpr int kFinalRounds = 1;
// Once every tone has a reading, each tone settles once more from what the others say it must
// be, since every symbol sounds an even number of tones: the first reading numbered kStarts.
constexpr int kSaidByOthers = kStarts;
// Units of work: measuring the recording; per tone a prediction and its settling; per final
// round the bytes, then each tone; then where frames start, and each tone weighed by its fit.
constexpr int kToneUnits = 1 + kStarts * kSettleRounds;
constexpr int kRoundUnits = 1 + static_cast<int>(SymbolRead::kTones);
constexpr int kFirstToneUnit = 1 + kMaxFrames;
constexpr int kFirstOthersUnit = kFirstToneUnit + static_cast<int>(SymbolRead::kTones) * kToneUnits;
constexpr int kFirstRoundUnit =
    kFirstOthersUnit + static_cast<int>(SymbolRead::kTones) * kSettleRounds;
constexpr int kFirstWeighUnit = kFirstRoundUnit + kFinalRounds * kRoundUnits;
// Last, the reading with each window's byte is handed to the search.
constexpr int kBytesUnit = kFirstWeighUnit + kRoundUnits;
constexpr int kUnits = kBytesUnit + 1;
// A unit of work costs a credit per window it reads, and as many again as it does besides
// (solving for a response, clearing its sums) as reading this many windows.
constexpr int kUnitOverhead = 64;
// Room levels are kept in 1/32: on 64, off 0, threshold 32.
constexpr float kLevelUnit = 32.0f;

// The nearest whole number, without a library call.
int nearest(float value) {
  const float shifted = value + 0.5f;
  const int truncated = static_cast<int>(shifted);
  return static_cast<float>(truncated) > shifted ? truncated - 1 : truncated;
}

std::int8_t toRoomLevel(float level) {
  return static_cast<std::int8_t>(std::lround(std::clamp(level, -1.0f, 3.0f) * kLevelUnit));
}

}  // namespace

float ListeningCore::roomLevel(int window, int bit) const {
  return static_cast<float>(
             roomLevels_[static_cast<std::size_t>(window)][static_cast<std::size_t>(bit)]) /
         kLevelUnit;
}

float ListeningCore::searchedLevel(int window, int bit) const {
  return static_cast<float>(
             searchedLevels_[static_cast<std::size_t>(window)][static_cast<std::size_t>(bit)]) /
         kLevelUnit;
}

// The reading done, with each window's byte (left in trial_), is what the next search reads,
// while the model goes on with a new reading.
void ListeningCore::publishRoom() {
  soundingFromBytes();
  std::copy(roomLevels_.begin(), roomLevels_.begin() + roomLength_, searchedLevels_.begin());
  for (int w = 0; w < roomLength_; ++w) {
    searchedBytes_[static_cast<std::size_t>(w)] =
        static_cast<std::uint8_t>(trial_[static_cast<std::size_t>(w)]);
  }
  searchedBase_ = roomBase_;
  searchedLength_ = roomLength_;
  searchedEven_ = roomEven_;
}

// Window `window` of the room (0 = roomBase_), with the clocks' mismatch turned back.
Phasor ListeningCore::alignedAt(int window, std::size_t tone) const {
  const StoredSymbol& symbol = stored(roomBase_ + static_cast<std::uint32_t>(window));
  const float k = static_cast<float>(kCarrierEvenK + static_cast<int>(tone));
  const float turn = roomDrift_ * k * static_cast<float>(window) * (128.0f / storedTones::kPi);
  const auto step = static_cast<std::size_t>((symbol.phase[tone] - nearest(turn)) & 255);
  const float level = levelOf(roomBase_ + static_cast<std::uint32_t>(window), tone);
  return {level * storedTones::kTurn[step].cos, level * storedTones::kTurn[step].sin};
}

// The tone read next, in every window of the room.
void ListeningCore::loadTone(std::size_t tone) {
  for (int w = 0; w < roomLength_; ++w)
    toneWindows_[static_cast<std::size_t>(w)] = alignedAt(w, tone);
}

// A new reading once a frame's worth of windows came since the last one began, or, when the
// carriers did not show in it, a few frames' worth.
void ListeningCore::startRoom() {
  const auto windows = static_cast<int>(std::min<std::uint32_t>(symbolCount_, kRoomWindows));
  if (roomStage_ != RoomStage::idle || symbolCount_ < roomNextStart_ ||
      windows < 2 * static_cast<int>(kSymbolsPerFrame))
    return;
  roomLength_ = windows;
  roomBase_ = symbolCount_ - static_cast<std::uint32_t>(windows);
  roomNextStart_ = symbolCount_ + kSymbolsPerFrame;
  roomUnit_ = 0;
  roomStage_ = RoomStage::working;
}

void ListeningCore::stepRoom() {
  if (roomStage_ == RoomStage::idle) startRoom();
  if (roomStage_ != RoomStage::working) return;
  if (symbolCount_ - roomBase_ > static_cast<std::uint32_t>(kHistory)) {
    roomStage_ = RoomStage::idle;  // the windows it reads were overwritten
    return;
  }
  const int cost = roomLength_ + kUnitOverhead;
  if (roomCredit_ < cost) return;
  roomCredit_ -= cost;
  // Units with nothing to do (lags too long to compare, the search for a repeating frame in
  // a longer loop) cost nothing: the next unit runs in their place.
  while (roomStage_ == RoomStage::working && !roomUnit(roomUnit_++)) {
  }
  if (roomStage_ == RoomStage::working && roomUnit_ == kUnits) roomStage_ = RoomStage::ready;
}

bool ListeningCore::roomUnit(int unit) {
  if (unit == 0) {
    if (!measureRoom()) {
      roomStage_ = RoomStage::idle;
      roomNextStart_ = symbolCount_ + kIdleFrames * kSymbolsPerFrame;
    }
  } else if (unit < kFirstToneUnit) {
    if (roomPass_ != 0 || 2 * unit * static_cast<int>(kSymbolsPerFrame) > roomLength_) return false;
    roomPass_ = passLag(unit);
  } else if (unit < kFirstOthersUnit) {
    const int bit = (unit - kFirstToneUnit) / kToneUnits;
    const int step = (unit - kFirstToneUnit) % kToneUnits;
    if (step == 0) {
      predictTone(toneOf(static_cast<std::size_t>(bit)));
    } else {
      return settleTone(bit, (step - 1) / kSettleRounds, (step - 1) % kSettleRounds);
    }
  } else if (unit == kBytesUnit) {
    publishRoom();
  } else if (unit < kFirstRoundUnit) {
    const int step = unit - kFirstOthersUnit;
    settleTone(step / kSettleRounds, kSaidByOthers, step % kSettleRounds);
  } else {
    const bool weighing = unit >= kFirstWeighUnit;
    const int step = (unit - (weighing ? kFirstWeighUnit : kFirstRoundUnit)) % kRoundUnits;
    if (step == 0) {
      soundingFromBytes();
      if (weighing) placeRoomFrames();
    } else if (weighing) {
      weighTone(step - 1);
    } else {
      const int bit = step - 1;
      cancelTone(toneOf(static_cast<std::size_t>(bit)),
                 roundSounding_[static_cast<std::size_t>(bit)],
                 &roomLevels_[0][static_cast<std::size_t>(bit)], kRoomTones);
    }
  }
  return true;
}

// The terms a response learns, the clocks' mismatch, which windows are even symbols and the
// carriers' level; false when the carriers do not show. (Each tone's energy is measured as the
// tone is first loaded, by predictTone.)
bool ListeningCore::measureRoom() {
  roomEchoes_ = std::clamp(roomLength_ / 8 - 1, 1, kMostEchoes);
  roomDrift_ = 0.0f;
  const auto windows = static_cast<std::size_t>(roomLength_);
  roomDrift_ = measureDrift(windows, alignedTones());
  const CarrierFit<float> carriers = fitCarriers(windows, alignedTones());
  if (carriers.score < kCarrierScore) return false;
  roomEven_ = static_cast<int>((roomBase_ + carriers.evenOffset) % 2);
  float carrier = 0.0f;
  for (int w = 0; w < roomLength_; ++w) {
    const bool even = (roomBase_ + static_cast<std::uint32_t>(w + roomEven_)) % 2 == 0;
    carrier +=
        levelOf(roomBase_ + static_cast<std::uint32_t>(w), even ? kEvenCarrier : kOddCarrier);
  }
  roomCarrier_ = carrier / static_cast<float>(roomLength_);
  roomPass_ = 0;
  return true;
}

// The lag of `frames` whole frames, in windows, when the windows repeat after it; else 0. The
// shortest such lag is the pass.
int ListeningCore::passLag(int frames) const {
  const int lag = frames * static_cast<int>(kSymbolsPerFrame);
  return repeatsAfter(static_cast<std::size_t>(roomLength_), static_cast<std::size_t>(lag),
                      alignedTones())
             ? lag
             : 0;
}

// A first reading that needs no reading before it (see predictTone in roomEstimators.h): a
// window sounds when it lies nearer the louder end. Measures the tone's energy on the way.
void ListeningCore::predictTone(std::size_t tone) {
  loadTone(tone);
  float energy = 0.0f;
  for (int w = 0; w < roomLength_; ++w) energy += norm(toneWindows_[static_cast<std::size_t>(w)]);
  roomEnergy_[tone] = energy;
  const auto y = [this](int w) { return toneWindows_[static_cast<std::size_t>(w)]; };
  const auto prediction = receiver::predictTone(roomLength_, y);
  constexpr int kPast = TonePrediction<Phasor>::kPast;
  const auto along = [&](int i) { return prediction.along(y, i + kPast); };
  const int count = roomLength_ - kPast;
  const auto [off, on] = twoEnds(count, along);
  predicted_.fill(0);
  for (int i = 0; i < count; ++i) {
    setBit(predicted_.data(), i + kPast, on > off && along(i) - off > (on - off) / 2.0f);
  }
}

// The loaded tone's response, learnt by least squares from where `sounding` says it sounds: the
// regressors are 0 or 1, so the normal equations are counts. A little damping keeps terms
// that never sounded (or always together) at zero.
ListeningCore::Response ListeningCore::learnTone(std::size_t tone, const RoomBits& sounding) const {
  return learnResponse<kMostTerms>(
      sounding, roomLength_, roomEchoes_ + 1,
      [this](int w) { return toneWindows_[static_cast<std::size_t>(w)]; }, roomEnergy_[tone]);
}

// `tone` read again through the response `sounding` teaches (see readThroughResponse). Writes
// each window's level (on 2, off 0) to levels[w * stride] and updates `sounding`.
void ListeningCore::cancelTone(std::size_t tone, RoomBits& sounding, std::int8_t* levels,
                               int stride) {
  loadTone(tone);
  const Response response = learnTone(tone, sounding);
  readThroughResponse(
      response.terms, roomEchoes_ + 1, roomLength_, roomPass_, sounding.data(),
      [this](int w) -> Phasor& { return toneWindows_[static_cast<std::size_t>(w)]; },
      [&](int a, float on) {
        levels[static_cast<std::ptrdiff_t>(a) * stride] = toRoomLevel(2.0f * on);
      });
}

// Whether bit tone `bit` sounds in window w by first reading `start`: predicted, louder than
// the carriers, predicted silent, or (kSaidByOthers) as the other tones' readings say.
bool ListeningCore::firstReading(int bit, int start, int w) const {
  const bool predicted = bitAt(predicted_.data(), w);
  switch (start) {
    case 0:
      return predicted;
    case 1: {
      const Phasor y = alignedAt(w, toneOf(static_cast<std::size_t>(bit)));
      return std::sqrt(y.re * y.re + y.im * y.im) > roomCarrier_;
    }
    case 2:
      return !predicted;
    default: {  // kSaidByOthers
      bool odd = false;
      for (int other = 0; other < kRoomTones; ++other) {
        if (other != bit) odd = odd != (roomLevel(w, other) > 1.0f);
      }
      return odd;
    }
  }
}

// One round of settling bit tone `bit` from first reading `start`; after its last round the
// reading is kept when its response explains the tone best so far.
bool ListeningCore::settleTone(int bit, int start, int round) {
  const std::size_t tone = toneOf(static_cast<std::size_t>(bit));
  if (start == kRepeating && roomPass_ != static_cast<int>(kSymbolsPerFrame)) return false;
  if (round == 0 && start == kRepeating) {
    bestRepeating(tone);
  } else if (round == 0) {
    for (int w = 0; w < roomLength_; ++w) setBit(settling_.data(), w, firstReading(bit, start, w));
  }
  cancelTone(tone, settling_, trial_.data(), 1);
  if (round + 1 < kSettleRounds) return true;
  loadTone(tone);
  const float misfit = learnTone(tone, settling_).misfit;
  float& best = bestMisfits_[static_cast<std::size_t>(bit)];
  if (start > 0 && misfit >= best) return true;
  best = misfit;
  for (int w = 0; w < roomLength_; ++w) {
    roomLevels_[static_cast<std::size_t>(w)][static_cast<std::size_t>(bit)] =
        trial_[static_cast<std::size_t>(w)];
  }
  return true;
}

// The way of sounding, repeating every frame, whose response explains `tone` best. The loop
// of one frame repeats every ten windows, and so does what the room makes of it: each way is
// fitted to the tone's mean over the passes, window by window of the frame, with the ringing
// of the frame before wrapping round, through the first few terms of a response.
void ListeningCore::bestRepeating(std::size_t tone) {
  constexpr int kPeriod = static_cast<int>(kSymbolsPerFrame);
  constexpr int kWays = 1 << kPeriod;
  constexpr int kRepeatingTerms = 4;
  loadTone(tone);
  std::array<Phasor, kPeriod> mean{};
  std::array<int, kPeriod> copies{};
  for (int w = 0; w < roomLength_; ++w) {
    const Phasor p = toneWindows_[static_cast<std::size_t>(w)];
    mean[static_cast<std::size_t>(w % kPeriod)] = mean[static_cast<std::size_t>(w % kPeriod)] + p;
    ++copies[static_cast<std::size_t>(w % kPeriod)];
  }
  for (int i = 0; i < kPeriod; ++i) {
    mean[static_cast<std::size_t>(i)] =
        (1.0f / static_cast<float>(std::max(1, copies[static_cast<std::size_t>(i)]))) *
        mean[static_cast<std::size_t>(i)];
  }
  // Bit i of the way turned by `by`: whether the symbol `by` windows before window i sounds.
  const auto turned = [](int way, int by) {
    return static_cast<std::uint32_t>(((way << by) | (way >> (kPeriod - by))) & (kWays - 1));
  };
  int bestWay = 0;
  float most = 0.0f;
  for (int way = 0; way < kWays; ++way) {
    std::array<std::uint32_t, kRepeatingTerms> term{};
    std::array<std::array<float, kRepeatingTerms>, kRepeatingTerms> normal{};
    std::array<Phasor, kRepeatingTerms> projected{};
    for (std::size_t a = 0; a < kRepeatingTerms; ++a) {
      term[a] = turned(way, static_cast<int>(a));
      for (std::uint32_t bits = term[a]; bits != 0; bits &= bits - 1) {
        projected[a] = projected[a] + mean[static_cast<std::size_t>(std::countr_zero(bits))];
      }
    }
    for (std::size_t a = 0; a < kRepeatingTerms; ++a) {
      for (std::size_t b = a; b < kRepeatingTerms; ++b) {
        normal[a][b] = static_cast<float>(std::popcount(term[a] & term[b])) +
                       (a == b ? static_cast<float>(kResponseDamping) : 0.0f);
        normal[b][a] = normal[a][b];
      }
    }
    const auto fit = solveReal(normal, projected);
    float explained = 0.0f;
    for (std::size_t a = 0; a < kRepeatingTerms; ++a) explained += (conj(fit[a]) * projected[a]).re;
    if (way == 0 || explained > most) {
      most = explained;
      bestWay = way;
    }
  }
  for (int w = 0; w < roomLength_; ++w) {
    setBit(settling_.data(), w, ((bestWay >> (w % kPeriod)) & 1) != 0);
  }
}

// Where every tone sounds when the windows hold the bytes their room levels read as; the bytes
// are left in trial_.
void ListeningCore::soundingFromBytes() {
  for (RoomBits& bits : roundSounding_) bits.fill(0);
  for (int w = 0; w < roomLength_; ++w) {
    ToneLevels levels{};
    for (int bit = 0; bit < kRoomTones; ++bit) {
      levels[toneOf(static_cast<std::size_t>(bit))] = roomLevel(w, bit);
    }
    const std::uint8_t byte = readSymbol(levels, 1.0f).byte;
    trial_[static_cast<std::size_t>(w)] = static_cast<std::int8_t>(byte);
    for (int bit = 0; bit < kRoomTones; ++bit) {
      setBit(roundSounding_[static_cast<std::size_t>(bit)].data(), w,
             soundsIn(byte, static_cast<std::size_t>(bit)));
    }
  }
}

// Which carrier is on in a window is as ambiguous in a room as a tone turned round; but a
// frame always starts on the even symbols' carrier, so the frames that check (their bytes
// left in trial_ by soundingFromBytes) tell the even windows.
void ListeningCore::placeRoomFrames() {
  const std::array<int, 2> starts = checkingStarts(roomLength_, [this](int w) {
    return static_cast<std::uint8_t>(trial_[static_cast<std::size_t>(w)]);
  });
  if (starts[0] == starts[1]) return;
  const std::uint32_t evenStart = starts[0] > starts[1] ? 0 : 1;
  roomEven_ = static_cast<int>((roomBase_ + evenStart) % 2);
}

// A tone's levels moved towards the threshold as far as its reading cannot be believed (see
// fitWeight).
void ListeningCore::weighTone(int bit) {
  const std::size_t tone = toneOf(static_cast<std::size_t>(bit));
  loadTone(tone);
  const float weight =
      fitWeight(learnTone(tone, roundSounding_[static_cast<std::size_t>(bit)]), roomLength_);
  for (int w = 0; w < roomLength_; ++w) {
    std::int8_t& level = roomLevels_[static_cast<std::size_t>(w)][static_cast<std::size_t>(bit)];
    level = toRoomLevel(1.0f + (static_cast<float>(level) / kLevelUnit - 1.0f) * weight);
  }
}

}  // namespace sonicsend::receiver
