// The benchmarks that measure a receiver over the channel simulator: one run per channel row and
// one per kind of input that holds no message, each timed once, in seconds.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

#include "channels.h"
#include "wrongInputs.h"

namespace sonicsend::testing {

template <class Channel, class WrongAnswers>
void registerChannelBenchmarks(Channel channel, WrongAnswers wrongAnswers) {
  for (const simulator::ChannelRow& row : simulator::channelRows()) {
    benchmark::RegisterBenchmark(("Channel/" + std::string(row.name)).c_str(), channel, row)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
  }
  for (simulator::WrongInput kind : simulator::kWrongInputs) {
    benchmark::RegisterBenchmark(("WrongAnswers/" + std::string(simulator::nameOf(kind))).c_str(),
                                 wrongAnswers, kind)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
  }
}

}  // namespace sonicsend::testing
