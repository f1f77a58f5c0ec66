// The receiver's front end. ToneMixer shifts the eleven tones down to 0 Hz, for the listening
// core and the desktop receiver's symbol grid alike; ToneWindows measures them over symbol
// windows that a tracking loop keeps on the sender's symbol boundaries, a sample at a time with
// bounded work and fixed memory, as a device listens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frontEndNumbers.h"
#include "phasor.h"
#include "reading.h"
#include "tones.h"

namespace sonicsend::receiver {

using TonePhasor = std::array<Phasor, kToneCount>;

// Shifts each tone down to 0 Hz over blocks of a fixed length: a tone's sum over a block,
// turned to the phase the tone has at the block's first sample since the start, so that a
// steady tone sums to the same phase in every block. Tone k completes k cycles in 256 samples
// at 44 100 Hz, so it is k x 44100 / 256 Hz at any rate; times the recorder's clock speed
// (tune), when the recorder's clock is off. `Tones` says how it counts (frontEndNumbers.h).
template <typename Tones>
class ToneMixer {
 public:
  using Sample = typename Tones::Sample;
  using Turn = typename Tones::Turn;
  using Sum = typename Tones::Sum;

  static constexpr std::size_t tableSize(int blockSamples) {
    return static_cast<std::size_t>(blockSamples) * kToneCount;
  }

  // `table` holds tableSize(blockSamples) turns, which this fills.
  ToneMixer(int sampleRate, int blockSamples, Turn* table)
      : sampleRate_(sampleRate), blockSamples_(blockSamples), table_(table) {
    tune(1.0f);
    startOver();
  }

  int blockSamples() const { return blockSamples_; }
  // Tone k at k x 44100 / 256 x `speed` Hz, as a recorder whose clock runs 1 / speed times
  // the sender's hears it; each tone's phase goes on from where it is.
  void tune(float speed) {
    const auto length = static_cast<std::size_t>(blockSamples_);
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const float cycles = cyclesPerSample(tone) * speed;
      for (std::size_t n = 0; n < length; ++n) {
        table_[tone * length + n] = Tones::turnOf(turnedBack(cycles * static_cast<float>(n)));
      }
      rotors_.set(tone, cycles * static_cast<float>(blockSamples_));
    }
  }
  // Tone k's cycles in a sample at speed 1.
  float cyclesPerSample(std::size_t tone) const {
    return static_cast<float>(kCarrierEvenK + static_cast<int>(tone)) *
           static_cast<float>(kSampleRate) / 256.0f / static_cast<float>(sampleRate_);
  }
  // The tones of the next block of blockSamples() samples: `each(tone, sum)` for each.
  template <typename Each>
  void mix(const Sample* block, Each each) {
    const auto length = static_cast<std::size_t>(blockSamples_);
    for (std::size_t tone = 0; tone < kToneCount; ++tone) {
      const Turn* turn = table_ + tone * length;
      Sum b{};
      // Two samples a step (the loop's own work halved), each sum in the order of the samples.
      std::size_t n = 0;
      for (; n + 2 <= length; n += 2) {
        b.re += block[n] * turn[n].re;
        b.im += block[n] * turn[n].im;
        b.re += block[n + 1] * turn[n + 1].re;
        b.im += block[n + 1] * turn[n + 1].im;
      }
      if (n < length) {
        b.re += block[n] * turn[n].re;
        b.im += block[n] * turn[n].im;
      }
      each(tone, rotors_.turn(tone, b));
    }
  }
  // Keeps the turning phases on the unit circle; now and then is enough.
  void renormalize() { rotors_.renormalize(); }
  void startOver() { rotors_.startOver(); }

 private:
  int sampleRate_;
  int blockSamples_;
  Turn* table_;                    // kToneCount x blockSamples_: each tone's turn within a block
  typename Tones::Rotors rotors_;  // and its phase at the next block
};

// How far the recorder's clock is from the sender's, from the two carriers, which sound in
// every other symbol window (ToneWindows measures them): the clock scales every tone's
// frequency alike, so each carrier turns from where the mixer takes it by a share of its own
// frequency, the speed's error. It is measured two ways. Near: the turn from one part of a
// window to the next, over a short time, so that it is known up to a large error, but a room's
// echo, which builds up and dies away within a window, and a loud steady sound leaking into
// the short parts, draw it a little off. Far: the turn of each part from one window of a
// carrier to the next, two symbols on, where a room and a steady sound leave the same in both;
// ten times as sure, but known only up to whole turns, which the near measure and the other
// carrier choose between.
class RecorderClock {
 public:
  static constexpr int kParts = 4;
  using Parts = std::array<Phasor, kParts>;  // a carrier's parts of a window, oldest first

