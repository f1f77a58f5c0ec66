// `sonicsend play` through a real sound server: a private PulseAudio with a null sink (started
// by tests/support/with-pulse.sh). The sink's monitor is recorded while the command plays, and
// the recording must hold our pass, whole and repeated without a gap, scaled by the sink volume.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "encoder.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A child process with its standard output in `output` (or inherited when empty).
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& output = {}) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int number) const { kill(pid_, number); }
  // The exit status, or -1 when the child did not exit normally.
  int wait() {
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

int run(const std::vector<std::string>& args, const std::string& output = {}) {
  Child child(args, output);
  return child.wait();
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::int16_t> readSamples(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto lo = static_cast<std::uint8_t>(bytes[2 * i]);
    const auto hi = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | hi << 8));
  }
  return samples;
}

// The left channel of a pass, as the sender renders it.
std::vector<std::int16_t> leftOfPass(const std::vector<std::uint8_t>& pcm) {
  std::vector<std::int16_t> left(pcm.size() / 4);
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] =
        static_cast<std::int16_t>(static_cast<std::uint16_t>(pcm[4 * i] | pcm[4 * i + 1] << 8));
  }
  return left;
}

struct Verdict {
  std::string fault;  // empty: the recording is sound
  std::size_t wholePasses = 0;
  double fittedScale = 0;  // least-squares scale of the pass to the recording
  std::size_t samplesMatched = 0;
};

// Where in the pass the first recorded window of sound lies: the offset with the highest
// normalised correlation.
std::size_t alignByCorrelation(const std::vector<std::int16_t>& left, std::size_t first,
                               const std::vector<std::int16_t>& pass) {
  const std::size_t window = std::min<std::size_t>(2048, left.size() - first);
  std::size_t best = 0;
  double bestScore = -1;
  for (std::size_t offset = 0; offset < pass.size(); ++offset) {
    double dot = 0;
    double energy = 0;
    for (std::size_t j = 0; j < window; ++j) {
      const double expected = pass[(offset + j) % pass.size()];
      dot += expected * left[first + j];
      energy += expected * expected;
    }
    const double score = energy > 0 ? dot / std::sqrt(energy) : 0;
    if (score > bestScore) {
      bestScore = score;
      best = offset;
    }
  }
  return best;
}

// Checks that the recording (interleaved stereo) is silence, then `pass` scaled by `scale`
// over and over without a gap, then silence or the end. With `fromPassStart`, the sound must
// begin with the first sample of the pass.
Verdict checkRecording(const std::vector<std::int16_t>& stereo,
                       const std::vector<std::int16_t>& pass, double scale, double tolerance,
                       bool fromPassStart) {
  std::vector<std::int16_t> left(stereo.size() / 2);
  std::vector<std::int16_t> right(stereo.size() / 2);
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = stereo[2 * i];
    right[i] = stereo[2 * i + 1];
  }
  std::size_t first = 0;
  while (first < left.size() && left[first] == 0 && right[first] == 0) ++first;
  if (first + 2048 > left.size()) return {"the recording holds no sound"};

  const auto expected = [&](std::size_t k) { return pass[k % pass.size()] * scale; };
  const std::size_t offset = alignByCorrelation(left, first, pass);
  // Samples of the pass that round to silence may precede the first sound; any other lead
  // that is missing is a lost start.
  for (std::size_t k = 0; fromPassStart && k < offset; ++k) {
    if (std::abs(expected(k)) > tolerance || offset > first) {
      return {"the start was lost: the first sound is sample " + std::to_string(offset) +
              " of the pass"};
    }
  }
  // Sample i of the recording is sample `played` of the endless stream.
  std::size_t i = first;
  std::size_t played = offset;
  double dot = 0;
  double energy = 0;
  for (; i < left.size(); ++i, ++played) {
    const double want = expected(played);
    if (std::abs(left[i] - want) > tolerance || std::abs(right[i] - want) > tolerance) break;
    dot += want * left[i];
    energy += want * want;
  }
  for (std::size_t j = i; j < left.size(); ++j) {
    if (left[j] != 0 || right[j] != 0) {
      std::ostringstream where;
      where << "gap or fault at recorded sample " << i << " (pass " << played / pass.size() + 1
            << ", sample " << played % pass.size() << "): expected " << expected(played) << ", got "
            << left[i] << "/" << right[i];
      return {where.str()};
    }
  }
  return {"", played / pass.size(), energy > 0 ? scale * dot / energy : 0, i - first};
}

