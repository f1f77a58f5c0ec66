#include "decoder.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <new>

#include "CoreOnDesktop.h"
#include "carrier.h"
#include "frames.h"
#include "roomSearch.h"
#include "symbols.h"
#include "tones.h"

namespace sonicsend::receiver {
namespace {

// A stream keeps five passes of the longest message and one frame more: in heavy noise a
// message is heard only by adding up that many passes.
constexpr std::size_t kStreamHistory = 5 * kMaxSignalSamples + kFrameSamples;
// Attempting once per longest pass, every stretch of one pass and two frames lies whole in
// some attempt's window, since the window is longer than that by more than one pass.
constexpr std::size_t kLiveAttemptEvery = kSampleRate / 2;
constexpr std::size_t kFileAttemptEvery = kMaxSignalSamples;
// Pieces handed to the stream at once, so that a long push cannot outgrow the window.
constexpr std::size_t kStreamPiece = 1 << 16;
// A sample may be at most this many times the recent RMS level (and at least full scale).
constexpr float kLoudestOverLevel = 64.0f;
// The recent level follows the mean square over about a tenth of a second.
constexpr float kLevelSmoothing = 1.0f / static_cast<float>(kSampleRate / 10);

using AcceptPass = std::function<bool(const PassCandidate&)>;

// Carrier and presence, the plain reading of every window, then the frames and passes.
PassOutcome readFrames(std::span<const ToneLevels> levels, Copies copies,
                       const AcceptPass& accept) {
  const std::optional<HeardWindows> windows = hearWindows(levels);
  if (!windows) return PassOutcome::noSignal;
  return findPass(*windows, copies, accept);
}

// The symbol grid, read as it came; when that gives no message, read again through a model of
// the room, with the ringing of earlier symbols taken away.
PassOutcome searchRecording(std::span<const float> samples, const AcceptPass& accept) {
  const SymbolGrid grid = measureSymbols(samples);
  const PassOutcome plain = readFrames(grid.levels, Copies::independent, accept);
  if (plain == PassOutcome::found) return plain;
  const std::vector<ToneLevels> cleaned = readInRoom(grid);
  if (cleaned.empty()) return plain;
  const PassOutcome inRoom = readFrames(cleaned, Copies::alike, accept);
  // A plain reading that found whole passes says more about why there is no message.
  return inRoom == PassOutcome::found || plain != PassOutcome::rejected ? inRoom : plain;
}

DecodeResult decodeAtProtocolRate(std::span<const float> samples) {
  DecodeResult result;
  bool heardTooLittle = false;  // a message started or seemed whole, but needs more passes
  bool ambiguous = false;       // a whole message whose SSID and key cannot be told apart
  const PassOutcome search = searchRecording(samples, [&](const PassCandidate& pass) {
    const auto bounds = locateMessage(pass.payload);
    if (!bounds || !trusted(*bounds, pass.payload.size(), pass.everyFrameAlone, pass.wrapHeard)) {
      ambiguous = ambiguous || (bounds && bounds->ambiguous);
      heardTooLittle = heardTooLittle || bounds.has_value() || announcesMoreFrames(pass.payload);
      return false;
    }
    result.decoded = Decoded{messageAt(pass.payload, *bounds), pass.frames, pass.passes};
    return true;
  });
  switch (search) {
    case PassOutcome::found:
      break;
    case PassOutcome::noSignal:
      result.failure = Failure::noSignal;
      break;
    case PassOutcome::incomplete:
      result.failure = Failure::incomplete;
      break;
    case PassOutcome::rejected:
      result.failure = ambiguous        ? Failure::ambiguous
                       : heardTooLittle ? Failure::incomplete
                                        : Failure::invalid;
      break;
  }
  return result;
}

bool isProtocolRate(double sampleRate) {
  return std::abs(sampleRate - kSampleRate) < 1e-6;
}

float finiteOrSilence(float sample) {
  return std::isfinite(sample) ? sample : 0.0f;
}

}  // namespace

// Non-finite samples become silence, and samples far louder than the recording around them are
// clipped: one absurd sample (3e38 in a float file) would otherwise outweigh the tones of a
// whole recording where the symbol grid is placed, and so cost more than its own symbol.
class SampleGuard {
 public:
  float operator()(float sample) {
    sample = finiteOrSilence(sample);
    const float limitSquared = std::max(1.0f, kLoudestOverLevel * kLoudestOverLevel * meanSquare_);
    if (sample * sample > limitSquared) sample = std::copysign(std::sqrt(limitSquared), sample);
    meanSquare_ += (sample * sample - meanSquare_) * kLevelSmoothing;
    return sample;
  }

