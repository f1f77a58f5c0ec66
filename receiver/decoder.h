// The reference receiver: recovers SSID and key from a recording of the looped signal.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "message.h"
#include "resampler.h"

namespace sonicsend::receiver {

enum class Failure {
  none,
  unreadable,  // the audio file cannot be opened or read
  no_signal,   // nothing in the recording sounds like the sender's carriers
  incomplete,  // a signal, but some frame was never heard well enough
  invalid,     // every frame was heard, but they do not form a valid message
};

std::string_view describe(Failure failure);

struct Decoded {
  Message message;
  int frames = 0;  // frames per pass
  int passes = 0;  // the most passes any one frame was heard in
};

struct DecodeResult {
  std::optional<Decoded> decoded;
  Failure failure = Failure::none;  // why `decoded` is empty
};

// Mono samples at any rate, starting anywhere in the loop, at any level.
DecodeResult decode(std::span<const float> samples, double sampleRate);

// A WAV, FLAC or other file that libsndfile reads; the channels are mixed down to mono.
DecodeResult decodeFile(const std::filesystem::path& path);

// Decodes a live capture: keeps the latest stretch of audio and tries it again every half
// second until a message is heard.
class StreamDecoder {
 public:
  explicit StreamDecoder(double sampleRate);

  // Adds captured mono samples; returns the message once it has been heard.
  std::optional<Decoded> push(std::span<const float> samples);
  // Why the audio so far holds no message.
  Failure lastFailure() const { return lastFailure_; }

 private:
  std::optional<Resampler> resampler_;
  std::vector<float> recent_;  // at 44 100 Hz
  std::size_t sinceAttempt_ = 0;
  Failure lastFailure_ = Failure::no_signal;
};

}  // namespace sonicsend::receiver
