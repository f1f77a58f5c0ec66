#include "synthesis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>
#include <thread>
#include <vector>

namespace sonicsend::synthesis {
namespace {

// Adds one tone to the sample with libm cos, rounding to single precision after the addition.
float addTone(float sample, double amplitude, double omega, double i) {
  return static_cast<float>(static_cast<double>(sample) +
                            amplitude * std::cos((omega * i) / static_cast<double>(kSampleRate)));
}

double carrierOmega(int carrier) {
  return carrier == 0 ? kOmegaCarrierEven : kOmegaCarrierOdd;
}

// Samples of the signal that `message` needs; nullopt when it is over the limit or the
// signal cannot hold them.
std::optional<int> sampleCount(const MessageBuffer& message, std::span<float> signal) {
  if (messageLength(message) > kMaxMessageBytes) return std::nullopt;
  const int count = frameCount(message) * kFrameSamples;
  if (signal.size() < static_cast<std::size_t>(count)) return std::nullopt;
  return count;
}

// The tone steps of one kernel, margins included.
struct ToneSteps {
  explicit ToneSteps(double maxError)
      : carrierMargin(roundingMargin(kCarrierAmplitude, maxError)),
        toneMargin(roundingMargin(kToneAmplitude, maxError)) {}

  ToneStep carrier(int which) const {
    return {carrierOmega(which), kCarrierAmplitude, carrierMargin};
  }
  ToneStep bit(int bit) const {
    return {kOmegaBit[static_cast<std::size_t>(bit)], kToneAmplitude, toneMargin};
  }
  ToneStep parity() const { return {kOmegaParity, kToneAmplitude, toneMargin}; }

  double carrierMargin;
  double toneMargin;
};

// Samples [first, last) of the signal, split at symbol boundaries into runs that share
// their tones. Symbol j carries byte j mod 10 of frame j div 10 on carrier j mod 2.
long synthesizeRange(const MessageBuffer& message, std::span<float> signal,
                     const ToneKernel& kernel, int first, int last) {
  std::array<std::uint8_t, kSymbolSamples> unsure{};
  Frame frame{};
  int framePos = -1;
  long fallbacks = 0;
  for (int start = first; start < last;) {
    const int symbol = start / kSymbolSamples;
    const int end = std::min(last, (symbol + 1) * kSymbolSamples);
    if (symbol / kFrameBytes != framePos) {
      framePos = symbol / kFrameBytes;
      buildFrame(message, framePos, frame);
    }
    const std::uint8_t byte = frame[static_cast<std::size_t>(symbol % kFrameBytes)];
    const Run run{start, end - start, signal.data() + start, unsure.data()};
    fallbacks += synthesizeRun(kernel, byte, symbol % 2, run);
    start = end;
  }
  return fallbacks;
}

// Below this many samples a share does not repay starting a thread for it.
constexpr int kMinSamplesPerThread = 4 * kSymbolSamples;

int threadCount(int requested, int samples) {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
  return 1;  // a WebAssembly build without threads
#endif
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int wanted = requested > 0 ? requested : cores;
  return std::clamp(samples / kMinSamplesPerThread, 1, wanted);
}

}  // namespace

float libmSample(int i, std::uint8_t byte, int carrier) {
  const double t = static_cast<double>(i);
  float sample = static_cast<float>(
      kCarrierAmplitude * std::cos((carrierOmega(carrier) * t) / static_cast<double>(kSampleRate)));
  int setBits = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((byte >> bit) & 1) {
      sample = addTone(sample, kToneAmplitude, kOmegaBit[static_cast<std::size_t>(bit)], t);
      ++setBits;
    }
  }
  if (setBits & 1) sample = addTone(sample, kToneAmplitude, kOmegaParity, t);
  return sample;
}

long synthesizeRun(const ToneKernel& kernel, std::uint8_t byte, int carrier, const Run& run) {
  const ToneSteps steps(kernel.maxError);
  kernel.start(steps.carrier(carrier), run);
  int setBits = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((byte >> bit) & 1) {
      kernel.add(steps.bit(bit), run);
      ++setBits;
    }
  }
  if (setBits & 1) kernel.add(steps.parity(), run);

  long fallbacks = 0;
  for (int n = 0; n < run.count; ++n) {
    if (run.unsure[n] != 0) {
      run.samples[n] = libmSample(run.first + n, byte, carrier);
      ++fallbacks;
    }
  }
  return fallbacks;
}

std::optional<int> synthesizeWithLibm(const MessageBuffer& message, std::span<float> signal) {
  const auto count = sampleCount(message, signal);
  if (!count) return std::nullopt;

  // Walk the symbols sample by sample: a new symbol every 2560 samples, a new frame every
  // ten symbols, the carrier alternating from symbol to symbol.
  Frame frame{};
  buildFrame(message, 0, frame);
  int nextFrame = 1;
  std::size_t symbolInFrame = 0;
  std::uint8_t symbolByte = frame[0];
  int carrier = 0;
  int samplesOfSymbol = 0;
  for (int i = 0; i < *count; ++i) {
    if (++samplesOfSymbol > kSymbolSamples) {
      samplesOfSymbol = 1;
      if (++symbolInFrame == frame.size()) {
        buildFrame(message, nextFrame++, frame);
        symbolInFrame = 0;
      }
      symbolByte = frame[symbolInFrame];
      carrier ^= 1;
    }
    signal[static_cast<std::size_t>(i)] = libmSample(i, symbolByte, carrier);
  }
  return count;
}

std::optional<FastOutcome> synthesizeFast(const MessageBuffer& message, std::span<float> signal,
                                          const FastSettings& settings) {
  const auto count = sampleCount(message, signal);
  if (!count) return std::nullopt;

  // Equal shares of the sample range; the calling thread takes the last one. A share whose
  // thread cannot be started is done here as well.
  const int shares = threadCount(settings.threads, *count);
  std::vector<long> fallbacks(static_cast<std::size_t>(shares), 0);
  const auto shareBound = [&](int share) {
    return static_cast<int>(static_cast<long>(*count) * share / shares);
  };
  const auto runShare = [&](int share) {
    fallbacks[static_cast<std::size_t>(share)] =
        synthesizeRange(message, signal, settings.kernel, shareBound(share), shareBound(share + 1));
  };
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(shares));
  for (int share = 0; share + 1 < shares; ++share) {
    try {
      helpers.emplace_back(runShare, share);
    } catch (const std::system_error&) {
      runShare(share);
    }
  }
  runShare(shares - 1);
  for (std::thread& helper : helpers) helper.join();
  FastOutcome outcome{*count, 0};
  for (long n : fallbacks) outcome.fallbacks += n;
  return outcome;
}

}  // namespace sonicsend::synthesis
