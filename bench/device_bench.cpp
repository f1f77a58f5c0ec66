// The listening core's budgets and success on an emulated chip (QEMU under -icount shift=0, so
// every figure is an exact instruction count, the same on every run): the Cortex-M4F, or with
// DEVICE_TARGET=m0plus or rv32 a Cortex-M0+ or an RV32IMC core (scripts/mcu-decode.sh --target),
// each with the example firmware built for it, or the one SONICSEND_FIRMWARE names (as
// mcu-decode.sh takes it; its core's archive beside it).
//
//   Budget/<rate>        one recording (a 12-frame message, 3 passes, SNR 10 dB) at 8, 16 or
//                        48 kHz: instructions_per_second in push and poll per second of audio,
//                        largest_poll (instructions), ram_bytes (the caller's state block),
//                        stack_bytes (painted), flash_bytes (the core's code and constants
//                        in its archive for the chip).
//   Channel/<row>        each row of the channel table captured at 16 kHz: heard_pct on the
//                        device and desktop_pct (the desktop receiver on the same recordings),
//                        wrong answers, and the most instructions per second and largest poll
//                        of any recording.
//   WrongAnswers/<kind>  wrong: messages the device reported from inputs that hold none or
//                        another one, of `inputs`, at 16 kHz.
// DEVICE_MESSAGES sets the messages per row (default 20). DEVICE_KEEP_WORST=DIR keeps each row's
// recording that cost the most instructions a second, as DIR/<row>.wav, to profile on its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "channelBenchmarks.h"
#include "channels.h"
#include "decoder.h"
#include "heardRightly.h"
#include "onDevice.h"
#include "wrongInputs.h"

namespace {

using namespace sonicsend;
using namespace sonicsend::simulator;
using namespace sonicsend::testing;

int messagesPerRow() {
  const char* value = std::getenv("DEVICE_MESSAGES");
  return value != nullptr ? std::max(1, std::atoi(value)) : 20;
}

// The chip DEVICE_TARGET names (m4f when unset): its name for mcu-decode.sh, where its firmware
// is, and the tool that sizes its objects.
struct Target {
  std::string name;
  std::string firmwareDir;
  std::string size;
};

const Target& target() {
  static const Target chosen = [] {
    const char* value = std::getenv("DEVICE_TARGET");
    const std::string name = value != nullptr ? value : "m4f";
    Target built{name, SONICSEND_FIRMWARE_M4F, "arm-none-eabi-size"};
    if (name == "m0plus") {
      built.firmwareDir = SONICSEND_FIRMWARE_M0PLUS;
    } else if (name == "rv32") {
      built = {name, SONICSEND_FIRMWARE_RV32, "riscv64-unknown-elf-size"};
    } else if (name != "m4f") {
      std::fprintf(stderr, "DEVICE_TARGET is m4f, m0plus or rv32, not %s\n", name.c_str());
      std::exit(2);
    }
    if (const char* firmware = std::getenv("SONICSEND_FIRMWARE")) {
      built.firmwareDir = std::filesystem::path(firmware).parent_path().string();
    }
    return built;
  }();
  return chosen;
}

DeviceRun onDevice(const Recording& recording, int rate) {
  return decodeOnDevice(recording, rate, SONICSEND_MCU_DECODE, target().firmwareDir + "/fw.elf",
                        {"--target", target().name});
}

// The core's code and constants: text and data of its library for the chip.
double flashBytes() {
  const std::string command =
      target().size + " -t " + target().firmwareDir + "/libreceiver_core.a 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 0.0;
  long text = 0, data = 0, last_text = 0, last_data = 0;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::sscanf(line, "%ld %ld", &text, &data) == 2) {
      last_text = text;
      last_data = data;
    }
  }
  pclose(pipe);
  return static_cast<double>(last_text + last_data);
}

void budget(benchmark::State& state) {
  const auto rate = static_cast<int>(state.range(0));
  std::mt19937 random(16);
  const Sent sent = messageOf(random, kMaxFramedCredentialUnits);
  const Recording recording = record(sent, 3, detail::noisy(10.0, rate), random);
  DeviceRun run;
  for (auto _ : state) run = onDevice(recording, rate);
  if (!heardOnDevice(run, sent)) state.SkipWithError(("not heard: " + run.err).c_str());
  state.counters["instructions_per_second"] = run.report.value("instructions_per_second", 0.0);
  state.counters["largest_poll"] = run.report.value("largest_poll_instructions", 0.0);
  state.counters["ram_bytes"] = run.report.value("ram_bytes", 0.0);
  state.counters["stack_bytes"] = run.report.value("stack_bytes", 0.0);
  state.counters["flash_bytes"] = flashBytes();
}

// Writes `recording` where DEVICE_KEEP_WORST says, named after `row`.
void keepRecording(const Recording& recording, const std::string& row) {
  const char* dir = std::getenv("DEVICE_KEEP_WORST");
  if (dir == nullptr) return;
  std::string name = row;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
  const auto path = std::filesystem::path(dir) / (name + ".wav");
  SF_INFO info{0, recording.rate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  if (SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info)) {
    sf_writef_float(file, recording.samples.data(),
                    static_cast<sf_count_t>(recording.samples.size()));
    sf_close(file);
  }
}

void channel(benchmark::State& state, const ChannelRow& row) {
  const int messages = messagesPerRow();
  std::mt19937 random(2026);
  int heard = 0, desktop = 0, wrong = 0;
  double mostPerSecond = 0.0, largestPoll = 0.0;
  for (auto _ : state) {
    for (int m = 0; m < messages; ++m) {
      const Sent sent = randomMessage(random);
      const Recording recording = record(sent, row.passes, row.effect, random);
      const DeviceRun run = onDevice(recording, 16000);
      if (heardOnDevice(run, sent))
        ++heard;
      else if (run.status == 0)
        ++wrong;
      desktop += heardRightly(receiver::decode(recording.samples, recording.rate), sent) ? 1 : 0;
      const double perSecond = run.report.value("instructions_per_second", 0.0);
      if (perSecond > mostPerSecond) keepRecording(recording, row.name);
      mostPerSecond = std::max(mostPerSecond, perSecond);
      largestPoll = std::max(largestPoll, run.report.value("largest_poll_instructions", 0.0));
    }
  }
  state.counters["heard_pct"] = 100.0 * heard / messages;
  state.counters["desktop_pct"] = 100.0 * desktop / messages;
  state.counters["wrong"] = wrong;
  state.counters["most_instructions_per_second"] = mostPerSecond;
  state.counters["largest_poll"] = largestPoll;
}

void wrongAnswers(benchmark::State& state, WrongInput kind) {
  const int inputs = messagesPerRow();
  std::mt19937 random(99);
  int wrong = 0;
  for (auto _ : state) {
    for (int i = 0; i < inputs; ++i) {
      const WrongInputRecording input = makeWrongInput(kind, random);
      const DeviceRun run = onDevice(Recording{input.samples, kSampleRate}, 16000);
      if (run.status != 0) continue;
      const bool sentOne =
          std::ranges::any_of(input.sent, [&](const Sent& one) { return heardOnDevice(run, one); });
      wrong += sentOne ? 0 : 1;
    }
  }
  state.counters["inputs"] = inputs;
  state.counters["wrong"] = wrong;
}

const bool registered = [] {
  benchmark::RegisterBenchmark("Budget", budget)
      ->Arg(8000)
      ->Arg(16000)
      ->Arg(48000)
      ->Iterations(1)
      ->Unit(benchmark::kSecond);
  registerChannelBenchmarks(channel, wrongAnswers);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
