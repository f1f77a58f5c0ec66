// `sonicsend encode` as a user runs it: exit status, message and the WAV it leaves.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encoder.h"
#include "runCli.h"
#include "wavFormat.h"

namespace fs = std::filesystem;

namespace {

using sonicsend::testing::CliRun;

CliRun runCli(const std::vector<std::string>& arguments) {
  return sonicsend::testing::runCli(SONICSEND_CLI, arguments);
}

std::vector<short> readWav(const fs::path& path, SF_INFO& info) {
  info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return {};
  std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
  sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return samples;
}

std::vector<short> asSamples(const std::vector<std::uint8_t>& pcm) {
  std::vector<short> samples;
  for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
    samples.push_back(static_cast<short>(pcm[i] | pcm[i + 1] << 8));
  }
  return samples;
}

class EncodeCli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("encode-cli-" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(EncodeCli, WritesTheRequestedPassesOfThePcm) {
  const fs::path out = dir_ / "net.wav";
  // UTF-8 arguments become UTF-16 code units: é is one unit, the emoji two.
  const CliRun run = runCli(
      {"encode", "--ssid", "Caf\xC3\xA9", "--key", "\xF0\x9F\x98\x81", "--passes", "3", "-o", out});
  ASSERT_EQ(run.status, 0) << run.err;
  SF_INFO info;
  const auto samples = readWav(out, info);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const auto pass =
      asSamples(sonicsend::encodePass(sonicsend::Layout::framed, u"Caf\u00E9", u"\U0001F601")->pcm);
  ASSERT_EQ(samples.size(), 3 * pass.size());
  for (std::size_t p = 0; p < 3; ++p) {
    EXPECT_TRUE(
        std::equal(pass.begin(), pass.end(), samples.begin() + static_cast<long>(p * pass.size())));
  }
}

TEST_F(EncodeCli, BareLayoutAcceptsTwoMoreUnits) {
  const fs::path out = dir_ / "bare.wav";
  const std::string ssid(40, 'S'), key(55, 'k');
  ASSERT_EQ(runCli({"encode", "--ssid", ssid, "--key", key, "--bare", "-o", out}).status, 0);
  SF_INFO info;
  const auto samples = readWav(out, info);
  const std::u16string ssid16(40, u'S'), key16(55, u'k');
  EXPECT_EQ(samples, asSamples(sonicsend::encodePass(sonicsend::Layout::bare, ssid16, key16)->pcm));
}

TEST_F(EncodeCli, RefusesWithStatusTwoAndLeavesNoFile) {
  const fs::path out = dir_ / "refused.wav";
  const std::string ssid(40, 'S'), key(54, 'k');  // 94 units: one too many for the framed layout
  struct Case {
    std::vector<std::string> arguments;
    std::string named;
  };
  const std::vector<Case> cases = {
      {{"encode", "--ssid", ssid, "--key", key, "-o", out}, "at most 93"},
      {{"encode", "--ssid", ssid + "SS", "--key", key, "--bare", "-o", out}, "at most 95"},
      {{"encode", "--ssid", "net", "-o", out}, "--key"},
      {{"encode", "--ssid", "net", "--key", "k"}, "--output"},
      {{"encode", "--ssid", "\xC3", "--key", "k", "-o", out}, "UTF-8"},
      {{"encode", "--ssid", "net", "--key", "k", "--passes", "0", "-o", out}, "--passes"},
      {{"encode", "--ssid", "net", "--key", "k", "-o", (dir_ / "missing" / "x.wav").string()},
       "cannot write"},
  };
  for (const auto& c : cases) {
    const CliRun run = runCli(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
  }
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(EncodeCli, FailureLeavesTheLinkAndItsTargetAsTheyWere) {
  const fs::path target = dir_ / "real.wav";
  const fs::path link = dir_ / "link.wav";
  std::ofstream(target) << "previous";
  fs::create_symlink(target.filename(), link);
  // Writes beyond 64 blocks fail, as on a full disk, instead of ending the program.
  const CliRun full = sonicsend::testing::runCli(
      SONICSEND_CLI, {"encode", "--ssid", "net", "--key", "k", "--passes", "20", "-o", link},
      {"trap '' XFSZ; ulimit -f 64;", ""});
  EXPECT_EQ(full.status, 2);
  EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(std::ifstream(target).rdbuf()->sgetc(), 'p');
  EXPECT_EQ(fs::file_size(target), 8u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "no temporary file left";

  ASSERT_EQ(runCli({"encode", "--ssid", "net", "--key", "k", "-o", link}).status, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  SF_INFO info;
  EXPECT_EQ(readWav(target, info).size(),
            asSamples(sonicsend::encodePass(sonicsend::Layout::framed, u"net", u"k")->pcm).size());
}

// RIFF sizes are 32-bit: beyond them the file is RF64. The 93 units of the longest message
// make a pass of 4.9 MB, so 3500 passes exceed 4 GiB.
TEST(WavFormat, SwitchesToRf64WhereRiffSizesWouldWrap) {
  using sonicsend::cli::wavFormatFor;
  const std::uint64_t pass =
      sonicsend::encodePass(sonicsend::Layout::framed, std::u16string(93, u'x'), u"")->pcm.size();
  EXPECT_EQ(wavFormatFor(pass), SF_FORMAT_WAV);
  EXPECT_EQ(wavFormatFor(800 * pass), SF_FORMAT_WAV);
  EXPECT_EQ(wavFormatFor(3500 * pass), SF_FORMAT_RF64);
  EXPECT_EQ(wavFormatFor(0xFFFFFFFFull - 44), SF_FORMAT_RF64);
}

TEST_F(EncodeCli, HelpDocumentsTheOptions) {
  const CliRun run = runCli({"encode", "--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--ssid", "--key", "--bare", "--passes", "--output"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
