// The listening core's room model. In a reverberant room a tone of an earlier symbol still
// sounds when the next one starts, so a tone that is off can measure louder than one that is
// on. Every tone keeps its phase from symbol to symbol, so what a window measures of a tone is
// the sum of the room's response to the current symbol and to the few before it, the same sum
// in every window. The model learns that response per tone from the windows themselves (a
// least-squares fit to a reading of where the tone sounds), takes the earlier symbols' share
// out of every window, and reads again. Each tone is read from a few first readings (a
// prediction from the windows before, the plain level, the prediction turned round, and for a
// loop of one frame the best of its ways of repeating) and keeps the reading its response
// explains best, and the runner-up; then from what the other tones' readings say it must be.
// Where a tone's ringing nearly cancels its steady sound, a reading and its opposite explain it
// alike, so the frames choose: a tone or two read as their runner-up while that makes clearly
// more frames check. Then all tones are read once more from the bytes of those readings. It runs
// over the latest kWindows of the history, a bounded step at a time, in fixed memory.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "FrameChoice.h"
#include "SymbolHistory.h"
#include "fixedPhasor.h"
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

  // The unit is a power of two, so a level times its inverse is the quotient exactly, without
  // a division.
  static constexpr float kPerUnit = 1.0f / kLevelUnit;
  static_assert(kLevelUnit == 32.0f);

  float levelOf(int window, std::size_t bit) const {
    return static_cast<float>(levels[window][bit]) * kPerUnit;
  }
  // The byte a window's levels read as, as readSymbol reads them with the threshold at 1 (a
  // tone sounds above it; where the parity fails, the tone nearest it is turned round), in whole
  // units of the levels.
  static std::uint8_t byteOf(const std::array<std::int8_t, kRoomTones>& levels);
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
  // What the heaviest steps (a tone read through its response, the ways a one-frame loop may
  // repeat) work in: integers where floats run in software.
  using WorkPhasor = std::conditional_t<SONICSEND_LISTENER_FIXED != 0, FixedPhasor, Phasor>;
  static constexpr std::size_t kWordCount = (kRoomWindows + 31) / 32;
  using Bits = std::array<std::uint32_t, kWordCount>;

  enum class Stage : std::uint8_t { idle, working, ready };
  // The steps of a reading, in their order; each reads the windows about once.
  enum class Step : std::uint8_t {
    measure,       // the terms to learn, the clocks' mismatch
    carriers,      // the even windows and the carriers' level, when the carriers show
    passLag,       // whether the windows repeat after `index` frames: stretch `part` of them
    predict,       // tone `index`'s first reading by prediction: the prediction's fit,
    placeLine,     // the line its residuals spread along,
    readLine,      // and the reading from where each window lies along it
    settle,        // tone `index` read from first reading `start` (see kReadingParts)
    tryWays,       // part `part` of the ways tone `index` may repeat every frame, tried
    saidByOthers,  // tone `index` read from what the other tones say, alike
    choose,        // in round `start`, tone `index` swapped for its runner-up, alone (part
                   // 0) or with tone `index + part`
    readBytes,     // every window's byte from the tones' readings
    cancel,        // tone `index` read again from those bytes: its response, then the reading
    placeFrames,   // the bytes again, and the even windows where frames check
    weigh,         // tone `index` weighed by how well its response explains it
    publish,       // the reading handed to the search
    done,
  };
  struct Position {
    Step step = Step::measure;
    int index = 0;  // the frames of a lag, or a tone's bit
    int start = 0;  // a first reading
    int part = 0;   // of a step spread over a few: windows, ways, or a reading's steps
  };
  // A first reading: predicted, louder than the carriers, predicted silent, the best way of
  // repeating every frame (a loop of one frame only), or as the other tones say.
  enum class Start : std::uint8_t { predicted, louder, unpredicted, repeating, saidByOthers };
  static constexpr int kStarts = 4;  // the first readings tried first: all but saidByOthers

  // The room's windows from the history, with the clocks' mismatch turned back.
  struct AlignedWindows {
    AlignedWindows(const SymbolHistory& history, std::uint32_t base, float drift);
    const SymbolHistory& history;
    int place;  // of window 0 in the history
    // The turn of each tone per window, in 1/65536 of a step of 1/256 of a turn.
    std::array<std::uint32_t, kToneCount> turn;
    int stepsOver(int windows, std::size_t tone) const;
    const SymbolHistory::Symbol& symbolAt(int window) const { return history.after(place, window); }
    float levelAt(int window, std::size_t tone) const {
      return SymbolHistory::levelOf(symbolAt(window), tone);
    }
    Phasor at(int window, std::size_t tone) const;
    auto tones() const {
      return [this](std::size_t w, std::size_t tone) { return at(static_cast<int>(w), tone); };
    }
  };

  // The tone loaded, window by window.
  auto loaded() const {
    return [this](int w) { return toneWindows_[w].tone; };
  }
  float workScale() const;
  Position next(Position at) const;
  static bool isPart(Position at);
  bool applies(Position at) const;
  int costOf(Position at) const;
  int workOf(Position at) const;
  int lagWindows(int frames) const;
  void start(const SymbolHistory& history);
  void run(Position at, const SymbolHistory& history);
  void measure(const SymbolHistory& history);
  bool measureCarriers(const AlignedWindows& aligned, const SymbolHistory& history);
  void passLag(const AlignedWindows& aligned, int frames, int part);
  void loadTone(const AlignedWindows& aligned, std::size_t tone);
  void fitPrediction(const AlignedWindows& aligned, std::size_t tone);
  void placeLine(const AlignedWindows& aligned, std::size_t tone);
  void readByPrediction();
  Response learnTone(std::size_t tone, const Bits& sounding) const;
  void learnFrom(const AlignedWindows& aligned, std::size_t tone, const Bits& sounding);
  void readThrough(Bits& sounding, std::int8_t* levels, int stride);
  void settleTone(const AlignedWindows& aligned, std::size_t bit, Start first);
  void keepIfBest(const AlignedWindows& aligned, std::size_t bit, Start first);
  float misfitOfSettling(const AlignedWindows& aligned, std::size_t tone);
  bool firstReading(const AlignedWindows& aligned, std::size_t bit, Start first, int w) const;
  void tryWays(const AlignedWindows& aligned, std::size_t tone, int part);
  void keepRunnerUp(std::size_t bit, float misfit);
  void prepareChoice();
  int checkingFramesWith(std::uint32_t choice);
  void useChoice();
  void soundingFromBytes();
  void placeFrames();
  void weighTone(const AlignedWindows& aligned, std::size_t bit);
  void publish();
  float levelOf(int window, std::size_t bit) const;

  Stage stage_ = Stage::idle;
  Position position_;
  int credit_ = 0;
  std::uint32_t nextStart_ = 0;  // the window count from which a new reading may begin
  std::uint32_t base_ = 0;
  int length_ = 0;
  int echoes_ = 1;
  int pass_ = 0;  // windows per pass of the loop, 0 when not known
  int even_ = 0;
  float drift_ = 0.0f;
  float carrier_ = 0.0f;
  std::array<float, kToneCount> energy_{};
  FrameChoice::Misfits bestMisfits_{};        // of each tone's reading kept
  std::array<Bits, kRoomTones> runnerUps_{};  // each tone's second best reading
  FrameChoice::Misfits runnerUpMisfits_{};    // its misfit, or FrameChoice::kNoReading
  FrameChoice choice_;
  bool choosing_ = false;                   // the last round of the choice found a better one
  LagSums<float> lagSums_;                  // of the lag being tried
  RepeatingWays<1, WorkPhasor> repeating_;  // of the tone being settled
  TonePrediction<Phasor> prediction_;       // of the tone being predicted
  Response response_;                       // of the tone being read
  std::array<Phasor, kResponseTerms> projected_{};  // what it projects onto its first reading
  Bits firstRead_{};                                // the first reading of the tone settled
  Bits predicted_{};                                // the prediction of the tone being settled
  Bits settling_{};                                 // the reading being settled
  std::array<Bits, kRoomTones> roundSounding_{};
  // The reading being settled; once the model is done, each window's byte.
  ByPosition<std::int8_t, kRoomWindows> trial_{};
  // The tone being read, in every window of the room: as measured, then what its reading
  // leaves unexplained, in floats or, on a chip without an FPU, in integers.
  // While the frames choose, each window packed as FrameChoice reads it.
  union ToneWindow {
    Phasor tone;
    FixedPhasor unexplained;
    std::uint32_t choosing;
  };
  // What a reading leaves unexplained in a window, as WorkPhasor holds it.
  template <typename Work>
  static Work& unexplainedOf(ToneWindow& window) {
    if constexpr (std::is_same_v<Work, FixedPhasor>) {
      return window.unexplained;
    } else {
      return window.tone;
    }
  }
  ByPosition<ToneWindow, kRoomWindows> toneWindows_{};
  // Per window, each bit and parity tone's level in RoomReading::kLevelUnit: on 64, off 0.
  ByPosition<std::array<std::int8_t, kRoomTones>, kRoomWindows> levels_{};
  RoomReading published_;
};

}  // namespace sonicsend::receiver
