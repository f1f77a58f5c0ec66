// The room model's estimators: each takes the measured tone phasors (and a reading of them)
// and returns a value, with no state between them. The search over readings (roomSearch.cpp)
// is built on these.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "reading.h"
#include "roomEstimators.h"
#include "symbols.h"

namespace sonicsend::receiver {

using Complex = std::complex<double>;
// Per window, every tone's phasor with the clock drift undone.
using AlignedTones = std::array<Complex, kToneCount>;
// Per window, whether each tone sounds in the symbol it holds.
using ToneSounding = std::array<bool, kToneCount>;

using Terms = std::array<Complex, kResponseTerms>;

// The clock drift (see roomEstimators.h) over every window of a grid.
double measureDrift(std::span<const TonePhasors> phasors);

// The phasors turned back by `driftPerK` per window and per k.
std::vector<AlignedTones> alignDrift(std::span<const TonePhasors> phasors, double driftPerK);

// The energy of one tone over every window.
double toneEnergy(std::span<const AlignedTones> aligned, std::size_t tone);

// The carrier fit (see roomEstimators.h) over every window.
CarrierFit<double> fitCarriers(std::span<const AlignedTones> aligned);

// The shortest lag of whole frames, in windows, after which the windows repeat (see
// roomEstimators.h), or 0 when the recording holds no second pass to compare.
std::size_t findPassLength(std::span<const AlignedTones> aligned);

// A tone's response to its own symbol (term 0) and to the echoes before it.
using Response = RoomResponse<Complex, kResponseTerms>;

// Where `tone` sounds, as the bits the shared estimators read (see bitAt).
std::vector<std::uint32_t> soundingBits(std::span<const ToneSounding> sounding, std::size_t tone);

// Learns `tone`'s response (see roomEstimators.h) from a reading of where it sounds; `energy`
// is toneEnergy() of the same tone.
Response learnResponse(std::span<const AlignedTones> aligned,
                       std::span<const ToneSounding> sounding, std::size_t tone, std::size_t echoes,
                       double energy);
// The same from the bits of where the tone sounds (soundingBits).
Response learnResponse(std::span<const AlignedTones> aligned, std::span<const std::uint32_t> bits,
                       std::size_t tone, std::size_t echoes, double energy);

}  // namespace sonicsend::receiver
