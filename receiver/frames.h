// Reads message frames from the tone levels of a symbol grid and gathers them across passes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "carrier.h"

namespace sonicsend::receiver {

// The frames of one whole pass, in order of their numbers 1 ... frames.
struct PassCandidate {
  std::vector<std::uint8_t> payload;  // 8 message bytes per frame
  int frames = 0;
  int passes = 0;  // passes heard: the most any one frame was read from (FrameRead::passes)
  // Evidence beyond the frame checks, for layouts without a checksum of their own:
  bool everyFrameAlone = false;  // every frame checked on its own in some pass
  bool wrapHeard = false;        // frame 1 was heard right after the last frame
};

enum class PassOutcome {
  found,       // `accept` took a candidate
  noSignal,    // no alternating carrier: nothing that the sender played
  incomplete,  // a signal, but no pass whose every frame could be read
  rejected,    // whole passes, but `accept` refused every one
};

// Whether the copies of a frame in different passes err independently, as with noise; levels
// learnt from a model of the room may err alike in every pass.
enum class Copies { independent, alike };

// Tries every way the windows can fall into frames and the frames into a looped pass, the
// best supported first, and hands each pass whose frames all pass their checks to `accept`
// until it returns true. A frame lost in one pass is taken from another; a frame heard in no
// pass on its own is read from the sum of all its passes.
PassOutcome findPass(const HeardWindows& windows, Copies copies,
                     const std::function<bool(const PassCandidate&)>& accept);

}  // namespace sonicsend::receiver
