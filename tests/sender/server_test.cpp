// `sonicsend play` through a real sound server: a private PulseAudio with a null sink (started
// by scripts/with-pulse.sh). The sink's monitor is recorded while the command plays, and
// the recording must hold our pass, whole and repeated without a gap, scaled by the sink volume.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "logSink.h"
#include "platform/MusicPlayer.h"

namespace {

using namespace std::chrono_literals;
using sonicsend::kSampleRate;
namespace fs = std::filesystem;
using Samples = std::vector<std::int16_t>;  // interleaved stereo unless said otherwise

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A command run by the shell in the background; pclose() waits for it.
using Process = std::unique_ptr<FILE, int (*)(FILE*)>;
Process start(const std::string& command) {
  return {popen(command.c_str(), "w"), pclose};
}
int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
int run(const std::string& command) {
  return exitCode(std::system(command.c_str()));
}
std::string output(const std::string& command) {
  const Process process(popen(command.c_str(), "r"), pclose);
  std::string text;
  for (int c; (c = std::fgetc(process.get())) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
Samples samplesOf(const auto& s16le) {  // bytes; the machine is little-endian too
  Samples samples(s16le.size() / 2);
  std::memcpy(samples.data(), s16le.data(), samples.size() * 2);
  return samples;
}

// Checks that the recording is silence, then the pass scaled by `scale` over and over without a
// gap for at least `atLeast` samples, then silence or the end. With `fromPassStart`, the sound
// must begin with the pass. With `skipsAllowed`, the sound may jump ahead in the pass and go on
// from there (see the restart test), and its longest stretch counts. Returns the fault, or "".
std::string checkRecording(const Samples& stereo, double scale, bool fromPassStart,
                           std::size_t atLeast, bool skipsAllowed = false) {
  static const auto pcm = sonicsend::encodePass(sonicsend::Layout::framed, u"HomeNet", u"secret");
  static const Samples pass = samplesOf(pcm.value().pcm);
  const std::size_t passFrames = pass.size() / 2;
  const double tolerance = 2;  // the server scales in fixed point: a step off either way
  const std::size_t frames = stereo.size() / 2;
  const auto expected = [&](std::size_t k) { return pass[2 * (k % passFrames)] * scale; };
  const auto matches = [&](std::size_t i, std::size_t k) {
    return i < frames && std::abs(stereo[2 * i] - expected(k)) <= tolerance &&
           std::abs(stereo[2 * i + 1] - expected(k)) <= tolerance;
  };
  // Where in the pass the sound from frame `from` is (the first place where 2048 frames
  // match), and how long it goes on matching.
  std::size_t offset = 0, run = 0;
  const auto follow = [&](std::size_t from) {
    for (offset = 0; offset < passFrames; ++offset) {
      for (run = 0; matches(from + run, offset + run); ++run) {
      }
      if (run >= 2048) return;
    }
  };
  const auto silentFrom = [&](std::size_t frame) {
    return std::all_of(stereo.begin() + std::ptrdiff_t(2 * std::min(frame, frames)), stereo.end(),
                       [](std::int16_t s) { return s == 0; });
  };
  std::size_t first = 0;  // the first frame of sound
  while (first < frames && stereo[2 * first] == 0 && stereo[2 * first + 1] == 0) ++first;
  follow(first);
  // Samples of the pass that round to silence may precede the first sound.
  bool leadIsSilent = offset <= first;
  for (std::size_t k = 0; k < offset; ++k) leadIsSilent &= std::abs(expected(k)) <= tolerance;
  const std::string where = "the sound begins at sample " + std::to_string(offset) +
                            " of the pass and matches it for " + std::to_string(run) + " samples";
  std::size_t end = first + run, longest = run;
  while (skipsAllowed && run >= 2048 && !silentFrom(end)) {
    follow(end);
    end += run;
    longest = std::max(longest, run);
  }
  if (fromPassStart && !leadIsSilent) return "the start was lost: " + where;
  if (!silentFrom(end)) return "a gap or a fault: " + where;
  return longest < atLeast ? "too short: " + where : "";
}

// The reference receiver hears the credentials in the left channel of the recording.
void expectHeard(const Samples& stereo) {
  std::vector<float> left;
  for (std::size_t i = 0; i < stereo.size(); i += 2) left.push_back(stereo[i] / 32768.0f);
  const auto heard = sonicsend::receiver::decode(left, kSampleRate);
  ASSERT_TRUE(heard.decoded) << sonicsend::receiver::describe(heard.failure);
  EXPECT_EQ(heard.decoded->message.ssid, "HomeNet");
  EXPECT_EQ(heard.decoded->message.key, "secret");
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}
std::string sinkVolume() {
  return output("pactl get-sink-volume " + env("PULSE_TEST_SINK"));
}

// The sink at 65 %, as the server scales the samples.
const double kSendLevel = std::pow(0.65, 3);
const std::string kPlay = SONICSEND_CLI " play --ssid HomeNet --key secret --seconds ";

class RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (dir.empty()) GTEST_SKIP() << "run through scripts/with-pulse.sh";
  }
  // Records the sink's monitor into `name` for `seconds`; returns once it has begun.
  Process record(const std::string& name, const std::string& seconds) {
    const fs::path path = dir / name;
    Process recorder = start(
        "exec timeout -s INT " + seconds + " parecord --raw --device=" + env("PULSE_TEST_MONITOR") +
        " --format=s16le --rate=44100 --channels=2 --latency-msec=20 " + path.string());
    for (int tries = 0; tries < 100 && read(path).empty(); ++tries)
      std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(read(path).empty()) << "parecord records nothing";
    return recorder;
  }
  // Plays for 6 s, runs the server script named by `script` after 1.5 s and records 3 s after
  // it; the command must end well. Its log goes to `name`.err, the recording to `name`.raw.
  Samples playAcross(const char* script, const std::string& name) {
    Process player = start(kPlay + "6 2>" + (dir / (name + ".err")).string());
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(run(env(script)), 0);
    record(name + ".raw", "3").reset();
    EXPECT_EQ(exitCode(pclose(player.release())), 0);
    return samplesOf(read(dir / (name + ".raw")));
  }
  // How often `line` is in the file `name`.
  std::size_t count(const std::string& name, const std::string& line) const {
    return occurrences(read(dir / name), line);
  }
  const fs::path dir = env("PULSE_TEST_DIR");
};

TEST_F(RealServer, PlaysWholePassesWithoutAGapAtTheSinkVolume) {
  // Something else changed the level since the last send: the start must set it again.
  ASSERT_EQ(run("pactl set-sink-volume " + env("PULSE_TEST_SINK") + " 30%"), 0);
  Process recorder = record("monitor.raw", "6");
  EXPECT_EQ(run(kPlay + "4"), 0);
  recorder.reset();

  const Samples stereo = samplesOf(read(dir / "monitor.raw"));
  // 2.5 s are more than two passes of 1.16 s; the command's 4 s leave room for a start that a
  // sanitizer's build makes slow.
  EXPECT_EQ(checkRecording(stereo, kSendLevel, true, 5 * kSampleRate / 2), "");
  expectHeard(stereo);
}

// A fresh server's sink starts at full level: the sender sets its level again as soon as its
// stream has a device, before it plays. A recorder that joins the sink's monitor while a stream
// plays makes the server skip a few hundred frames of that stream (so it does with no restart
// at all, and more often when the sender runs slowly); after a restart the stream may begin
// before the recorder has joined, so the sound may jump ahead in the pass. It must play a
// second of the pass without a gap, at the send level, and nothing else.
TEST_F(RealServer, PlayingGoesOnAfterTheServerRestartsAtTheSendLevel) {
  const Samples after = playAcross("PULSE_TEST_RESTART", "restart");
  EXPECT_EQ(checkRecording(after, kSendLevel, false, kSampleRate, true), "")
      << "a second of the pass at least";
}

TEST_F(RealServer, PlayingWaitsForAServerThatStartsLaterAndSetsItsLevelOrExitsNonZero) {
  ASSERT_EQ(run(env("PULSE_TEST_STOP")), 0);
  EXPECT_EQ(run(kPlay + "1.5 2>" + (dir / "never.err").string()), 1);
  EXPECT_EQ(count("never.err", "no sound device came"), 1u) << read(dir / "never.err");

  const Samples later = playAcross("PULSE_TEST_START", "later");
  EXPECT_EQ(checkRecording(later, kSendLevel, false, kSampleRate), "");
  expectHeard(later);
  EXPECT_EQ(count("later.err", "no sound output device"), 1u) << read(dir / "later.err");
  // The level it found on the fresh server, full on both channels, is put back.
  EXPECT_EQ(occurrences(sinkVolume(), " 100% "), 2u) << sinkVolume();
}

// A control with no mixer behind it: no level is read, and the warning gives ALSA's reason.
TEST(MasterVolume, OfAControlWithNoMixerIsNoneAndTheWarningSaysWhy) {
  std::vector<std::string> lines;
  sonicsend::setLogSink([&](auto, std::string_view line) { lines.emplace_back(line); });
  sonicsend::platform::AlsaMasterVolume master("hw:99");
  EXPECT_EQ(master.levels(), std::nullopt);
  sonicsend::setLogSink({});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find("(no such element)"), std::string::npos) << lines[0];
}

