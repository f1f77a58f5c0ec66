// The room model's stages, each a function of the recording as measured and of a reading of
// its tones: a first reading, a tone read again with its ringing taken away, and every tone
// read with the certainty its response allows. The search over readings (roomSearch.cpp) runs
// them; the estimators they are built on are in roomResponse.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "roomResponse.h"
#include "symbols.h"

namespace sonicsend::receiver {

// What every stage reads, fixed once measured.
struct RoomRecording {
  std::span<const TonePhasors> phasors;     // as measured
  std::vector<AlignedTones> aligned;        // the same with the clock drift undone
  std::array<double, kToneCount> energy{};  // per tone, over every window
  std::size_t echoes = 1;                   // terms learnt behind a symbol's own
  std::size_t passWindows = 0;              // windows per pass of the loop, 0 when not known
  std::size_t evenOffset = 0;               // window w is even when w + evenOffset is even

  std::size_t windows() const { return aligned.size(); }
  bool isEven(std::size_t w) const { return (w + evenOffset) % 2 == 0; }
};

// The recording as the stages read it; `evenOffset` as fitCarriers() found it.
RoomRecording roomRecording(std::span<const TonePhasors> phasors, std::vector<AlignedTones> aligned,
                            std::size_t evenOffset);

// One tone's reading throughout the recording: its level in every window (on 2, off 0) and
// whether it is taken to sound there.
struct ToneReading {
  std::vector<float> levels;
  std::vector<bool> sounds;
};

// A first reading of `tone` that needs no reading before it, from predicting each window from
// the few before it.
std::vector<float> readByPrediction(const RoomRecording& room, std::size_t tone);

// `tone`'s response, learnt from where `sounding` says it sounds.
Response learnTone(const RoomRecording& room, std::span<const ToneSounding> sounding,
                   std::size_t tone);

// `tone` read again with the ringing of the symbols around each one taken away, through the
// response learnt from `sounding`.
ToneReading cancelTone(const RoomRecording& room, std::span<const ToneSounding> sounding,
                       std::size_t tone);

// Every symbol's byte, and where every tone sounds when the windows hold those bytes.
std::vector<std::uint8_t> bytesOf(std::span<const ToneLevels> levels);
std::vector<ToneSounding> soundingOf(std::span<const std::uint8_t> bytes);

// Frames whose check holds, apart for frames starting in even and in odd windows, and in all.
std::array<int, 2> checkingFramesByStart(std::span<const ToneLevels> levels);
std::size_t checkingFrames(std::span<const ToneLevels> levels);

// Which windows are even, as the frames that check tell: `evenOffset` when they do not.
std::size_t placeFrameNumbers(std::span<const ToneLevels> levels, std::size_t evenOffset);

// The levels for reading frames from: each tone as sure as its response explains it, the
// carriers as the frames that check place them.
std::vector<ToneLevels> readWithModel(const RoomRecording& room, std::vector<ToneLevels> levels);

}  // namespace sonicsend::receiver
