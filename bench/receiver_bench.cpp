// The reference receiver: how much faster than real time it decodes, and how much noise it
// takes before it stops hearing messages.
//
//   Decode10Seconds      x_real_time: seconds of recording decoded per second of CPU, in
//                        noise at 44.1 and 48 kHz, and in a hall.
//   LowestSnr/passes     lowest_snr_db: the lowest signal-to-noise ratio (white noise over the
//                        whole band, in 1 dB steps) at which at least 99 % of 200 random
//                        messages decode correctly from a recording of that many passes.
//   DecodeLongFile       peak_rss_mb: the peak resident memory of a process that decodes a
//                        long file (written to a temporary folder first, removed after): a
//                        1 GB WAV (16-bit stereo, 44.1 kHz, 95 minutes) and a 30-minute
//                        recording (16-bit mono, 48 kHz), noise with the message in the last
//                        minute only, so that all of it is read. x_real_time: seconds of audio
//                        per second of the process's CPU time.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

#include "channel.h"
#include "decoder.h"
#include "encoder.h"
#include "heardRightly.h"
#include "recordings.h"

namespace {

using sonicsend::kSampleRate;
using sonicsend::simulator::addNoise;
using sonicsend::simulator::loop;
using sonicsend::simulator::randomMessage;
using sonicsend::simulator::Sent;
using sonicsend::testing::heardRightly;

// Ten seconds of the looped signal at 10 dB SNR, captured at the given rate (44 100: no
// resampling; 48 000: the receiver resamples first); with a second argument of 1, heard in a
// hall (RT60 0.8 s, DRR 0 dB, SNR 15 dB), where the receiver takes the room's ringing away.
void Decode10Seconds(benchmark::State& state) {
  std::mt19937 random(1);
  const Sent sent = randomMessage(random);
  auto recording = loop(sent.pass, 12345, 10 * kSampleRate);
  if (state.range(1) == 1) recording = sonicsend::simulator::inRoom(recording, {0.8, 0.0}, random);
  addNoise(recording, state.range(1) == 1 ? 15.0 : 10.0, random);
  const int rate = static_cast<int>(state.range(0));
  if (rate != kSampleRate) recording = sonicsend::simulator::resampleTo(recording, rate);
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
    ->Args({sonicsend::kSampleRate, 0})
    ->Args({48000, 0})
    ->Args({sonicsend::kSampleRate, 1})
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
    if (heardRightly(result, sent)) ++decoded;
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

struct LongFile {
  int rate;
  int channels;
  double seconds;
};

// Noise at a tenth of full scale, with the looped message (at 10 dB SNR) in the last minute.
bool writeLongFile(const std::filesystem::path& path, const LongFile& wanted, const Sent& sent) {
  SF_INFO info{0, wanted.rate, wanted.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  std::mt19937 random(3);
  std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
  std::vector<float> second(static_cast<std::size_t>(wanted.rate));
  for (float& sample : second) sample = noise(random);
  auto ending = loop(sent.pass, 0, 60 * kSampleRate);
  addNoise(ending, 10.0, random);
  if (wanted.rate != kSampleRate) ending = sonicsend::simulator::resampleTo(ending, wanted.rate);
  const auto total = static_cast<std::size_t>(wanted.seconds * wanted.rate);
  std::vector<float> frames;
  for (std::size_t done = 0; done < total; done += second.size()) {
    frames.clear();
    for (std::size_t i = done; i < std::min(total, done + second.size()); ++i) {
      const std::size_t fromEnd = total - i;
      const float sample =
          fromEnd <= ending.size() ? ending[ending.size() - fromEnd] : second[i - done];
      frames.insert(frames.end(), static_cast<std::size_t>(wanted.channels), sample);
    }
    const auto count = static_cast<sf_count_t>(frames.size()) / wanted.channels;
    if (sf_writef_float(file, frames.data(), count) != count) break;
  }
  return sf_close(file) == 0;
}

// Decodes `path` in a child process; its peak resident memory and CPU time come back with it.
bool decodeInChild(const std::filesystem::path& path, const std::string& key, rusage& usage) {
  const pid_t child = fork();
  if (child == 0) {
    const auto result = sonicsend::receiver::decodeFile(path);
    _exit(result.decoded && result.decoded->message.key == key ? 0 : 1);
  }
  int status = 0;
  return child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void DecodeLongFile(benchmark::State& state, LongFile wanted) {
  namespace fs = std::filesystem;
  std::mt19937 random(4);
  const Sent sent = randomMessage(random);
  const fs::path dir = fs::temp_directory_path() / ("decode-long-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "long.wav";
  if (!writeLongFile(path, wanted, sent)) state.SkipWithError("cannot write the file");
  rusage usage{};
  for (auto _ : state) {
    if (!decodeInChild(path, sent.key, usage)) state.SkipWithError("the file did not decode");
  }
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["x_real_time"] = wanted.seconds / cpu;
  state.counters["file_mb"] = static_cast<double>(fs::file_size(path)) / 1e6;
  fs::remove_all(dir);
}
BENCHMARK_CAPTURE(DecodeLongFile, wav_1_gb, LongFile{kSampleRate, 2, 1e9 / 176400})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DecodeLongFile, recording_30_min, LongFile{48000, 1, 1800})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
