// The listening core's room model. In a reverberant room a tone of an earlier symbol still
// sounds when the next one starts, so a tone that is off can measure louder than one that is
// on. Every tone keeps its phase from symbol to symbol, so what a window measures of a tone is
// the sum of the room's response to the current symbol and to the few before it, the same sum
// in every window. The model learns that response per tone from the windows themselves (a
// least-squares fit to a reading of where the tone sounds), takes the earlier symbols' share
// out of every window, and reads again. Each tone is read from a few first readings (a
// prediction from the windows before, the plain level, the prediction turned round, for a
// loop of one frame the best of its ways of repeating, and the best so far a symbol earlier)
// and keeps the kCandidates readings its response explains best; then from what the other
// tones' readings say it must be. The frames' checks then choose among the candidates (one or
// two tones' swapped at a time, while that makes clearly more frames check), and all tones are
// read again from the bytes of that choice, twice. It runs over the latest windows of the
// history (those up to where the sender stopped, once it stops), a bounded step at a time, in
// fixed memory.
#pragma once

#include <array>
#include <cstdint>

#include "SymbolHistory.h"
#include "phasor.h"
#include "roomEstimators.h"

namespace sonicsend::receiver {

// The bit and parity tones the room model reads, and the latest windows it reads: three
// passes of the longest message.
inline constexpr std::size_t kRoomTones = SymbolRead::kTones;
inline constexpr int kRoomWindows = 3 * kMaxFrames * kFrameWindows;

// A reading the room model finished, as the frame search reads it.
struct RoomReading {
  // Levels are kept in 1/32: on 64, off 0, threshold 32.
  static constexpr float kLevelUnit = 32.0f;

  ByPosition<std::array<std::int8_t, kRoomTones>, kRoomWindows> levels{};
  ByPosition<std::uint8_t, kRoomWindows> bytes{};  // each window's byte
  std::uint32_t base = 0;                          // window 0, counted since the start
  int length = 0;
  int even = 0;  // window w since the start is an even symbol when w + this is even

  float levelOf(int window, std::size_t bit) const {
    return static_cast<float>(levels[window][bit]) / kLevelUnit;
  }
};

class RoomModel {
 public:
  void startOver();
  // A window came: the model may do a little more work.
  void earnCredit();
  // Goes on with the reading under way, as far as its credit allows, or starts a new one once
  // a frame's worth of windows came since the last began.
  void step(const SymbolHistory& history);

  // Whether a reading was finished and not taken yet.
  bool ready() const { return stage_ == Stage::ready; }
  // The reading finished; the model goes on with a new one.
  const RoomReading& take() {
    stage_ = Stage::idle;
    return published_;
  }
  // The latest reading finished.
  const RoomReading& published() const { return published_; }

 private:
  using Response = RoomResponse<Phasor, kResponseTerms>;
  static constexpr std::size_t kWordCount = (kRoomWindows + 31) / 32;
  using Bits = std::array<std::uint32_t, kWordCount>;

  enum class Stage : std::uint8_t { idle, working, ready };
  // The steps of a reading, in their order; each reads the windows about once.
  enum class Step : std::uint8_t {
    measure,       // the terms to learn, the clocks' mismatch, the carriers
    passLag,       // whether the windows repeat after `index` frames
    predict,       // tone `index`'s first reading by prediction
    settle,        // tone `index` read from first reading `start`
    saidByOthers,  // tone `index` read from what the other tones say
    choose,        // the swaps of bit tone `index`'s readings, alone or with a later tone's
    chosen,        // the best of those swaps taken, when it makes clearly more frames check
    readBytes,     // every window's byte: from the choice, then from the round before
    cancel,        // tone `index` read again from those bytes, weighed by its response's fit
    placeFrames,   // the bytes again, and the even windows where frames check
    publish,       // the reading handed to the search
    done,
  };
  struct Position {
    Step step = Step::measure;
    int index = 0;  // the frames of a lag, or a tone's bit
    int start = 0;  // a first reading, or a round of choosing or of reading again
  };
  // A first reading: predicted, louder than the carriers, predicted silent, the best way of
  // repeating every frame (a loop of one frame only), the best reading so far one symbol
  // earlier (a reading one symbol late explains a tone nearly as well, and settles there), or
  // as the other tones say.
  enum class Start : std::uint8_t {
    predicted,
    louder,
    unpredicted,
    repeating,
    earlier,
    saidByOthers
  };
  static constexpr int kStarts = 5;  // the first readings tried first: all but saidByOthers