 private:
  float meanSquare_ = 0.0f;
};

namespace {

// Runs `decodeSomehow`, turning a failed allocation into a result.
template <typename F>
DecodeResult guarded(F&& decodeSomehow) noexcept {
  try {
    return decodeSomehow();
  } catch (const std::bad_alloc&) {
    return {std::nullopt, Failure::outOfMemory};
  }
}

// What a device would hear, by the listening core, and the speed it heard the tones at by the
// end of the samples (the silence it listens to after them lets it forget that speed).
struct CoreHearing {
  std::optional<Decoded> decoded;
  double clockSpeed = 1.0;
};

CoreHearing hearOnCore(std::span<const float> samples, double sampleRate) {
  CoreOnDesktop core(sampleRate);
  std::optional<Decoded> decoded = core.push(samples);
  const double clockSpeed = core.clockSpeed();
  if (!decoded) decoded = core.finish();
  return {std::move(decoded), clockSpeed};
}

// The samples of a recording made at `fromRate`, at 44 100 Hz; nothing when they cannot be
// converted.
std::optional<std::vector<float>> toProtocolRate(std::span<const float> samples, double fromRate) {
  Resampler resampler(fromRate);
  std::vector<float> converted;
  converted.reserve(
      static_cast<std::size_t>(static_cast<double>(samples.size()) * kSampleRate / fromRate) +
      kSymbolSamples);
  if (!resampler.push(samples, converted) || !resampler.finish(converted)) return std::nullopt;
  return converted;
}

// The whole recording searched at 44 100 Hz; when the core heard the recorder's clock off
// (`clockSpeed` other than 1), as the sender's clock counts it instead: at `sampleRate` /
// clockSpeed, its tones and symbols where they were sent. Read as it came, a clock that far
// off fades the highest tones, so that two bytes may lose the same tone and still pass their
// frame's check together.
DecodeResult searchWhole(std::span<const float> atProtocolRate, std::span<const float> samples,
                         double sampleRate, double clockSpeed) {
  if (clockSpeed == 1.0) return decodeAtProtocolRate(atProtocolRate);
  const auto sped = toProtocolRate(samples, sampleRate / clockSpeed);
  return sped ? decodeAtProtocolRate(*sped) : DecodeResult{std::nullopt, Failure::unreadable};
}

DecodeResult decodeWhole(std::span<const float> samples, double sampleRate) {
  if (!supportedRate(sampleRate)) return {std::nullopt, Failure::unsupportedRate};
  std::vector<float> clean;
  SampleGuard check;
  if (!std::ranges::all_of(samples, [&](float s) { return check(s) == s; })) {
    clean.resize(samples.size());
    std::ranges::transform(samples, clean.begin(), SampleGuard());
    samples = clean;
  }
  const bool coreReadsIt = CoreOnDesktop::reads(sampleRate);
  CoreHearing core;
  if (coreReadsIt) {
    core = hearOnCore(samples, sampleRate);
    if (core.decoded) return {std::move(core.decoded)};
  }
  if (isProtocolRate(sampleRate)) return searchWhole(samples, samples, sampleRate, core.clockSpeed);
  const auto converted = toProtocolRate(samples, sampleRate);
  if (!converted) return {std::nullopt, Failure::unreadable};
  if (!coreReadsIt) {
    core = hearOnCore(*converted, kSampleRate);
    if (core.decoded) return {std::move(core.decoded)};
  }
  return searchWhole(*converted, samples, sampleRate, core.clockSpeed);
}

}  // namespace

bool supportedRate(double sampleRate) {
  return sampleRate >= kLowestSampleRate && sampleRate <= kHighestSampleRate;
}

std::string_view describe(Failure failure) {
  switch (failure) {
    case Failure::none:
      return "a message was heard";
    case Failure::unreadable:
      return "the audio cannot be read";
    case Failure::unsupportedRate:
      return "the sample rate is not between 6400 and 768000 Hz";
    case Failure::outOfMemory:
      return "not enough memory to decode";
    case Failure::noSignal:
      return "no signal heard";
    case Failure::incomplete:
      return "a signal, but not every frame of the message was heard";
    case Failure::invalid:
      return "every frame was heard, but they form no valid message";
    case Failure::ambiguous:
      return "the message holds its separator more than once: SSID and key cannot be told apart";
  }
  return "unknown failure";
}

DecodeResult decode(std::span<const float> samples, double sampleRate) noexcept {
  return guarded([&] { return decodeWhole(samples, sampleRate); });
}

StreamDecoder::StreamDecoder(double sampleRate, Pace pace) noexcept
    : attemptEvery_(pace == Pace::live ? kLiveAttemptEvery : kFileAttemptEvery) {
  if (!supportedRate(sampleRate)) {
    stop(Failure::unsupportedRate);
    return;
  }
  try {
    guard_ = std::make_unique<SampleGuard>();
    coreAtProtocolRate_ = !CoreOnDesktop::reads(sampleRate);
    core_ = std::make_unique<CoreOnDesktop>(coreAtProtocolRate_ ? kSampleRate : sampleRate);
    if (isProtocolRate(sampleRate)) return;
    resampler_.emplace(sampleRate);
    if (!resampler_->ok()) stop(Failure::unreadable);
  } catch (const std::bad_alloc&) {
    stop(Failure::outOfMemory);
  }
}

StreamDecoder::~StreamDecoder() = default;

std::optional<Decoded> StreamDecoder::push(std::span<const float> samples) noexcept {
  try {
    while (usable_ && !samples.empty()) {
      const std::size_t piece = std::min(samples.size(), kStreamPiece);
      const std::size_t before = recent_.size();
      if (!append(samples.first(piece))) return std::nullopt;
      samples = samples.subspan(piece);
      if (auto decoded = core_->push(forCore(before))) return decoded;
      if (sinceAttempt_ >= attemptEvery_) {
        if (auto decoded = attempt(core_->clockSpeed())) return decoded;
      }
    }
  } catch (const std::bad_alloc&) {
    stop(Failure::outOfMemory);
  }
  return std::nullopt;
}

std::optional<Decoded> StreamDecoder::finish() noexcept {
  if (!usable_) return std::nullopt;
  try {
    const std::size_t before = recent_.size();
    if (resampler_ && !resampler_->finish(recent_)) {
      stop(Failure::unreadable);
      return std::nullopt;
    }
    sinceAttempt_ += recent_.size() - before;
    if (auto decoded = core_->push(forCore(before))) return decoded;
    const double clockSpeed = core_->clockSpeed();
    if (auto decoded = core_->finish()) return decoded;
    if (sinceAttempt_ > 0) return attempt(clockSpeed);
  } catch (const std::bad_alloc&) {
    stop(Failure::outOfMemory);
  }
  return std::nullopt;
}

// What came since recent_ held `before` samples, at the rate the core reads.
std::span<const float> StreamDecoder::forCore(std::size_t before) const {
  if (coreAtProtocolRate_) return std::span<const float>(recent_).subspan(before);
  return clean_;
}

bool StreamDecoder::append(std::span<const float> samples) {
  clean_.resize(samples.size());
  std::ranges::transform(samples, clean_.begin(), std::ref(*guard_));
  const std::size_t before = recent_.size();
  if (resampler_) {
    if (!resampler_->push(clean_, recent_)) {
      stop(Failure::unreadable);
      return false;
    }
  } else {
    recent_.insert(recent_.end(), clean_.begin(), clean_.end());
  }
  sinceAttempt_ += recent_.size() - before;
  return true;
}

std::optional<Decoded> StreamDecoder::attempt(double clockSpeed) {
  if (recent_.size() > kStreamHistory) {
    recent_.erase(recent_.begin(),
                  recent_.begin() + static_cast<std::ptrdiff_t>(recent_.size() - kStreamHistory));
  }
  sinceAttempt_ = 0;
  DecodeResult result = searchWhole(recent_, recent_, kSampleRate, clockSpeed);
  lastFailure_ = result.failure;
  return std::move(result.decoded);
}

void StreamDecoder::stop(Failure failure) {
  usable_ = false;
  lastFailure_ = failure;
  recent_ = {};
}

}  // namespace sonicsend::receiver
