// The reference receiver through simulated channels: how often it hears random messages, and
// that it never reports a wrong one.
//
//   Channel/<row>           heard_pct: messages decoded correctly, of kMessages, through each
//                           row of the channel table; wrong: messages decoded wrongly.
//   Room/<rt60 ms>/<snr>/<passes>
//                           heard_pct in a room with that RT60 (DRR 0 dB), white noise at that
//                           SNR; scripts/draw-rooms.sh draws these as docs/rooms.png.
//   WrongAnswers/<kind>     wrong: messages reported from inputs that hold none or that hold
//                           another one, of `inputs`.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "channelBenchmarks.h"
#include "channels.h"
#include "decoder.h"
#include "heardRightly.h"
#include "recordings.h"

namespace {

using namespace sonicsend;
using namespace sonicsend::simulator;
using namespace sonicsend::testing;

int messagesPerPoint() {
  const char* value = std::getenv("ROOMS_MESSAGES");
  return value != nullptr ? std::max(1, std::atoi(value)) : 100;
}

struct Tally {
  int heard = 0;
  int wrong = 0;
};

Tally hearOnce(const Sent& sent, int passes, const ChannelEffect& effect, std::mt19937& random) {
  const Recording recording = record(sent, passes, effect, random);
  const auto result = sonicsend::receiver::decode(recording.samples, recording.rate);
  Tally tally;
  if (result.decoded) (heardRightly(result, sent) ? tally.heard : tally.wrong)++;
  return tally;
}

void report(benchmark::State& state, const Tally& tally, int messages) {
  state.counters["heard_pct"] = 100.0 * tally.heard / messages;
  state.counters["wrong"] = tally.wrong;
}

// `messagesPerPoint()` random messages, drawn from `seed`, each heard through `effect`.
void hearMany(benchmark::State& state, std::mt19937::result_type seed, int passes,
              const ChannelEffect& effect) {
  const int messages = messagesPerPoint();
  std::mt19937 random(seed);
  Tally tally;
  for (auto _ : state) {
    for (int m = 0; m < messages; ++m) {
      const Tally one = hearOnce(randomMessage(random), passes, effect, random);
      tally.heard += one.heard;
      tally.wrong += one.wrong;
    }
  }
  report(state, tally, messages);
}

void channel(benchmark::State& state, const ChannelRow& row) {
  hearMany(state, 2026, row.passes, row.effect);
}

void room(benchmark::State& state) {
  const Room shape{static_cast<double>(state.range(0)) / 1000.0, 0.0};
  const auto snr = static_cast<double>(state.range(1));
  const ChannelEffect effect = shape.rt60Seconds > 0.0 ? ChannelEffect(detail::room(shape, snr))
                                                       : ChannelEffect(detail::noisy(snr));
  hearMany(state, 7, static_cast<int>(state.range(2)), effect);
}

void wrongAnswers(benchmark::State& state, WrongInput kind) {
  const int inputs = 10 * messagesPerPoint();
  std::mt19937 random(99);
  int wrong = 0;
  for (auto _ : state) {
    for (int i = 0; i < inputs; ++i) wrong += reportsWrongly(kind, random) ? 1 : 0;
  }
  state.counters["inputs"] = inputs;
  state.counters["wrong"] = wrong;
}

const bool registered = [] {
  registerChannelBenchmarks(channel, wrongAnswers);
  auto* sweep = benchmark::RegisterBenchmark("Room", room);
  for (int rt60 : {0, 200, 400, 600, 800, 1000, 1200}) {
    for (int snr = -10; snr <= 20; snr += 5) {
      for (int passes : {1, 3}) sweep->Args({rt60, snr, passes});
    }
  }
  sweep->Iterations(1)->Unit(benchmark::kSecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
