// The receiver for a listening device: fixed memory, all of it in one block the caller
// provides, no heap, no exceptions, single-precision float. `push` hands audio over (bounded
// work per sample; it may run in an interrupt), `poll` reads it in the main loop: symbol
// timing, the tones at the device's own rate, frames, passes and the message checks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "HandOver.h"
#include "ToneWindows.h"
#include "framing.h"
#include "messageBounds.h"
#include "phasor.h"
#include "reading.h"
#include "roomEstimators.h"

namespace sonicsend::receiver {

// The rates the core reads the tones at, without resampling.
inline constexpr std::array<int, 5> kCoreRates = {8000, 16000, 22050, 44100, 48000};

// A message once heard: its bytes as sent, where SSID and key lie in them, and how it came.
struct CoreMessage {
  std::array<std::uint8_t, kMaxMessageBytes> bytes{};
  MessageBounds bounds;
  int frames = 0;  // frames per pass
  int passes = 0;  // the most passes any one frame was heard in
};

class ListeningCore {
 public:
  // Bytes of the caller's block for `sampleRate`; 0 when the rate is not one of kCoreRates.
  static std::size_t stateSize(int sampleRate);
  // Builds the core inside `block` (aligned to alignof(std::max_align_t), stateSize bytes at
  // least); nothing when the rate or the block does not fit.
  static ListeningCore* create(void* block, std::size_t size, int sampleRate);

  ListeningCore(const ListeningCore&) = delete;
  ListeningCore& operator=(const ListeningCore&) = delete;

  // The producer's side (one producer, which may be an interrupt): copies the samples into
  // the hand-over ring. Floats beyond full scale are clipped; non-finite ones count as silence.
  void push(std::span<const std::int16_t> samples) { handOver_.push(samples); }
  void push(std::span<const float> samples) { handOver_.push(samples); }

  // The consumer's side (one consumer, the main loop): reads at most a ring's worth of the
  // audio handed over, and goes on with the search for a message a bounded step at a time, so
  // that it returns however fast audio comes. True once a message was heard.
  bool poll();
  // The message, once poll returned true; else nothing.
  const CoreMessage* message() const { return heard_ ? &message_ : nullptr; }
  // Samples lost because poll fell behind by more than the ring holds.
  std::uint32_t droppedSamples() const { return handOver_.dropped(); }
  // Starts over, as after create; only while no push runs.
  void reset();

 private:
  struct StoredSymbol {
    std::uint16_t scale = 0;  // the loudest tone's level (storedTones::shortFloat)
    // Each tone's level, in steps of a quarter decibel below scale (255: silent), and phase,
    // in 1/256 of a turn: what the room model learns a room's response from.
    std::array<std::uint8_t, kToneCount> attenuation{};
    std::array<std::uint8_t, kToneCount> phase{};
    // Read once the carriers around it are in, for either parity: even symbols where the
    // window's count since the start is even (0) or odd (1).
    std::array<std::uint8_t, 2> byte{};
    std::array<std::uint16_t, 2> reference{};  // the threshold: the carriers around it
    // Lost most of its sound (a dropout): it reads as 0x00, a valid byte, so it is not read.
    std::array<bool, 2> erased{};
    // How much of its sound was heard: its carrier's share of the reference, in 1/255.
    std::array<std::uint8_t, 2> heard{};
  };
  // A tone's response to its own symbol and to the echoes before it (roomEstimators.h).
  static constexpr std::size_t kMostTerms = 9;
  using Response = RoomResponse<Phasor, kMostTerms>;
  // The room model reads the bit and parity tones of the latest windows again, one unit of
  // work at a time: per tone its settled readings from three starts, then rounds over all.
  static constexpr int kRoomTones = static_cast<int>(SymbolRead::kTones);
  static constexpr int kRoomWindows = 3 * kMaxFrames * static_cast<int>(kSymbolsPerFrame);
  static constexpr std::size_t kRoomWordCount = (kRoomWindows + 31) / 32;
  using RoomBits = std::array<std::uint32_t, kRoomWordCount>;
  // What the frame reading (framing.h) asks of the windows searched.
  struct SearchCopies;

  // A window is read once the windows that set its reference have come.
  static constexpr auto kReadDelay = static_cast<std::uint32_t>(kReferenceReach);
  static constexpr int kSearchWindows = kMaxFrames * static_cast<int>(kSymbolsPerFrame) * 5;
  // Windows arriving while a search runs must not overwrite those it reads.
  static constexpr int kHistory = kSearchWindows + 64;
  static constexpr int kMaxSlots = kSearchWindows / static_cast<int>(kSymbolsPerFrame);

