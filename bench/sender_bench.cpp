// Synthesis and render of the longest message, beside a floor that evaluates only the cosines
// that signal needs. The ratio of the two is the cost of everything but libm.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <vector>

#include "encoder.h"

namespace {

sonicsend::MessageBuffer longestMessage() {
  const std::u16string ssid = u"A network name of 32 characters!";
  const std::u16string key = u"and a key that fills the rest of the message, 61 units long..";
  return sonicsend::buildMessage(sonicsend::Layout::framed, ssid, key).value();
}

void SynthesizeAndRender(benchmark::State& state) {
  const auto message = longestMessage();
  std::vector<float> signal(sonicsend::kSignalCapacity);
  std::vector<std::uint8_t> pcm(signal.size() * sonicsend::kPcmBytesPerFrame);
  for (auto _ : state) {
    const int count = sonicsend::synthesize(message, signal).value();
    const auto samples = std::span<const float>(signal.data(), static_cast<std::size_t>(count));
    sonicsend::render(samples, pcm);
    benchmark::DoNotOptimize(pcm.data());
  }
  state.SetItemsProcessed(state.iterations() * sonicsend::kMaxSignalSamples);
}

// The same cosines, summed, with none of the symbol walk, rounding or render.
void CosineFloor(benchmark::State& state) {
  const auto message = longestMessage();
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
  for (auto _ : state) {
    double sum = 0.0;
    for (int i = 0; i < sonicsend::kMaxSignalSamples; ++i) {
      for (double omega : omegas[static_cast<std::size_t>(i / sonicsend::kSymbolSamples)]) {
        sum += std::cos((omega * i) / 44100.0);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * sonicsend::kMaxSignalSamples);
}

BENCHMARK(SynthesizeAndRender)->Unit(benchmark::kMillisecond);
BENCHMARK(CosineFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