// Levels read from a device with more channels than the one there now (a server restarted with
// another sink): each channel there gets its own, the others are dropped.
TEST_F(RealServer, LevelsPutBackOnFewerChannelsSetTheChannelsThereAre) {
  using Levels = sonicsend::platform::AlsaMasterVolume::Levels;
  sonicsend::platform::AlsaMasterVolume master("default");
  const auto found = master.levels();
  ASSERT_EQ(found.value_or(Levels()).size(), 2u);
  master.setLevels({1000, 2000, 3000});
  EXPECT_EQ(master.levels(), Levels({1000, 2000}));
  master.setLevels(*found);
}

// The command line sends on the device and at the level asked for, and puts back the level it
// found when it ends, by its time or by a signal.
TEST_F(RealServer, PlayOnANamedDeviceAtAGivenLevelPutsTheLevelBack) {
  const std::string sink = env("PULSE_TEST_SINK");
  ASSERT_EQ(run("pactl set-sink-volume " + sink + " 100%"), 0);
  const std::string found = sinkVolume();
  EXPECT_NE(output(SONICSEND_CLI " play --list-devices").find("pulse\t"), std::string::npos);
  EXPECT_NE(output(SONICSEND_CLI " listen --list-devices").find("pulse\t"), std::string::npos);

  Process recorder = record("named.raw", "4");
  EXPECT_EQ(run(kPlay + "2.5 --device pulse --volume 50"), 0);
  recorder.reset();
  EXPECT_EQ(
      checkRecording(samplesOf(read(dir / "named.raw")), std::pow(0.5, 3), true, 2 * kSampleRate),
      "");
  EXPECT_EQ(sinkVolume(), found);

  for (const char* stop : {"TERM", "INT", "HUP"}) {
    EXPECT_EQ(run("sh -c '" + kPlay + "30 & sleep 1; kill -" + stop + " $!; wait $!'"), 0) << stop;
    EXPECT_EQ(sinkVolume(), found) << stop;
  }
  // keep: the mixer is left alone. The recorder outlasts the second of sound by two, as a
  // sender built with sanitizers may take more than one to start.
  ASSERT_EQ(run("pactl set-sink-volume " + sink + " 20%"), 0);
  Process kept = record("kept.raw", "3");
  EXPECT_EQ(run(kPlay + "1 --volume keep"), 0);
  kept.reset();
  EXPECT_EQ(
      checkRecording(samplesOf(read(dir / "kept.raw")), std::pow(0.2, 3), true, kSampleRate / 2),
      "");
}

}  // namespace
