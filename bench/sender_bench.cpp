// Synthesis and render of the longest message (argument 96) and of a short one (16 bytes),
// beside a floor that evaluates only the libm cosines that signal needs:
//   CosineFloor      the libm cosines alone, summed, with no symbol walk, rounding or render
//   LibmPath         the sample-by-sample libm synthesis, then render
//   FastPath/...     synthesize() as a start runs it, on one thread and on every core, then
//                    render; the counter `fallbacks` is the samples recomputed with libm
//   PortablePath     the same on one thread with the kernel built for the baseline
//                    instruction set, as a target without run-time choice gets it.
// The goal is a ratio: FastPath single-threaded against CosineFloor of the same run.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "encoder.h"
#include "synthesis.h"

namespace {

using sonicsend::MessageBuffer;

MessageBuffer messageOfLength(benchmark::State& state) {
  const bool longest = state.range(0) == sonicsend::kMaxMessageBytes;
  const std::u16string ssid = longest ? u"A network name of 32 characters!" : u"HomeNet";
  const std::u16string key =
      longest ? u"and a key that fills the rest of the message, 61 units long.." : u"secret";
  const auto message = sonicsend::buildMessage(sonicsend::Layout::framed, ssid, key).value();
  if (sonicsend::messageLength(message) != state.range(0)) state.SkipWithError("wrong length");
  return message;
}

int samplesOf(const MessageBuffer& message) {
  return sonicsend::frameCount(message) * sonicsend::kFrameSamples;
}

// Runs `synthesize` and render on the message of the benchmark's argument.
template <class Synthesize>
void synthesizeAndRender(benchmark::State& state, Synthesize synthesize) {
  const auto message = messageOfLength(state);
  std::vector<float> signal(sonicsend::kSignalCapacity);
  std::vector<std::uint8_t> pcm(signal.size() * sonicsend::kPcmBytesPerFrame);
  for (auto _ : state) {
    const int count = synthesize(message, signal);
    sonicsend::render(std::span<const float>(signal.data(), static_cast<std::size_t>(count)), pcm);
    benchmark::DoNotOptimize(pcm.data());
  }
  state.SetItemsProcessed(state.iterations() * samplesOf(message));
}

void LibmPath(benchmark::State& state) {
  synthesizeAndRender(state, [](const MessageBuffer& message, std::span<float> signal) {
    return sonicsend::synthesis::synthesizeWithLibm(message, signal).value();
  });
}

void fastPath(benchmark::State& state, const sonicsend::synthesis::FastSettings& settings) {
  long fallbacks = 0;
  synthesizeAndRender(state, [&](const MessageBuffer& message, std::span<float> signal) {
    const auto outcome = sonicsend::synthesis::synthesizeFast(message, signal, settings).value();
    fallbacks = outcome.fallbacks;
    return outcome.samples;
  });
  state.counters["fallbacks"] = static_cast<double>(fallbacks);
}

// Argument 1: threads (0: one per core).
void FastPath(benchmark::State& state) {
  fastPath(state, {.threads = static_cast<int>(state.range(1))});
}

// The portable kernel as this file is compiled (the baseline instruction set), one thread.
void PortablePath(benchmark::State& state) {
  using sonicsend::synthesis::PolynomialCosine;
  fastPath(state, {.kernel = sonicsend::synthesis::kernelFor<PolynomialCosine>(), .threads = 1});
}

// The same cosines, summed, with none of the symbol walk, rounding or render.
void CosineFloor(benchmark::State& state) {
  const auto message = messageOfLength(state);
  std::vector<std::vector<double>> omegas;  // per symbol
  for (int p = 0; p < sonicsend::frameCount(message); ++p) {
    sonicsend::Frame frame{};
    sonicsend::buildFrame(message, p, frame);
    for (std::size_t b = 0; b < frame.size(); ++b) {
      std::vector<double> tones{omegas.size() % 2 == 0 ? sonicsend::kOmegaCarrierEven
                                                       : sonicsend::kOmegaCarrierOdd};
      for (std::size_t bit = 0; bit < 8; ++bit) {
        if ((frame[b] >> bit) & 1) tones.push_back(sonicsend::kOmegaBit[bit]);
      }
      if (std::popcount(frame[b]) % 2 == 1) tones.push_back(sonicsend::kOmegaParity);
      omegas.push_back(tones);
    }
  }
  const int samples = samplesOf(message);
  for (auto _ : state) {
    double sum = 0.0;
    for (int i = 0; i < samples; ++i) {
      for (double omega : omegas[static_cast<std::size_t>(i / sonicsend::kSymbolSamples)]) {
        sum += std::cos((omega * i) / static_cast<double>(sonicsend::kSampleRate));
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * samples);
}

constexpr int kShortMessage = 16;

constexpr auto kUnit = benchmark::kMicrosecond;

BENCHMARK(CosineFloor)
    ->ArgName("bytes")
    ->Arg(sonicsend::kMaxMessageBytes)
    ->Arg(kShortMessage)
    ->Unit(kUnit);
BENCHMARK(LibmPath)
    ->ArgName("bytes")
    ->Arg(sonicsend::kMaxMessageBytes)
    ->Arg(kShortMessage)
    ->Unit(kUnit);
BENCHMARK(PortablePath)
    ->ArgName("bytes")
    ->Arg(sonicsend::kMaxMessageBytes)
    ->Arg(kShortMessage)
    ->Unit(kUnit);
BENCHMARK(FastPath)
    ->Unit(kUnit)
    ->UseRealTime()
    ->ArgNames({"bytes", "threads"})
    ->Args({sonicsend::kMaxMessageBytes, 1})
    ->Args({sonicsend::kMaxMessageBytes, 0})
    ->Args({kShortMessage, 1})
    ->Args({kShortMessage, 0});

}  // namespace

BENCHMARK_MAIN();
