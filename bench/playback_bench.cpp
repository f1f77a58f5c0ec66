// Playback costs: the time from startConnect to the first buffer handed to the device, and the
// CPU the endless loop costs per second of sound.
//
// The *Alsa benchmarks play through ALSA's "default" PCM; run them against a sound server, e.g.
//   scripts/with-pulse.sh build/release/bench/bench_playback
// Without a device they are skipped.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "playAudio.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when the first buffer is handed over; `inner` plays it, or it is thrown away.
struct FirstBuffer {
  std::mutex mutex;
  std::condition_variable arrived;
  std::optional<Clock::time_point> at;

  void note() {
    std::scoped_lock lock(mutex);
    if (!at) at = Clock::now();
    arrived.notify_all();
  }
  Clock::time_point wait() {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return at.has_value(); });
    return *at;
  }
};

class TimedDevice final : public sonicsend::AudioDevice {
 public:
  TimedDevice(std::shared_ptr<FirstBuffer> first, std::unique_ptr<AudioDevice> inner)
      : first_(std::move(first)), inner_(std::move(inner)) {}
  std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    first_->note();
    return inner_ ? inner_->play(frames, stop) : frames.size();
  }
  void drop() override {
    if (inner_) inner_->drop();
  }

 private:
  std::shared_ptr<FirstBuffer> first_;
  std::unique_ptr<AudioDevice> inner_;
};

// `frames` message frames: 1 (7 bytes) or 12 (96 bytes, the longest).
SharedText ssidFor(int frames) {
  return std::make_shared<const std::u16string>(frames == 1 ? u"Home" : std::u16string(60, u'S'));
}
SharedText keyFor(int frames) {
  return std::make_shared<const std::u16string>(frames == 1 ? u"" : std::u16string(33, u'k'));
}

void startToFirstBuffer(benchmark::State& state, bool alsa) {
  const int frames = static_cast<int>(state.range(0));
  auto first = std::make_shared<FirstBuffer>();
  sonicsend::SoundOutput output{
      .openDevice = [&](const sonicsend::platform::AudioStreamBasicDescription& format)
          -> std::unique_ptr<sonicsend::AudioDevice> {
        std::unique_ptr<sonicsend::AudioDevice> inner;
        if (alsa && !(inner = sonicsend::systemSoundOutput().openDevice(format))) return nullptr;
        return std::make_unique<TimedDevice>(first, std::move(inner));
      },
      .setVolume = alsa ? sonicsend::systemSoundOutput().setVolume : [](float) {},
  };
  playAudio sender(output);
  sender.setSsid(ssidFor(frames), keyFor(frames));
  for (auto _ : state) {
    first = std::make_shared<FirstBuffer>();
    const auto start = Clock::now();
    sender.startConnect();
    if (sender.getQueue() == nullptr) {
      state.SkipWithError("no ALSA device");
      break;
    }
    const auto end = first->wait();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    sender.stopConnect();
  }
}

void StartToFirstBuffer(benchmark::State& state) {
  startToFirstBuffer(state, false);
}
void StartToFirstBufferAlsa(benchmark::State& state) {
  startToFirstBuffer(state, true);
}

// Throws sound away as fast as the queue hands it over, counting bytes.
class DiscardDevice final : public sonicsend::AudioDevice {
 public:
  explicit DiscardDevice(std::shared_ptr<std::atomic<std::uint64_t>> bytes)
      : bytes_(std::move(bytes)) {}
  std::size_t play(std::span<const std::uint8_t> frames, std::stop_token) override {
    bytes_->fetch_add(frames.size(), std::memory_order_relaxed);
    return frames.size();
  }
  void drop() override {}

 private:
  std::shared_ptr<std::atomic<std::uint64_t>> bytes_;
};

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The loop alone (refill, queue, hand-back) on an unpaced device. Each iteration is one second
// of sound; its time is the CPU time the process spent on it (the waiting thread sleeps), so
// the result is the share of one core that looping costs, in seconds per second.
void LoopCpuPerSecondOfSound(benchmark::State& state) {
  auto bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
  playAudio sender(sonicsend::SoundOutput{
      .openDevice =
          [&](const sonicsend::platform::AudioStreamBasicDescription&) {
            return std::make_unique<DiscardDevice>(bytes);
          },
      .setVolume = [](float) {},
  });
  sender.setSsid(ssidFor(1), keyFor(1));
  sender.startConnect();
  constexpr std::uint64_t kSecondOfSound = 176400;
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds();
    const std::uint64_t target = bytes->load() + kSecondOfSound;
    while (bytes->load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    state.SetIterationTime(processCpuSeconds() - cpuBefore);
  }
  sender.stopConnect();
}

// Messages of 1 and 12 frames, timed by hand, median of 15 starts.
void startupRuns(benchmark::internal::Benchmark* run) {
  run->Arg(1)->Arg(12)->UseManualTime()->Unit(benchmark::kMillisecond);
  run->Repetitions(15)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(StartToFirstBuffer)->Apply(startupRuns);
BENCHMARK(StartToFirstBufferAlsa)->Apply(startupRuns);
BENCHMARK(LoopCpuPerSecondOfSound)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
