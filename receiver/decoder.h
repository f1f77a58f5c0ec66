// The reference receiver: recovers SSID and key from a recording of the looped signal.
// Nothing here throws: every failure is reported through the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "message.h"
#include "resampler.h"

namespace sonicsend::receiver {

class SampleGuard;
class CoreOnDesktop;

// Below this rate the highest tone (3.1 kHz) no longer fits under half the rate; above the
// highest, the rate can only be a broken header.
inline constexpr double kLowestSampleRate = 6400.0;
inline constexpr double kHighestSampleRate = 768000.0;

bool supportedRate(double sampleRate);

enum class Failure {
  none,
  unreadable,       // the audio cannot be opened or read, or holds no samples
  unsupportedRate,  // the sample rate lies outside kLowestSampleRate ... kHighestSampleRate
  outOfMemory,      // the decoder could not get the memory it needs
  noSignal,         // nothing in the recording sounds like the sender's carriers
  incomplete,       // a signal, but some frame was never heard well enough
  invalid,          // every frame was heard, but they do not form a valid message
  ambiguous,        // a valid message, but holding its separator more than once: SSID and key
                    // cannot be told apart
};

std::string_view describe(Failure failure);

// `Decoded::passes` are the passes heard, as the listening core and its C API report them: the
// most passes any one frame of the message was read from (FrameRead in framing.h), 1 where a
// single copy of each frame sufficed, more where copies had to be added up; the slots searched
// in silence or in noise before the signal never count.
struct DecodeResult {
  std::optional<Decoded> decoded;
  Failure failure = Failure::none;  // why `decoded` is empty
};

// Mono samples at any supported rate, starting anywhere in the loop, at any level. The whole
// recording is searched at once, so every pass in it counts.
DecodeResult decode(std::span<const float> samples, double sampleRate) noexcept;

// A WAV, FLAC or other file that libsndfile reads ("-": standard input), mixed down to mono.
// It is read in blocks until its data ends, whatever its header claims, and decoded as a
// stream: memory stays bounded for any length, and the decoder stops at the first message.
DecodeResult decodeFile(const std::filesystem::path& path) noexcept;
// The same for a whole audio file held in memory.
DecodeResult decodeFileBytes(std::span<const std::uint8_t> bytes) noexcept;

// Decodes audio fed piece by piece: the listening core hears it as a device would, and the
// latest five longest passes are tried again at the decoder's pace, through the full model of
// the room, until a message is heard. Non-finite samples count as silence; a sample far
// louder than the recording around it is clipped.
class StreamDecoder {
 public:
  enum class Pace {
    live,  // every half second, so that a message is reported soon after it was heard
    file,  // once per longest pass: every stretch holding a whole pass is still tried
  };

  explicit StreamDecoder(double sampleRate, Pace pace = Pace::live) noexcept;
  ~StreamDecoder();

  // Adds mono samples; returns the message once it has been heard.
  std::optional<Decoded> push(std::span<const float> samples) noexcept;
  // The audio has ended: tries once more what came since the last attempt.
  std::optional<Decoded> finish() noexcept;
  // False once the decoder cannot go on (an unsupported rate, no memory): see lastFailure().
  bool usable() const { return usable_; }
  // Why the audio so far holds no message.
  Failure lastFailure() const { return lastFailure_; }

 private:
  bool append(std::span<const float> samples);
  std::span<const float> forCore(std::size_t before) const;
  // Searches the latest passes, read again at the core's `clockSpeed` when that is not 1.
  std::optional<Decoded> attempt(double clockSpeed);
  void stop(Failure failure);

  std::unique_ptr<SampleGuard> guard_;
  std::unique_ptr<CoreOnDesktop> core_;
  bool coreAtProtocolRate_ = false;  // the core does not read the given rate as it is
  std::optional<Resampler> resampler_;
  std::vector<float> recent_;  // at 44 100 Hz
  std::vector<float> clean_;   // the piece being added, with bad samples silenced
  std::size_t attemptEvery_;
  std::size_t sinceAttempt_ = 0;
  bool usable_ = true;
  Failure lastFailure_ = Failure::noSignal;
};

}  // namespace sonicsend::receiver
