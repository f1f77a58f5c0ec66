// The receiver for a listening device: fixed memory, all of it in one block the caller
// provides, no heap, no exceptions, single-precision float. `push` hands audio over (bounded
// work per sample; it may run in an interrupt), `poll` reads it in the main loop. The core is
// its stages, each with its own state, in the order a sample meets them:
//   HandOver       the ring between the producer and the consumer;
//   ToneWindows    the eleven tones over symbol windows kept on the sender's boundaries;
//   SymbolHistory  the latest windows, each read as a byte once its neighbours are in;
//   FrameSearch    frames, passes and the message checks, over the plain levels or over
//   RoomModel      the latest windows read again with the room's ringing taken out.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "FrameSearch.h"
#include "HandOver.h"
#include "RoomModel.h"
#include "SymbolHistory.h"
#include "ToneWindows.h"
#include "phasor.h"
#include "portable.h"

namespace sonicsend::receiver {

// The rates the core reads the tones at, without resampling.
inline constexpr std::array<int, 5> kCoreRates = {8000, 16000, 22050, 44100, 48000};

class ListeningCore {
 public:
  // What create makes of a block, checked in this order.
  enum class Fit { ok, noBlock, rate, size, alignment };
  // The block's alignment, the same on every target: the strictest the core needs anywhere.
  static constexpr std::size_t kBlockAlignment = 8;

  // Bytes of the caller's block for `sampleRate`; 0 when the rate is not one of kCoreRates.
  static std::size_t stateSize(int sampleRate);
  // The same for a rate the core reads, at compile time: the core, the tone mixer's table, the
  // hand-over ring.
  static constexpr std::size_t blockBytes(int sampleRate);
  static Fit check(const void* block, std::size_t size, int sampleRate);
  // Builds the core inside `block`; nothing unless check gives ok.
  static ListeningCore* create(void* block, std::size_t size, int sampleRate);

  ListeningCore(const ListeningCore&) = delete;
  ListeningCore& operator=(const ListeningCore&) = delete;

  // The producer's side (one producer, which may be an interrupt): copies the samples into
  // the hand-over ring. Floats beyond full scale are clipped; non-finite ones count as silence.
  void push(Span<const std::int16_t> samples) { handOver_.push(samples); }
  void push(Span<const float> samples) { handOver_.push(samples); }

  // The consumer's side (one consumer, the main loop): reads at most a ring's worth of the
  // audio handed over, and goes on with the search for a message a bounded step at a time, so
  // that it returns however fast audio comes. True once a message was heard.
  bool poll();
  // The message, once poll returned true; else nothing.
  const CoreMessage* message() const { return heard_ ? &search_.message() : nullptr; }
  // The speed the tones are heard at: the sender's clock against the recorder's (ToneWindows).
  float clockSpeed() const { return tones_.speed(); }
  // Samples lost because poll fell behind by more than the ring holds.
  std::uint32_t droppedSamples() const { return handOver_.dropped(); }
  // Starts over, as after create; only while no push runs.
  void reset();

 private:
  // Where the tone mixer's table starts in the block: after the core, aligned for it.
  static constexpr std::size_t mixTableOffset();
  ListeningCore(int sampleRate, ToneWindows::MixTurn* mixTable, std::atomic<std::int16_t>* ring,
                std::uint32_t ringSize);
  void startOver();
  void forgetWindows();
  void demodulate(Span<const std::int16_t> samples);

  HandOver handOver_;
  ToneWindows tones_;
  SymbolHistory history_;
  FrameSearch search_;
  RoomModel room_;
  bool heard_ = false;
};

constexpr std::size_t ListeningCore::mixTableOffset() {
  constexpr std::size_t kMixAlign = alignof(ToneWindows::MixTurn);
  return (sizeof(ListeningCore) + kMixAlign - 1) / kMixAlign * kMixAlign;
}

constexpr std::size_t ListeningCore::blockBytes(int sampleRate) {
  return mixTableOffset() + ToneWindows::mixTableSize(sampleRate) * sizeof(ToneWindows::MixTurn) +
         HandOver::sizeFor(sampleRate) * sizeof(std::atomic<std::int16_t>);
}

}  // namespace sonicsend::receiver