// Records the sink's monitor into `path` until stopped.
class Recorder {
 public:
  explicit Recorder(const fs::path& path)
      : child_({"parecord", "--device=" + env("PULSE_TEST_MONITOR"), "--raw", "--format=s16le",
                "--rate=44100", "--channels=2", "--latency-msec=20"},
               path.string()) {
    for (int tries = 0; tries < 100 && (!fs::exists(path) || fs::file_size(path) == 0); ++tries) {
      std::this_thread::sleep_for(50ms);
    }
    recording_ = fs::exists(path) && fs::file_size(path) > 0;
  }
  bool recording() const { return recording_; }
  void stop() {
    child_.signal(SIGINT);
    child_.wait();
  }

 private:
  Child child_;
  bool recording_ = false;
};

const std::vector<std::int16_t>& homeNetPass() {
  static const auto pass = leftOfPass(
      sonicsend::encodePass(sonicsend::Layout::framed, u"HomeNet", u"secret").value().pcm);
  return pass;
}

const std::vector<std::string> kPlayHomeNet = {SONICSEND_CLI, "play",   "--ssid",   "HomeNet",
                                               "--key",       "secret", "--seconds"};

std::vector<std::string> playFor(const char* seconds) {
  auto args = kPlayHomeNet;
  args.emplace_back(seconds);
  return args;
}

TEST(RealServer, PlaysWholePassesWithoutAGapAtTheSinkVolume) {
  const std::string sink = env("PULSE_TEST_SINK");
  if (sink.empty()) GTEST_SKIP() << "run through tests/support/with-pulse.sh";
  const fs::path dir = env("PULSE_TEST_DIR");
  const fs::path volume = dir / "volume.txt";

  // Something else changed the level since the last send: the start must set it again.
  ASSERT_EQ(run({"pactl", "set-sink-volume", sink, "30%"}), 0);
  Recorder recorder(dir / "monitor.raw");
  ASSERT_TRUE(recorder.recording()) << "parecord records nothing";
  EXPECT_EQ(run(playFor("3")), 0);
  std::this_thread::sleep_for(500ms);
  recorder.stop();

  ASSERT_EQ(run({"pactl", "get-sink-volume", sink}, volume.string()), 0);
  EXPECT_NE(readText(volume).find(" 65% "), std::string::npos) << readText(volume);

  // The server scales in fixed point, which may take a sample one step further down.
  const double sinkScale = std::pow(0.65, 3);
  const Verdict verdict =
      checkRecording(readSamples(dir / "monitor.raw"), homeNetPass(), sinkScale, 2.0, true);
  EXPECT_EQ(verdict.fault, "");
  EXPECT_NEAR(verdict.fittedScale, sinkScale, 1e-4);
  EXPECT_GE(verdict.wholePasses, 2u) << "3 s hold more than two passes of 1.16 s";

  // And a listener hears the credentials in it: the reference receiver decodes the recording.
  const auto recorded = readSamples(dir / "monitor.raw");
  std::vector<float> left;
  for (std::size_t i = 0; i < recorded.size(); i += 2) left.push_back(recorded[i] / 32768.0f);
  const auto heard = sonicsend::receiver::decode(left, 44100.0);
  ASSERT_TRUE(heard.decoded) << sonicsend::receiver::describe(heard.failure);
  EXPECT_EQ(heard.decoded->message.ssid, "HomeNet");
  EXPECT_EQ(heard.decoded->message.key, "secret");
}

TEST(RealServer, PlayingGoesOnAfterTheServerRestarts) {
  if (env("PULSE_TEST_RESTART").empty()) GTEST_SKIP() << "run through tests/support/with-pulse.sh";
  const fs::path dir = env("PULSE_TEST_DIR");
  Child player(playFor("6"));
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(run({env("PULSE_TEST_RESTART")}), 0);

  // The fresh server's sink is at full level: the stream goes on where the sender is.
  Recorder recorder(dir / "after-restart.raw");
  ASSERT_TRUE(recorder.recording());
  std::this_thread::sleep_for(2500ms);
  recorder.stop();
  EXPECT_EQ(player.wait(), 0);

  const Verdict verdict =
      checkRecording(readSamples(dir / "after-restart.raw"), homeNetPass(), 1.0, 2.0, false);
  EXPECT_EQ(verdict.fault, "");
  EXPECT_GE(verdict.samplesMatched, 44100u) << "less than a second of the pass after the restart";
}

}  // namespace