  // Whether both measures are sure of the speed's error, and that error: the share of its
  // frequency by which each tone lies above where the mixer takes it.
  struct Reading {
    bool sure = false;
    float error = 0.0f;
  };

  // Each carrier's parts of the window just ended; `nearCycles` and `farCycles` are the
  // cycles it turns from one part to the next, and from one of its windows to the next, per
  // unit of the speed's error.
  Reading measure(const std::array<Parts, 2>& carriers, const std::array<float, 2>& nearCycles,
                  const std::array<float, 2>& farCycles);
  void startOver();

 private:
  // Turns summed over the windows since the speed was last set, and their powers, both fading
  // alike, so that what they say fades too once no more turns come.
  struct Turns {
    Phasor sum{};
    float powers = 0.0f;
    void add(Phasor turn);
    void fade(float by);
    // The sum's power against the sum of the powers: 1 or less on average for noise, which
    // turns every way; the count of turns summed for a clean carrier.
    float evidence() const { return powers > 0.0f ? norm(sum) / powers : 0.0f; }
    float cycles() const;
  };
  std::array<Turns, 2> near_{};
  std::array<Turns, 2> far_{};
  // Each carrier's parts in the latest two windows, latest first.
  std::array<std::array<Parts, 2>, 2> earlier_{};
};

class ToneWindows {
 public:
  using Mixer = ToneMixer<CoreTones>;
  using Sample = Mixer::Sample;
  using MixTurn = Mixer::Turn;

  // Block length: about a millisecond, so that a symbol is 58 blocks at every rate.
  static constexpr int kWindowBlocks = 58;
  static constexpr int kMostBlockSamples = 48;

  static constexpr int blockSamplesFor(int sampleRate) { return (sampleRate + 500) / 1000; }
  // Turns of the mixing table the caller provides for `sampleRate`.
  static constexpr std::size_t mixTableSize(int sampleRate) {
    return Mixer::tableSize(blockSamplesFor(sampleRate));
  }

  // `sampleRate` up to 48 kHz; `mixTable` holds mixTableSize(sampleRate) turns.
  ToneWindows(int sampleRate, MixTurn* mixTable);
  ToneWindows(const ToneWindows&) = delete;
  ToneWindows& operator=(const ToneWindows&) = delete;

  // Adds a sample (CoreTones::fromInt16); true when it ended a symbol window, whose tones
  // window() then holds: each tone's sum over the window, as ToneMixer turns it.
  bool add(Sample sample) {
    block_[static_cast<std::size_t>(blockFill_)] = sample;
    return ++blockFill_ == mixer_.blockSamples() && endBlock();
  }
  const ToneSums& window() const { return window_; }
  // The speed the tones and the symbol length are taken at: the sender's clock against the
  // recorder's, 1 until the carriers showed otherwise.
  float speed() const { return speed_; }
  // Whether the window just ended set the speed more than kClockDeadZone (0.2 %) away: it and
  // the windows before it were read with the tones that far from where the mixer now takes them.
  bool speedMoved() const { return speedMoved_; }
  void startOver();

 private:
  static constexpr int kBlockRing = 64;

  bool endBlock();
  float timingError();
  void sumWindow();
  void followClock();
  void setSpeed(float speed);

  Mixer mixer_;
  float nominalSymbolBlocks_;
  float symbolBlocks_;

  // Tones: a ring of block sums, a window of kWindowBlocks of them.
  std::array<Sample, kMostBlockSamples> block_{};  // the samples of the block being filled
  int blockFill_ = 0;
  std::array<ToneSums, kBlockRing> blocks_{};
  std::uint32_t blockCount_ = 0;
  ToneSums window_{};

  // Symbol timing: the energy of the windows ending so many blocks after each predicted
  // symbol boundary, fading symbol by symbol; the next boundary is moved towards its peak.
  std::array<float, kWindowBlocks> timing_{};
  float toBoundary_ = 0.0f;
  int sinceBoundary_ = 0;

  // The speed the mixer and the symbol length are set to, what measures it, and the windows
  // since it was last sure.
  float speed_ = 1.0f;
  bool speedMoved_ = false;
  RecorderClock clock_;
  int unsureWindows_ = 0;
};

// Where the peak of `energy` lies, in blocks from 0 (the values wrap round, so a peak in the
// last half lies before 0): at its largest value, moved towards the larger neighbour to the top
// of a parabola through the three, so that the timing settles between blocks.
float peakOffset(const std::array<float, ToneWindows::kWindowBlocks>& energy);

}  // namespace sonicsend::receiver
