// The reference receiver: how much faster than real time it decodes, and how much noise it
// takes before it stops hearing messages.
//
//   Decode10Seconds      x_real_time: seconds of recording decoded per second of CPU, in
//                        noise at 44.1 and 48 kHz, and in a hall.
//   LowestSnr/passes     lowest_snr_db: the lowest signal-to-noise ratio (white noise over the
//                        whole band, in 1 dB steps) at which at least 99 % of 200 random
//                        messages decode correctly from a recording of that many passes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "channel.h"
#include "decoder.h"
#include "encoder.h"
#include "recordings.h"

namespace {

using sonicsend::kSampleRate;
using sonicsend::testing::addNoise;
using sonicsend::testing::loop;
using sonicsend::testing::randomMessage;
using sonicsend::testing::Sent;

// Ten seconds of the looped signal at 10 dB SNR, captured at the given rate (44 100: no
// resampling; 48 000: the receiver resamples first); with a second argument of 1, heard in a
// hall (RT60 0.8 s, DRR 0 dB, SNR 15 dB), where the receiver takes the room's ringing away.
void Decode10Seconds(benchmark::State& state) {
  std::mt19937 random(1);
  const Sent sent = randomMessage(random);
  auto recording = loop(sent.pass, 12345, 10 * kSampleRate);
  if (state.range(1) == 1) recording = sonicsend::testing::inRoom(recording, {0.8, 0.0}, random);
  addNoise(recording, state.range(1) == 1 ? 15.0 : 10.0, random);
  const int rate = static_cast<int>(state.range(0));
  if (rate != kSampleRate) recording = sonicsend::testing::resampleTo(recording, rate);
  for (auto _ : state) {
    const auto result = sonicsend::receiver::decode(recording, rate);
    if (!result.decoded || result.decoded->message.key != sent.key) {
      state.SkipWithError("the recording did not decode");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.counters["x_real_time"] =
      benchmark::Counter(10.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Decode10Seconds)
    ->Args({44100, 0})
    ->Args({48000, 0})
    ->Args({44100, 1})
    ->Unit(benchmark::kMillisecond);

// One pass recorded from a random offset holds its first frame only in pieces, so a one-pass
// recording is exactly one pass from its start; longer ones start anywhere in the loop.
int decodedOf(const std::vector<Sent>& messages, int passes, double snrDb, std::mt19937& random) {
  int decoded = 0;
  for (const Sent& sent : messages) {
    const std::size_t offset =
        passes == 1 ? 0 : std::uniform_int_distribution<std::size_t>(0, sent.pass.size())(random);
    auto recording = loop(sent.pass, offset, static_cast<std::size_t>(passes) * sent.pass.size());
    addNoise(recording, snrDb, random);
    const auto result = sonicsend::receiver::decode(recording, kSampleRate);
    if (result.decoded && result.decoded->message.ssid == sent.ssid &&
        result.decoded->message.key == sent.key) {
      ++decoded;
    }
  }
  return decoded;
}

void LowestSnr(benchmark::State& state) {
  const int passes = static_cast<int>(state.range(0));
  std::mt19937 random(2026);
  std::vector<Sent> messages;
  for (int i = 0; i < 200; ++i) messages.push_back(randomMessage(random));
  double lowest = NAN;
  for (auto _ : state) {
    for (double snr = 0.0; snr >= -30.0; snr -= 1.0) {
      if (decodedOf(messages, passes, snr, random) < 198) break;
      lowest = snr;
    }
  }
  state.counters["lowest_snr_db"] = lowest;
}
BENCHMARK(LowestSnr)->Arg(1)->Arg(3)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
