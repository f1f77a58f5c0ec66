// `sonicsend encode` as a user runs it: exit status, message and the WAV it leaves.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "encoder.h"
#include "runCli.h"
#include "wavFormat.h"

namespace sonicsend::testing {
namespace {

namespace fs = std::filesystem;

// The samples of a 16-bit stereo WAV file at 44 100 Hz; none when the file is anything else.
std::vector<short> wavSamples(const fs::path& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return {};
  std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
  sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  const bool expected = info.samplerate == kSampleRate && info.channels == 2 &&
                        info.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  return expected ? samples : std::vector<short>{};
}

// `passes` copies of the encoder's pass (its PCM bytes are little-endian, as the host's shorts).
std::vector<short> passesOf(Layout layout, std::u16string_view ssid, std::u16string_view key,
                            std::size_t passes) {
  const auto pcm = encodePass(layout, ssid, key)->pcm;
  std::vector<short> samples(passes * pcm.size() / 2);
  for (std::size_t p = 0; p < passes; ++p)
    std::memcpy(&samples[p * pcm.size() / 2], pcm.data(), pcm.size());
  return samples;
}

class EncodeCli : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) found.insert(entry.path().filename());
    return found;
  }
  // Starts an encode of 10 000 passes (2 GB) to out.wav, SIGINT, SIGTERM and SIGHUP at their
  // defaults, and returns once its temporary file is there; 0 when it ended first.
  pid_t startLongEncode() const {
    std::vector<std::string> arguments = {SONICSEND_CLI, "encode",   "--ssid", "net", "--key",
                                          "k",           "--passes", "10000",  "-o",  out_};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    for (const int ending : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, ending);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return 0;
    while (names().empty()) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pid;
  }
  const fs::path dir_ = fs::temp_directory_path() / ("encode-cli-" + std::to_string(getpid()));
  const std::string out_ = dir_ / "out.wav";
};

// Each row of command-line input writes the PCM it gives, or is refused with exit status 2 and
// one line that names the fault (the row's name), leaving no file.
TEST_F(EncodeCli, WritesThePassesOfThePcmOrRefusesInOneLine) {
  const std::string s40(40, 'S'), k54(54, 'k');  // 94 units: one too many for the framed layout
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<short> pcm = {};  // none: refused
    std::string before = "";
  } table[] = {
      // UTF-8 arguments become UTF-16 code units, each sent as its low byte: Latin-1 as typed.
      {"latin1_in_three_passes",
       {"encode", "--ssid", "Caf\xC3\xA9", "--key", "\xC3\xBF", "--passes", "3", "-o", out_},
       passesOf(Layout::framed, u"Caf\u00E9", u"\u00FF", 3)},
      {"bare_holds_two_more_units",
       {"encode", "--ssid", s40, "--key", k54 + "k", "--bare", "-o", out_},
       passesOf(Layout::bare, std::u16string(40, u'S'), std::u16string(55, u'k'), 1)},
      {"key_from_the_first_line_of_stdin",
       {"encode", "--ssid", "net", "--key", "-", "-o", out_},
       passesOf(Layout::framed, u"net", u"a key with spaces", 1),
       "printf 'a key with spaces\\r\\nnot this line\\n' |"},
      {"empty_after_equals_is_empty",
       {"encode", "--ssid=net", "-o", out_, "--key="},
       passesOf(Layout::framed, u"net", u"", 1)},
      {"whole_file_to_standard_output",
       {"encode", "--ssid", "net", "--key", "k", "--passes", "2", "-o", "-"},
       passesOf(Layout::framed, u"net", u"k", 2),
       "exec >" + shellQuoted(out_) + ";"},
      {"ssid_holds_the_other_layouts_separator",
       {"encode", "--ssid", "Home\rNet\x7F", "--key", "k", "-o", out_},
       passesOf(Layout::framed, u"Home\rNet\x7F", u"k", 1)},
      {"at most 93", {"encode", "--ssid", s40, "--key", k54, "-o", out_}},
      {"at most 95", {"encode", "--ssid", s40 + "SS", "--key", k54, "--bare", "-o", out_}},
      {"--key", {"encode", "--ssid", "net", "-o", out_}, {}, ": |"},
      {"no key", {"encode", "--ssid", "net", "--key", "-", "-o", out_}, {}, ": |"},
      {"longer than 4096 bytes",
       {"encode", "--ssid", "net", "--key", "-", "-o", out_},
       {},
       "head -c 100000 /dev/zero |"},
      {"not expected: x", {"encode", "--ssid=", "x", "--key", "y", "-o", out_}},
      {"--ssid is empty", {"encode", "--ssid", "", "--key", "k", "-o", out_}},
      {"--ssid is empty", {"play", "--ssid", "", "--key", "k", "--seconds", "1"}},
      {"\"\xE6\x88\x91\" (U+6211)",
       {"encode", "--ssid", "\xE6\x88\x91\xE7\x9A\x84", "--key", "k", "-o", out_}},
      {"(U+1F601)", {"encode", "--ssid", "net", "--key", "\xF0\x9F\x98\x81", "-o", out_}},
      {"holds U+0000",
       {"encode", "--ssid", "net", "--key", "-", "-o", out_},
       {},
       "printf 'a\\000b\\n' |"},
      {"(U+0100)", {"play", "--ssid", "net", "--key", "\xC4\x80", "--seconds", "1"}},
      // A receiver would split these at the wrong byte: named by code point, never written raw.
      {"--key holds U+001F, a control character",
       {"encode", "--ssid", "HomeNet", "--key", "se\037cret", "--passes", "3", "-o", out_}},
      {"--key holds U+000D",
       {"play", "--ssid", "HomeNet", "--key", "se\rcret", "--bare", "--seconds", "1"}},
      {"--ssid holds U+001F, which a receiver would read as the end of the SSID",
       {"play", "--ssid", "Home\x1FNet", "--key", "k", "--seconds", "1"}},
      {"--ssid holds U+000D",
       {"encode", "--ssid", "Home\rNet", "--key", "k", "--bare", "-o", out_}},
      {"--output", {"encode", "--ssid", "net", "--key", "k"}},
      {"UTF-8", {"encode", "--ssid", "\xC3", "--key", "k", "-o", out_}},
      {"--passes", {"encode", "--ssid", "net", "--key", "k", "--passes", "0", "-o", out_}},
      {"cannot write", {"encode", "--ssid", "net", "--key", "k", "-o", dir_ / "missing" / "x.wav"}},
      {"no ALSA playback device named \"no_such_pcm\"",
       {"play", "--ssid", "net", "--key", "k", "--device", "no_such_pcm", "--seconds", "1"}},
      {"no command named \"frobnicate\"", {"frobnicate", "--ssid", "net"}},
      {"no such file", {"decode", dir_ / "missing.wav"}},
      {"it is a directory", {"decode", dir_}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    const CliRun run = runCli(SONICSEND_CLI, row.arguments, row.before);
    if (row.pcm.empty()) {
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find(row.name), std::string::npos) << run.err;
      const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
      EXPECT_TRUE(run.err.ends_with('\n') && std::ranges::count_if(run.err, control) == 1)
          << run.err;
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(wavSamples(out_), row.pcm);
      fs::remove(out_);
    }
    EXPECT_TRUE(fs::is_empty(dir_));
  }
}

