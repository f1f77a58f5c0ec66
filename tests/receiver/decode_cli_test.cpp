// `sonicsend decode` on recordings of the looped signal as a listening device may hear it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "recordings.h"
#include "run_cli.h"

namespace sonicsend::testing {
namespace {

namespace fs = std::filesystem;

sonicsend::testing::CliRun runDecode(const fs::path& input) {
  return sonicsend::testing::runCli(SONICSEND_CLI, {"decode", "--json", input.string()});
}

struct Audio {
  std::vector<float> samples;  // mono
  int rate = kSampleRate;
};

// Writes `audio` with `format`, as `channels` equal channels; libsndfile clips what exceeds
// full scale instead of wrapping around.
void writeAudio(const fs::path& path, const Audio& audio, int format, int channels) {
  SF_INFO info{};
  info.samplerate = audio.rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  std::vector<float> frames;
  for (float s : audio.samples) frames.insert(frames.end(), static_cast<std::size_t>(channels), s);
  sf_writef_float(file, frames.data(), static_cast<sf_count_t>(audio.samples.size()));
  sf_close(file);
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kFlac24 = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;

struct Row {
  const char* name;
  std::function<void(Audio&, std::mt19937&)> change;
  int format = kWav16;
  int channels = 2;
};

void scale(Audio& audio, float gain) {
  for (float& s : audio.samples) s *= gain;
}

std::vector<Row> robustnessTable() {
  const auto noise = [](double snr) {
    return [snr](Audio& audio, std::mt19937& random) { addNoise(audio.samples, snr, random); };
  };
  return {
      {"as_played", [](Audio&, std::mt19937&) {}},
      {"amplitude_0_01", [](Audio& a, std::mt19937&) { scale(a, 0.01f); }, kWavFloat, 1},
      {"amplitude_0_1", [](Audio& a, std::mt19937&) { scale(a, 0.1f); }},
      {"amplitude_1_0", [](Audio& a, std::mt19937&) { scale(a, 1.0f / 0.85f); }},
      {"noise_snr_20_db", noise(20.0)},
      {"noise_snr_10_db", noise(10.0)},
      {"noise_snr_5_db", noise(5.0), kFlac24, 1},
      {"noise_snr_0_db", noise(0.0), kWavFloat, 1},
      {"resampled_to_48_khz",
       [](Audio& a, std::mt19937&) {
         a = {resampleTo(a.samples, 48000), 48000};
       },
       kWavFloat, 1},
      {"silence_in_front_100_ms",
       [](Audio& a, std::mt19937&) {
         a.samples.insert(a.samples.begin(), kSampleRate / 10, 0.0f);
       }},
      {"clipped_at_0_5",
       [](Audio& a, std::mt19937&) {
         for (float& s : a.samples) s = std::clamp(s, -0.5f, 0.5f);
       }},
  };
}

class DecodeCli : public ::testing::Test {
 protected:
  fs::path dir_;

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("receiver-cli-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
};

// Three looped passes, heard from an offset anywhere in the first pass.
TEST_F(DecodeCli, RecoversTheCredentialsFromEveryRecordingOfTheTable) {
  const std::u16string ssid = u"Café Wi-Fi";
  const std::u16string key = u"correct horse battery staple";
  const auto pass = passOf(Layout::framed, ssid, key);
  std::mt19937 random(7);
  for (const Row& row : robustnessTable()) {
    for (std::size_t offset :
         {std::size_t{0}, std::size_t{kSymbolSamples / 2 + 7},
          std::uniform_int_distribution<std::size_t>(0, pass.size())(random)}) {
      SCOPED_TRACE(std::string(row.name) + " from offset " + std::to_string(offset));
      Audio audio{loop(pass, offset, 3 * pass.size())};
      row.change(audio, random);
      const fs::path path =
          dir_ / (std::string(row.name) + (row.format == kFlac24 ? ".flac" : ".wav"));
      writeAudio(path, audio, row.format, row.channels);
      const sonicsend::testing::CliRun run = runDecode(path);
      ASSERT_EQ(run.status, 0) << run.out;
      const auto heard = nlohmann::json::parse(run.out);
      EXPECT_EQ(heard["ssid"], "Café Wi-Fi");
      EXPECT_EQ(heard["key"], "correct horse battery staple");
      EXPECT_EQ(heard["ssid_hex"], "436166e92057692d4669");
      EXPECT_EQ(heard["layout"], "framed");
      EXPECT_EQ(heard["frames"], 6);
      EXPECT_GE(heard["passes"], 2);
    }
  }
}

TEST_F(DecodeCli, ReadsTheBareLayout) {
  const auto pass = passOf(Layout::bare, u"Lab 5", u"k3y");
  const fs::path path = dir_ / "bare.wav";
  writeAudio(path, {loop(pass, 1000, 2 * pass.size())}, kWav16, 2);
  const sonicsend::testing::CliRun run = runDecode(path);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json::parse(R"({"ssid":"Lab 5","key":"k3y","ssid_hex":"4c61622035",)"
                                  R"("key_hex":"6b3379","layout":"bare","frames":2,"passes":2})"));
}

TEST_F(DecodeCli, ExitStatusTellsNoMessageFromUnreadableInput) {
  std::mt19937 random(3);
  Audio noise{std::vector<float>(5 * kSampleRate, 0.0f)};
  std::normal_distribution<float> gauss(0.0f, 0.2f);
  for (float& s : noise.samples) s = gauss(random);
  writeAudio(dir_ / "noise.wav", noise, kWav16, 1);
  EXPECT_EQ(runDecode(dir_ / "noise.wav").status, 1);

  // U+0100 puts a zero byte into the message: the sender stops sending there, so the message
  // that the header announces is never whole.
  const auto cut = passOf(Layout::framed, u"abc\u0100defghijk", u"key");
  writeAudio(dir_ / "cut.wav", {loop(cut, 0, 4 * cut.size())}, kWav16, 2);
  EXPECT_EQ(runDecode(dir_ / "cut.wav").status, 1);

  EXPECT_EQ(runDecode(dir_ / "missing.wav").status, 2);
  std::FILE* text = std::fopen((dir_ / "text.wav").c_str(), "w");
  std::fputs("not audio", text);
  std::fclose(text);
  EXPECT_EQ(runDecode(dir_ / "text.wav").status, 2);
}

}  // namespace
}  // namespace sonicsend::testing