  ListeningCore(int sampleRate, Phasor* mixTable, std::atomic<std::int16_t>* ring,
                std::uint32_t ringSize);
  void startOver();
  void demodulate(std::span<const std::int16_t> samples);
  void emitSymbol();
  bool stepSearch();
  void readWindow(std::uint32_t window);
  void startSearch();
  void startRoomSearch();
  bool carriersShow();
  float measureNoise() const;
  void rankHypotheses();
  void readSlots(int firstWindow);
  bool stepHypothesis(int& work);
  bool readFrame(const Hypothesis& h, int number, FrameRead& frame, int& work);
  bool accepted(const Hypothesis& h);
  SlotNumbers slotNumbers() const;
  // The room model (ListeningCoreRoom.cpp).
  void startRoom();
  void stepRoom();
  bool roomUnit(int unit);
  Phasor alignedAt(int window, std::size_t tone) const;
  auto alignedTones() const {
    return [this](std::size_t w, std::size_t tone) { return alignedAt(static_cast<int>(w), tone); };
  }
  void loadTone(std::size_t tone);
  bool measureRoom();
  void predictTone(std::size_t tone);
  Response learnTone(std::size_t tone, const RoomBits& sounding) const;
  void cancelTone(std::size_t tone, RoomBits& sounding, std::int8_t* levels, int stride);
  int passLag(int frames) const;
  bool settleTone(int bit, int start, int round);
  void bestRepeating(std::size_t tone);
  bool firstReading(int bit, int start, int w) const;
  void soundingFromBytes();
  void weighTone(int bit);
  void placeRoomFrames();
  float roomLevel(int window, int bit) const;
  float searchedLevel(int window, int bit) const;
  void publishRoom();
  const StoredSymbol& stored(std::uint32_t window) const { return history_[window % kHistory]; }
  float levelOf(std::uint32_t window, std::size_t tone) const;
  void store(const TonePhasor& window, StoredSymbol& symbol) const;
  ToneLevels levelsOf(int window) const;
  std::uint8_t byteOf(int window) const;
  float referenceOf(int window) const;
  bool erasedAt(int window) const;
  float heardAt(int window) const;

  HandOver handOver_;
  ToneWindows tones_;

  std::array<StoredSymbol, kHistory> history_{};
  std::uint32_t symbolCount_ = 0;

  // The search over the latest windows, a step per poll, as far as the credit each window
  // adds allows: its work per second of audio is bounded however often poll runs.
  bool searching_ = false;
  int searchCredit_ = 0;
  std::uint32_t searchBase_ = 0;  // the first window searched, counted since the start
  int searchLength_ = 0;
  int evenOffset_ = 0;  // window w since the start is an even symbol when w + this is even
  // The noise share (noiseShare) of the latest plain search, which the windows read since
  // are measured against, and of the search under way.
  float noise_ = 0.0f;
  float searchNoise_ = 0.0f;
  std::array<Hypothesis, kMostHypotheses> hypotheses_{};
  int hypothesisCount_ = 0;
  int nextHypothesis_ = 0;
  // The hypothesis being read, frame by frame.
  int nextFrame_ = 0;  // 0: none
  std::array<std::uint8_t, kMaxMessageBytes> payload_{};
  int passes_ = 0;
  bool everyFrameAlone_ = true;
  int slotsFor_ = -1;  // the firstWindow slotNumber_ was read for
  int slotCount_ = 0;
  std::array<std::uint8_t, kMaxSlots> slotNumber_{};  // the number of a checking frame, or 0

  // The room model: a reading of the latest kRoomWindows, done a unit at a time as its own
  // credit allows; once done, the next search reads its levels instead of the plain ones.
  enum class RoomStage : std::uint8_t { idle, working, ready };
  RoomStage roomStage_ = RoomStage::idle;
  bool searchingRoom_ = false;  // the search reads the room model's levels
  int roomCredit_ = 0;
  int roomUnit_ = 0;
  std::uint32_t roomNextStart_ = 0;  // the window count from which a new reading may begin
  std::uint32_t roomBase_ = 0;
  int roomLength_ = 0;
  int roomEchoes_ = 1;
  int roomPass_ = 0;  // windows per pass of the loop, 0 when not known
  int roomEven_ = 0;
  float roomDrift_ = 0.0f;  // the phase turned per window and per k: the clocks' mismatch
  float roomCarrier_ = 0.0f;
  std::array<float, kToneCount> roomEnergy_{};
  std::array<float, kRoomTones> bestMisfits_{};  // of each tone's reading kept
  RoomBits predicted_{};                         // the prediction of the tone being settled
  RoomBits settling_{};                          // the reading being settled
  std::array<RoomBits, kRoomTones> roundSounding_{};
  // The reading being settled; once the model is done, each window's byte.
  std::array<std::int8_t, kRoomWindows> trial_{};
  // The tone being read, in every window of the room: as measured, then what its reading
  // leaves unexplained.
  std::array<Phasor, kRoomWindows> toneWindows_{};
  // Per window, each bit and parity tone's level in 1/32: on 64, off 0.
  std::array<std::array<std::int8_t, kRoomTones>, kRoomWindows> roomLevels_{};
  // The last reading done, as the search reads it: levels, bytes and windows.
  std::array<std::array<std::int8_t, kRoomTones>, kRoomWindows> searchedLevels_{};
  std::array<std::uint8_t, kRoomWindows> searchedBytes_{};
  std::uint32_t searchedBase_ = 0;
  int searchedLength_ = 0;
  int searchedEven_ = 0;

  bool heard_ = false;
  CoreMessage message_;
};

}  // namespace sonicsend::receiver