TEST_F(EncodeCli, FailureLeavesTheLinkAndItsTargetAsTheyWere) {
  const fs::path link = dir_ / "link.wav";
  std::ofstream(dir_ / "real.wav") << "previous";
  fs::create_symlink("real.wav", link);
  const std::vector<std::string> encode = {"encode",   "--ssid", "net", "--key", "k",
                                           "--passes", "20",     "-o",  link};
  // Writes beyond 64 blocks fail, as on a full disk, instead of ending the program.
  const CliRun full = runCli(SONICSEND_CLI, encode, "ulimit -f 64;");
  EXPECT_EQ(full.status, 2);
  EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::file_size(dir_ / "real.wav"), 8u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "no temporary file left";

  ASSERT_EQ(runCli(SONICSEND_CLI, encode).status, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(wavSamples(dir_ / "real.wav"), passesOf(Layout::framed, u"net", u"k", 20));
}

// Ended by a signal, encode removes its temporary file, which holds the key as sound, and ends
// by that signal (status 128 + N in a shell); killed outright it cannot, and the next encode to
// the same target does, but not the file of a process still running.
TEST_F(EncodeCli, NoTemporaryFileOutlivesAnEncode) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(strsignal(signal));
    const pid_t encode = startLongEncode();
    ASSERT_GT(encode, 0);
    kill(encode, signal);
    int status = 0;
    waitpid(encode, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(names().size(), signal == SIGKILL ? 1u : 0u);
  }
  const std::string running = ".out.wav." + std::to_string(getpid()) + ".aZ09bY";
  std::ofstream(dir_ / running).put('x');
  EXPECT_EQ(runCli(SONICSEND_CLI, {"encode", "--ssid", "net", "--key", "k", "-o", out_}).status, 0);
  EXPECT_EQ(names(), std::set<std::string>({running, "out.wav"}));
}

// RIFF sizes are 32-bit: beyond them the file is RF64. The 93 units of the longest message
// make a pass of 4.9 MB, so 3500 passes exceed 4 GiB. Both headers, written before the data,
// read back as the samples that follow them.
TEST_F(EncodeCli, HeaderSwitchesToRf64WhereRiffSizesWouldWrap) {
  using cli::Container;
  using cli::containerFor;
  const std::uint64_t pass = encodePass(Layout::framed, std::u16string(93, u'x'), u"")->pcm.size();
  EXPECT_EQ(containerFor(800 * pass), Container::wav);
  EXPECT_EQ(containerFor(3500 * pass), Container::rf64);
  EXPECT_EQ(containerFor(0xFFFFFFFFull - 44), Container::rf64);
  const auto pcm = encodePass(Layout::framed, u"net", u"k")->pcm;
  for (const Container container : {Container::wav, Container::rf64}) {
    std::ofstream file(out_, std::ios::binary);
    for (const auto& bytes : {cli::wavHeader(pcm.size(), container), pcm})
      file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    file.close();
    SF_INFO info{};
    SNDFILE* sound = sf_open(out_.c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK,
              container == Container::wav ? SF_FORMAT_WAV : SF_FORMAT_RF64);
    std::vector<short> samples(pcm.size() / 2 + 2);  // a frame more than the data
    EXPECT_EQ(sf_read_short(sound, samples.data(), sf_count_t(samples.size())), pcm.size() / 2);
    sf_close(sound);
    samples.resize(pcm.size() / 2);
    EXPECT_EQ(samples, passesOf(Layout::framed, u"net", u"k", 1));
  }
}

}  // namespace
}  // namespace sonicsend::testing
