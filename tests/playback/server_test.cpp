// `sonicsend play` through a real sound server: a private PulseAudio with a null sink (started
// by tests/support/with-pulse.sh). The sink's monitor is recorded while the command plays, and
// the recording must hold our pass, whole and repeated without a gap, scaled by the sink volume.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
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

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Samples = std::vector<std::int16_t>;  // interleaved stereo unless said otherwise
static_assert(std::endian::native == std::endian::little, "recordings are s16le");

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

Samples readSamples(const fs::path& path) {
  Samples samples(fs::file_size(path) / 2);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
  return samples;
}

// The left channel of the pass, as the sender renders it.
const Samples& homeNetPass() {
  static const Samples pass = [] {
    const auto pcm = sonicsend::encodePass(sonicsend::Layout::framed, u"HomeNet", u"secret");
    Samples left(pcm.value().pcm.size() / 4);
    for (std::size_t i = 0; i < left.size(); ++i) std::memcpy(&left[i], &pcm->pcm[4 * i], 2);
    return left;
  }();
  return pass;
}

struct Verdict {
  std::string fault;  // empty: the recording is sound
  std::size_t wholePasses = 0;
  double fittedScale = 0;  // least-squares scale of the pass to the recording
  std::size_t samplesMatched = 0;
};

// Checks that the recording is silence, then `pass` scaled by `scale` over and over without a
// gap, then silence or the end. With `fromPassStart`, the sound must begin with the pass.
Verdict checkRecording(const Samples& stereo, const Samples& pass, double scale,
                       bool fromPassStart) {
  const double tolerance = 2;  // the server scales in fixed point: a step off either way
  const std::size_t frames = stereo.size() / 2;
  const auto silent = [&](std::size_t i) { return stereo[2 * i] == 0 && stereo[2 * i + 1] == 0; };
  const auto expected = [&](std::size_t k) { return pass[k % pass.size()] * scale; };
  std::size_t first = 0;
  while (first < frames && silent(first)) ++first;
  if (first + 2048 > frames) return {"the recording holds no sound"};

  // Where in the pass the first 2048 samples of sound lie: the highest normalised correlation.
  std::size_t offset = 0;
  double bestScore = -1;
  for (std::size_t candidate = 0; candidate < pass.size(); ++candidate) {
    double dot = 0;
    double energy = 0;
    for (std::size_t j = 0; j < 2048; ++j) {
      dot += expected(candidate + j) * stereo[2 * (first + j)];
      energy += expected(candidate + j) * expected(candidate + j);
    }
    if (energy > 0 && dot / std::sqrt(energy) > bestScore) {
      bestScore = dot / std::sqrt(energy);
      offset = candidate;
    }
  }
  // Samples of the pass that round to silence may precede the first sound; any other lead
  // that is missing is a lost start.
  bool leadIsSilent = offset <= first;
  for (std::size_t k = 0; k < offset; ++k) leadIsSilent &= std::abs(expected(k)) <= tolerance;
  if (fromPassStart && !leadIsSilent) {
    return {"the start was lost: the first sound is sample " + std::to_string(offset)};
  }
  // Frame i of the recording is sample `played` of the endless stream.
  std::size_t i = first;
  std::size_t played = offset;
  double dot = 0;
  double energy = 0;
  for (; i < frames; ++i, ++played) {
    const double want = expected(played);
    if (std::max(std::abs(stereo[2 * i] - want), std::abs(stereo[2 * i + 1] - want)) > tolerance) {
      break;
    }
    dot += want * stereo[2 * i];
    energy += want * want;
  }
  for (std::size_t j = i; j < frames; ++j) {
    if (!silent(j)) {
      return {"gap or fault at recorded sample " + std::to_string(i) + ", sample " +
              std::to_string(played % pass.size()) + " of pass " +
              std::to_string(played / pass.size() + 1)};
    }
  }
  return {"", played / pass.size(), energy > 0 ? scale * dot / energy : 0, i - first};
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool recording(const fs::path& path) {
  return fs::exists(path) && fs::file_size(path) > 0;
}

// Records the sink's monitor into `path` for `seconds`, and returns once it has begun.
Process record(const fs::path& path, const std::string& seconds) {
  Process recorder =
      start("exec timeout -s INT " + seconds + " parecord --device=" + env("PULSE_TEST_MONITOR") +
            " --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 " + path.string());
  for (int tries = 0; tries < 100 && !recording(path); ++tries) std::this_thread::sleep_for(50ms);
  return recorder;
}

const std::string kPlay = SONICSEND_CLI " play --ssid HomeNet --key secret --seconds ";

// The reference receiver hears the credentials in the left channel of the recording.
void expectHeard(const Samples& stereo) {
  std::vector<float> left;
  for (std::size_t i = 0; i < stereo.size(); i += 2) left.push_back(stereo[i] / 32768.0f);
  const auto heard = sonicsend::receiver::decode(left, sonicsend::kSampleRate);
  ASSERT_TRUE(heard.decoded) << sonicsend::receiver::describe(heard.failure);
  EXPECT_EQ(heard.decoded->message.ssid, "HomeNet");
  EXPECT_EQ(heard.decoded->message.key, "secret");
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

TEST(RealServer, PlaysWholePassesWithoutAGapAtTheSinkVolume) {
  const std::string sink = env("PULSE_TEST_SINK");
  if (sink.empty()) GTEST_SKIP() << "run through tests/support/with-pulse.sh";
  const fs::path file = fs::path(env("PULSE_TEST_DIR")) / "monitor.raw";

  // Something else changed the level since the last send: the start must set it again.
  ASSERT_EQ(run("pactl set-sink-volume " + sink + " 30%"), 0);
  Process recorder = record(file, "5");
  ASSERT_TRUE(recording(file)) << "parecord records nothing";
  EXPECT_EQ(run(kPlay + "3"), 0);
  recorder.reset();

  EXPECT_EQ(run("pactl get-sink-volume " + sink + " | tee /dev/stderr | grep -q ' 65% '"), 0);
  const double sinkScale = std::pow(0.65, 3);
  const Samples stereo = readSamples(file);
  const Verdict verdict = checkRecording(stereo, homeNetPass(), sinkScale, true);
  EXPECT_EQ(verdict.fault, "");
  EXPECT_NEAR(verdict.fittedScale, sinkScale, 1e-4);
  EXPECT_GE(verdict.wholePasses, 2u) << "3 s hold more than two passes of 1.16 s";

  expectHeard(stereo);
}

TEST(RealServer, PlayingGoesOnAfterTheServerRestarts) {
  if (env("PULSE_TEST_RESTART").empty()) GTEST_SKIP() << "run through tests/support/with-pulse.sh";
  const fs::path file = fs::path(env("PULSE_TEST_DIR")) / "after-restart.raw";
  Process player = start(kPlay + "6");
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(run(env("PULSE_TEST_RESTART")), 0);

  // The fresh server's sink is at full level: the stream goes on where the sender is.
  Process recorder = record(file, "3");
  ASSERT_TRUE(recording(file));
  recorder.reset();
  EXPECT_EQ(exitCode(pclose(player.release())), 0);

  const Verdict verdict = checkRecording(readSamples(file), homeNetPass(), 1.0, false);
  EXPECT_EQ(verdict.fault, "");
  EXPECT_GE(verdict.samplesMatched, std::size_t{sonicsend::kSampleRate})
      << "less than a second of the pass after the restart";
}

TEST(RealServer, PlayingWaitsForAServerThatStartsLaterOrExitsNonZero) {
  if (env("PULSE_TEST_START").empty()) GTEST_SKIP() << "run through tests/support/with-pulse.sh";
  const fs::path dir(env("PULSE_TEST_DIR"));
  const auto logged = [&](const char* name) { return readFile(dir / name); };
  ASSERT_EQ(run(env("PULSE_TEST_STOP")), 0);
  EXPECT_EQ(run(kPlay + "1.5 2>" + (dir / "never.err").string()), 1);
  EXPECT_EQ(count(logged("never.err"), "no sound output device"), 1u) << logged("never.err");
  EXPECT_EQ(count(logged("never.err"), "no sound device came"), 1u) << logged("never.err");

  Process player = start(kPlay + "6 2>" + (dir / "later.err").string());
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(run(env("PULSE_TEST_START")), 0);
  Process recorder = record(dir / "later.raw", "3");
  ASSERT_TRUE(recording(dir / "later.raw"));
  recorder.reset();
  EXPECT_EQ(exitCode(pclose(player.release())), 0);
  EXPECT_EQ(count(logged("later.err"), "no sound output device"), 1u) << logged("later.err");
  expectHeard(readSamples(dir / "later.raw"));
}

}  // namespace
