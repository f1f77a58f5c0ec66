// Opening the store (reading and parsing its file) and storing one more pair (locking, reading
// again, writing) for files of 80 000 and 2 000 000 networks. Both should grow about linearly.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "localSave.h"
#include "storeLog.h"

namespace {

// A stored keys file of `networks` members, written once per size.
std::filesystem::path fileOf(long networks) {
  static const std::filesystem::path directory = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velarto-bench-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  const auto file = directory / (std::to_string(networks) + ".json");
  if (!std::filesystem::exists(file)) {
    std::ofstream out(file);
    out << '{';
    for (long n = 0; n < networks; ++n) {
      out << (n == 0 ? "" : ",") << "\"network " << n << "\":\"key of network " << n << '"';
    }
    out << '}';
  }
  return file;
}

void Load(benchmark::State& state) {
  velarto::store::setLogSink([](auto, auto) {});
  const auto file = fileOf(state.range(0));
  for (auto _ : state) {
    const localSave store(file);
    benchmark::DoNotOptimize(store.getKeyBySsid("network 0"));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void SaveOneMore(benchmark::State& state) {
  velarto::store::setLogSink([](auto, auto) {});
  const auto file = fileOf(state.range(0));
  localSave store(file);
  long key = 0;
  for (auto _ : state) store.saveSsid("one more", std::to_string(++key));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(Load)
    ->Arg(80'000)
    ->Arg(2'000'000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(SaveOneMore)->Arg(80'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
