// The listening core on the emulated Cortex-M4F, through scripts/mcu-decode.sh: four rows of
// the channel table at 16 kHz, heard exactly, the passes a message was read from, a firmware
// not built for the emulated core refused, every poll returning while audio comes too fast, and
// a recording that holds no message heard as none.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "channels.h"
#include "onDevice.h"

namespace sonicsend::testing {
namespace {

using namespace simulator;

DeviceRun onDevice(const Recording& recording) {
  return decodeOnDevice(recording, 16000, SONICSEND_MCU_DECODE, SONICSEND_FIRMWARE);
}

TEST(Device, HearsChannelRowsAt16kHz) {
  const std::vector<std::string> names = {"white noise, SNR -6 dB", "clock -1000 ppm, SNR 10 dB",
                                          "babble, SNR 0 dB", "clock +10000 ppm, SNR 10 dB"};
  std::mt19937 random(1607);
  for (const std::string& name : names) {
    const auto row =
        std::ranges::find_if(channelRows(), [&](const ChannelRow& r) { return r.name == name; });
    ASSERT_NE(row, channelRows().end()) << name;
    const Sent sent = randomMessage(random);
    const DeviceRun run = onDevice(record(sent, row->passes, row->effect, random));
    EXPECT_TRUE(heardOnDevice(run, sent)) << name << ": " << run.report.dump() << run.err;
    EXPECT_GT(run.report.value("instructions_per_second", 0), 0) << name;
  }
}

// Ten seconds of silence, then three clean passes: read from one pass, the slots searched in
// the silence not counted.
TEST(Device, ReportsThePassesTheMessageWasReadFrom) {
  std::mt19937 random(29);
  const Sent sent = randomMessage(random);
  Recording recording = record(sent, 3, detail::noisy(30.0, 16000), random);
  recording.samples.insert(recording.samples.begin(), 10 * 16000, 0.0f);
  const DeviceRun run = onDevice(recording);
  EXPECT_TRUE(heardOnDevice(run, sent)) << run.report.dump() << run.err;
  EXPECT_EQ(run.report.value("passes", 0), 1) << run.report.dump();
}

// A firmware that is no Arm executable is refused in one line before QEMU starts, not with its
// lockup and a dump of the registers.
TEST(Device, RefusesAFirmwareNotBuiltForTheEmulatedCore) {
  const auto recording = std::filesystem::temp_directory_path() /
                         ("not-firmware-" + std::to_string(getpid()) + ".wav");
  std::ofstream(recording) << "RIFF, a recording given as the firmware";
  for (const std::string& firmware : {recording.string(), std::string("/proc/self/exe")}) {
    SCOPED_TRACE(firmware);
    const DeviceRun run = decodeOnDevice(Recording{std::vector<float>(1600), 16000}, 16000,
                                         SONICSEND_MCU_DECODE, firmware);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
  }
  std::filesystem::remove(recording);
}

// A timer interrupt pushes the audio faster than the core reads it, about three and one and a
// half times as fast, while the main loop only polls: audio is dropped, yet every poll returns
// within the bound receiver/core/README.md gives; a poll that read on while audio came would
// never return (the firmware ends such a run).
TEST(Device, EveryPollReturnsWhenAudioComesFasterThanItIsRead) {
  constexpr int kMostPollInstructions = 2'000'000;
  std::mt19937 random(41);
  const Sent sent = randomMessage(random);
  const Recording recording = record(sent, 3, detail::noisy(10.0, 16000), random);
  for (const char* every : {"20000", "40000"}) {
    SCOPED_TRACE(every);
    const DeviceRun run = decodeOnDevice(recording, 16000, SONICSEND_MCU_DECODE, SONICSEND_FIRMWARE,
                                         {"--interrupt-every", every});
    ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
    EXPECT_GT(run.report.value("dropped_samples", 0), 0) << run.report.dump();
    EXPECT_LE(run.report.value("largest_poll_instructions", kMostPollInstructions + 1),
              kMostPollInstructions)
        << run.report.dump();
  }
}

TEST(Device, HearsNothingInNoise) {
  std::mt19937 random(3);
  std::vector<float> noise(16000 * 8);
  std::normal_distribution<float> gauss(0.0f, 0.1f);
  for (float& s : noise) s = gauss(random);
  const DeviceRun run = onDevice(Recording{noise, 16000});
  EXPECT_EQ(run.status, 1) << run.report.dump() << run.err;
  EXPECT_TRUE(run.report["ssid"].is_null());
}

}  // namespace
}  // namespace sonicsend::testing
