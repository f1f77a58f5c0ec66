#include "decoder.h"

#include <sndfile.h>

#include <cmath>
#include <memory>

#include "frames.h"
#include "symbols.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// A live capture keeps three passes of the longest message and one frame more.
constexpr std::size_t kStreamHistory = 3 * kMaxSignalSamples + kFrameSamples;
constexpr std::size_t kStreamAttemptEvery = kSampleRate / 2;

// The bare layout has no checksum: it is taken only from frames that each checked on their
// own, and, when it fills its last frame to the end, only once frame 1 was heard following
// the last frame, which shows where the pass ends.
bool trusted(const Message& message, const PassCandidate& pass) {
  if (message.layout == MessageLayout::framed) return true;
  return pass.everyFrameAlone && (message.bytes.size() < pass.payload.size() || pass.wrapHeard);
}

DecodeResult decodeAtProtocolRate(std::span<const float> samples) {
  DecodeResult result;
  bool heardTooLittle = false;  // a message started or seemed whole, but needs more passes
  const FrameSearch search = findPass(measureSymbols(samples), [&](const PassCandidate& pass) {
    auto message = parseMessage(pass.payload);
    if (!message || !trusted(*message, pass)) {
      heardTooLittle = heardTooLittle || message.has_value() || announcesMoreFrames(pass.payload);
      return false;
    }
    result.decoded = Decoded{std::move(*message), pass.frames, pass.passes};
    return true;
  });
  switch (search) {
    case FrameSearch::found:
      break;
    case FrameSearch::no_signal:
      result.failure = Failure::no_signal;
      break;
    case FrameSearch::incomplete:
      result.failure = Failure::incomplete;
      break;
    case FrameSearch::rejected:
      result.failure = heardTooLittle ? Failure::incomplete : Failure::invalid;
      break;
  }
  return result;
}

bool isProtocolRate(double sampleRate) {
  return std::abs(sampleRate - kSampleRate) < 1e-6;
}

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

std::string_view describe(Failure failure) {
  switch (failure) {
    case Failure::none:
      return "a message was heard";
    case Failure::unreadable:
      return "the audio cannot be read";
    case Failure::no_signal:
      return "no signal heard";
    case Failure::incomplete:
      return "a signal, but not every frame of the message was heard";
    case Failure::invalid:
      return "every frame was heard, but they form no valid message";
  }
  return "unknown failure";
}

DecodeResult decode(std::span<const float> samples, double sampleRate) {
  if (!(sampleRate > 0.0)) return {std::nullopt, Failure::unreadable};
  if (isProtocolRate(sampleRate)) return decodeAtProtocolRate(samples);
  return decodeAtProtocolRate(resampleWhole(samples, sampleRate));
}

DecodeResult decodeFile(const std::filesystem::path& path) {
  SF_INFO info{};
  const std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file || info.channels < 1 || info.samplerate < 1) return {std::nullopt, Failure::unreadable};
  const auto channels = static_cast<std::size_t>(info.channels);
  std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * channels);
  const sf_count_t read = sf_readf_float(file.get(), interleaved.data(), info.frames);
  if (read != info.frames) return {std::nullopt, Failure::unreadable};
  std::vector<float> mono(static_cast<std::size_t>(info.frames));
  for (std::size_t frame = 0; frame < mono.size(); ++frame) {
    float sum = 0.0f;
    for (std::size_t channel = 0; channel < channels; ++channel) {
      sum += interleaved[frame * channels + channel];
    }
    mono[frame] = sum / static_cast<float>(channels);
  }
  return decode(mono, info.samplerate);
}

StreamDecoder::StreamDecoder(double sampleRate) {
  if (!isProtocolRate(sampleRate)) resampler_.emplace(sampleRate);
}

std::optional<Decoded> StreamDecoder::push(std::span<const float> samples) {
  const std::size_t before = recent_.size();
  if (resampler_) {
    resampler_->push(samples, recent_);
  } else {
    recent_.insert(recent_.end(), samples.begin(), samples.end());
  }
  sinceAttempt_ += recent_.size() - before;
  if (recent_.size() > kStreamHistory) {
    recent_.erase(recent_.begin(),
                  recent_.begin() + static_cast<std::ptrdiff_t>(recent_.size() - kStreamHistory));
  }
  if (sinceAttempt_ < kStreamAttemptEvery) return std::nullopt;
  sinceAttempt_ = 0;
  DecodeResult result = decodeAtProtocolRate(recent_);
  lastFailure_ = result.failure;
  return std::move(result.decoded);
}

}  // namespace sonicsend::receiver
