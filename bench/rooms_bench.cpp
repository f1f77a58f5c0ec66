// The reference receiver through simulated channels: how often it hears random messages, and
// that it never reports a wrong one.
//
//   Channel/<row>           heard_pct: messages decoded correctly, of kMessages, through each
//                           row of the channel table; wrong: messages decoded wrongly.
//   Room/<rt60 ms>/<snr>/<passes>
//                           heard_pct in a room with that RT60 (DRR 0 dB), white noise at that
//                           SNR; scripts/draw-rooms.sh draws these as docs/rooms.png.
//   DeviceRoom/<rt60 ms>/<snr>/<passes>
//                           the same for the listening core on the host, through a 16 kHz
//                           microphone (docs/rooms-device.png).
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
#include "onCore.h"
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

enum class Receiver { desktop, core };

Tally hearOnce(Receiver receiver, const Sent& sent, int passes, const ChannelEffect& effect,
               std::mt19937& random) {
  const Recording recording = record(sent, passes, effect, random);
  Tally tally;
  if (receiver == Receiver::core) {
    const auto heard = listen(recording);
    if (heard) (rightly(heard, sent) ? tally.heard : tally.wrong)++;
    return tally;
  }
  const auto result = sonicsend::receiver::decode(recording.samples, recording.rate);
  if (result.decoded) (heardRightly(result, sent) ? tally.heard : tally.wrong)++;
  return tally;
}

void report(benchmark::State& state, const Tally& tally, int messages) {
  state.counters["heard_pct"] = 100.0 * tally.heard / messages;
  state.counters["wrong"] = tally.wrong;
}

// `messagesPerPoint()` random messages, drawn from `seed`, each heard through `effect`.
void hearMany(benchmark::State& state, std::mt19937::result_type seed, int passes,
              const ChannelEffect& effect, Receiver receiver = Receiver::desktop) {
  const int messages = messagesPerPoint();
  std::mt19937 random(seed);
  Tally tally;
  for (auto _ : state) {
    for (int m = 0; m < messages; ++m) {
      const Tally one = hearOnce(receiver, randomMessage(random), passes, effect, random);
      tally.heard += one.heard;
      tally.wrong += one.wrong;
    }
  }
  report(state, tally, messages);
}

void channel(benchmark::State& state, const ChannelRow& row) {
  hearMany(state, 2026, row.passes, row.effect);
}

// A room (RT60 range(0) ms, DRR 0 dB; none at 0) with white noise at range(1) dB SNR.
ChannelEffect roomOf(const benchmark::State& state, int rate) {
  const Room shape{static_cast<double>(state.range(0)) / 1000.0, 0.0};
  const auto snr = static_cast<double>(state.range(1));
  return shape.rt60Seconds > 0.0 ? ChannelEffect(detail::room(shape, snr, rate))
                                 : ChannelEffect(detail::noisy(snr, rate));
}

void room(benchmark::State& state) {
  hearMany(state, 7, static_cast<int>(state.range(2)), roomOf(state, kSampleRate));
}

void deviceRoom(benchmark::State& state) {
  hearMany(state, 7, static_cast<int>(state.range(2)), roomOf(state, 16000), Receiver::core);
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
  using Sweep = void (*)(benchmark::State&);
  for (auto [name, sweepOf] : {std::pair<const char*, Sweep>{"Room", room},
                               std::pair<const char*, Sweep>{"DeviceRoom", deviceRoom}}) {
    auto* sweep = benchmark::RegisterBenchmark(name, sweepOf);
    for (int rt60 : {0, 200, 400, 600, 800, 1000, 1200}) {
      for (int snr = -10; snr <= 20; snr += 5) {
        for (int passes : {1, 3}) sweep->Args({rt60, snr, passes});
      }
    }
    sweep->Iterations(1)->Unit(benchmark::kSecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
