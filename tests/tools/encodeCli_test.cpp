// `sonicsend encode` as a user runs it: exit status, message and the WAV it leaves.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <filesystem>
#include <fstream>

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
  const fs::path dir_ = fs::temp_directory_path() / ("encode-cli-" + std::to_string(getpid()));
  const std::string out_ = dir_ / "out.wav";
};

// Each row writes the PCM it gives, or is refused with exit status 2 and one line that names
// the fault (the row's name), leaving no file.
TEST_F(EncodeCli, WritesThePassesOfThePcmOrRefusesInOneLine) {
  const std::string s40(40, 'S'), k54(54, 'k');  // 94 units: one too many for the framed layout
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<short> pcm = {};  // none: refused
    const char* before = "";
  } table[] = {
      // UTF-8 arguments become UTF-16 code units: é is one unit, the emoji two.
      {"utf8_in_three_passes",
       {"--ssid", "Caf\xC3\xA9", "--key", "\xF0\x9F\x98\x81", "--passes", "3", "-o", out_},
       passesOf(Layout::framed, u"Caf\u00E9", u"\U0001F601", 3)},
      {"bare_holds_two_more_units",
       {"--ssid", s40, "--key", k54 + "k", "--bare", "-o", out_},
       passesOf(Layout::bare, std::u16string(40, u'S'), std::u16string(55, u'k'), 1)},
      {"key_from_the_first_line_of_stdin",
       {"--ssid", "net", "--key", "-", "-o", out_},
       passesOf(Layout::framed, u"net", u"a key with spaces", 1),
       "printf 'a key with spaces\\r\\nnot this line\\n' |"},
      {"at most 93", {"--ssid", s40, "--key", k54, "-o", out_}},
      {"at most 95", {"--ssid", s40 + "SS", "--key", k54, "--bare", "-o", out_}},
      {"--key", {"--ssid", "net", "-o", out_}, {}, ": |"},
      {"no key", {"--ssid", "net", "--key", "-", "-o", out_}, {}, ": |"},
      {"--output", {"--ssid", "net", "--key", "k"}},
      {"UTF-8", {"--ssid", "\xC3", "--key", "k", "-o", out_}},
      {"--passes", {"--ssid", "net", "--key", "k", "--passes", "0", "-o", out_}},
      {"cannot write", {"--ssid", "net", "--key", "k", "-o", dir_ / "missing" / "x.wav"}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    auto arguments = row.arguments;
    arguments.insert(arguments.begin(), "encode");
    const CliRun run = runCli(SONICSEND_CLI, arguments, row.before);
    if (row.pcm.empty()) {
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find(row.name), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
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
  const CliRun full = runCli(SONICSEND_CLI, encode, "trap '' XFSZ; ulimit -f 64;");
  EXPECT_EQ(full.status, 2);
  EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::file_size(dir_ / "real.wav"), 8u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "no temporary file left";

  ASSERT_EQ(runCli(SONICSEND_CLI, encode).status, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(wavSamples(dir_ / "real.wav"), passesOf(Layout::framed, u"net", u"k", 20));
}

// RIFF sizes are 32-bit: beyond them the file is RF64. The 93 units of the longest message
// make a pass of 4.9 MB, so 3500 passes exceed 4 GiB.
TEST(WavFormat, SwitchesToRf64WhereRiffSizesWouldWrap) {
  using cli::wavFormatFor;
  const std::uint64_t pass = encodePass(Layout::framed, std::u16string(93, u'x'), u"")->pcm.size();
  EXPECT_EQ(wavFormatFor(800 * pass), SF_FORMAT_WAV);
  EXPECT_EQ(wavFormatFor(3500 * pass), SF_FORMAT_RF64);
  EXPECT_EQ(wavFormatFor(0xFFFFFFFFull - 44), SF_FORMAT_RF64);
}

}  // namespace
}  // namespace sonicsend::testing