  // The room's windows from the history, with the clocks' mismatch turned back.
  struct AlignedWindows {
    const SymbolHistory& history;
    std::uint32_t base;
    float drift;  // the phase turned per window and per k
    Phasor at(int window, std::size_t tone) const;
    auto tones() const {
      return [this](std::size_t w, std::size_t tone) { return at(static_cast<int>(w), tone); };
    }
  };

  Position next(Position at) const;
  void start(const SymbolHistory& history);
  bool run(Position at, const SymbolHistory& history);
  bool measure(const SymbolHistory& history);
  int passLag(const AlignedWindows& aligned, int frames) const;
  void loadTone(const AlignedWindows& aligned, std::size_t tone);
  void readByPrediction(const AlignedWindows& aligned, std::size_t tone);
  Response learnTone(std::size_t tone, const Bits& sounding) const;
  Response cancelTone(const AlignedWindows& aligned, std::size_t tone, Bits& sounding,
                      std::int8_t* levels, int stride);
  bool settleTone(const AlignedWindows& aligned, std::size_t bit, Start first);
  void keepCandidate(std::size_t bit, float misfit);
  const Bits& inUse(std::size_t bit) const { return candidates_[bit].sounding[chosen_[bit]]; }
  Bits& inUse(std::size_t bit) { return candidates_[bit].sounding[chosen_[bit]]; }
  void chooseBytes();
  int trySwaps(std::size_t bit);
  void takeBestSwap();
  bool firstReading(const AlignedWindows& aligned, std::size_t bit, Start first, int w) const;
  void bestRepeating(const AlignedWindows& aligned, std::size_t tone);
  void bytesFromLevels(bool ofChoice = false);
  void soundingFromBytes();
  void placeFrames();
  void weighTone(std::size_t bit, const Response& response);
  void publish();
  float levelOf(int window, std::size_t bit) const;

  Stage stage_ = Stage::idle;
  Position position_;
  int credit_ = 0;
  std::uint32_t nextStart_ = 0;  // the window count from which a new reading may begin
  std::uint32_t nextCheck_ = 0;  // from which to look again whether the sender stopped
  std::uint32_t base_ = 0;
  int length_ = 0;
  bool readsToNow_ = false;  // whether the sender was still heard when the reading began
  int echoes_ = 1;
  int pass_ = 0;  // windows per pass of the loop, 0 when not known
  int even_ = 0;
  float drift_ = 0.0f;
  float carrier_ = 0.0f;
  std::array<float, kToneCount> energy_{};
  // Each bit and parity tone keeps the kCandidates different readings whose responses explain
  // it best, the best first; the frames' checks choose among them. Once chosen, the reading in
  // use is where the bytes say the tone sounds.
  static constexpr int kCandidates = 2;
  struct Candidates {
    ByPosition<Bits, kCandidates> sounding{};
    ByPosition<float, kCandidates> misfit{};
    int count = 0;
  };
  using Choice = std::array<std::uint8_t, kRoomTones>;
  std::array<Candidates, kRoomTones> candidates_{};
  Choice chosen_{};
  Choice bestSwap_{};  // the best choice tried in this round of swaps
  int checking_ = 0;   // frames that check with the choice made
  int bestChecking_ = 0;
  float bestMisfit_ = 0.0f;
  bool swapped_ = false;  // whether the last round of swaps took one
  Bits predicted_{};      // the prediction of the tone being settled
  Bits settling_{};       // the reading being settled
  // The reading being settled; while choosing and once the model is done, each window's byte.
  ByPosition<std::int8_t, kRoomWindows> trial_{};
  // The tone being read, in every window of the room: as measured, then what its reading
  // leaves unexplained.
  ByPosition<Phasor, kRoomWindows> toneWindows_{};
  // Per window, each bit and parity tone's level in RoomReading::kLevelUnit: on 64, off 0.
  ByPosition<std::array<std::int8_t, kRoomTones>, kRoomWindows> levels_{};
  RoomReading published_;
};

}  // namespace sonicsend::receiver
