// `sonicsend decode` on recordings of the looped signal as a listening device may hear it, and
// on hostile files.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>

#include "recordings.h"
#include "runCli.h"

namespace sonicsend::testing {
namespace {

namespace fs = std::filesystem;
using namespace simulator;
using Json = nlohmann::json;

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kFlac24 = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;

// A 16-bit WAV file from libsndfile (a 44-byte header) made to claim `dataBytes` of data.
std::string claiming(std::uint32_t dataBytes, std::string wav) {
  for (std::size_t i = 0; i < 4; ++i) {
    wav[4 + i] = static_cast<char>((36 + dataBytes) >> (8 * i));
    wav[40 + i] = static_cast<char>(dataBytes >> (8 * i));
  }
  return wav;
}

// Under ASan the shadow memory alone exceeds any small address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kMemoryLimit = "";
#else
constexpr const char* kMemoryLimit = "ulimit -v 524288;";  // 512 MB
#endif

class DecodeCli : public ::testing::Test {
 protected:
  const fs::path dir_ = fs::temp_directory_path() / ("decode-cli-" + std::to_string(getpid()));
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  // A file of mono `samples` as `channels` equal channels, written by libsndfile (which clips
  // what exceeds full scale instead of wrapping around).
  std::string bytesOf(const std::vector<float>& samples, int format = kWav16, int channels = 2,
                      int rate = kSampleRate) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open((dir_ / "scratch").c_str(), SFM_WRITE, &info);
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::vector<float> frames;
    for (float s : samples) frames.insert(frames.end(), static_cast<std::size_t>(channels), s);
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    std::ifstream in(dir_ / "scratch");
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // A FLAC file of `samples` whose header gives `totalSamples` as the length (0: unknown).
  std::string flacBytes(const std::vector<float>& samples, std::uint64_t totalSamples) {
    std::string bytes = bytesOf(samples, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1);
    // STREAMINFO follows "fLaC" and its block header; its 36-bit sample count ends at byte 26.
    bytes[21] = static_cast<char>((bytes[21] & 0xF0) | ((totalSamples >> 32) & 0x0F));
    for (std::size_t i = 0; i < 4; ++i)
      bytes[22 + i] = static_cast<char>(totalSamples >> (24 - 8 * i));
    return bytes;
  }
};

// Each row is a file, read from its path or piped: exit status 0 and the credentials, 1 when it
// holds no message, 2 when it cannot be read; always within a memory limit, a failure in one line.
TEST_F(DecodeCli, GivesTheCredentialsOrTheDocumentedStatusWithinBoundedMemory) {
  using Samples = std::vector<float>;
  std::mt19937 random(7);
  const auto pass = passOf(Layout::framed, u"Café Wi-Fi", u"correct horse battery staple");
  // Three looped passes from anywhere in the loop, each sample through `change`, and one
  // sample near the start replaced by `bad` (when given).
  const auto heard = [&](auto change, std::optional<float> bad = std::nullopt) {
    std::uniform_int_distribution<std::size_t> anywhere(0, pass.size());
    auto samples = loop(pass, anywhere(random), 3 * pass.size());
    std::ranges::transform(samples, samples.begin(), change);
    if (bad) samples[1000] = *bad;
    return samples;
  };
  const auto same = [](float x) { return x; };
  const auto quiet = [](float x) { return 0.01f * x; };
  auto late = heard(same);
  late.insert(late.begin(), kSampleRate / 10, 0.0f);
  Samples noise(5 * kSampleRate);
  std::normal_distribution<float> gauss(0.0f, 0.2f);
  std::ranges::generate(noise, [&] { return gauss(random); });
  // U+0100 puts a zero byte into the message: the sender stops sending there, so the message
  // that the header announces is never whole.
  const auto cut = passOf(Layout::framed, u"abc\u0100defghijk", u"key");
  // The separator inside the key: no split of the message is safe.
  const auto twoWays = passOf(Layout::framed, u"HomeNet", u"se\037cret");
  struct Row {
    std::string name;
    std::string file;
    int status = 0;
    bool piped = false;
  };
  std::vector<Row> table = {
      // As a listening device may hear the signal: WAV or FLAC, mono or stereo, integer or float.
      {"from_the_start", bytesOf(loop(pass, 0, 3 * pass.size()))},
      {"from_mid_symbol", bytesOf(loop(pass, kSymbolSamples / 2 + 7, 3 * pass.size()))},
      {"peaks_at_full_scale", bytesOf(heard([](float x) { return x / 0.85f; }))},
      {"float_mono_amplitude_0_01", bytesOf(heard(quiet), kWavFloat, 1)},
      {"flac_24_bit", bytesOf(heard(same), kFlac24, 1)},
      {"piped_flac", bytesOf(heard(same), kFlac24, 1), 0, true},
      {"piped_rf64", bytesOf(heard(same), SF_FORMAT_RF64 | SF_FORMAT_PCM_16), 0, true},
      {"piped_aiff", bytesOf(heard(same), SF_FORMAT_AIFF | SF_FORMAT_PCM_16), 0, true},
      {"resampled_to_48_khz", bytesOf(resampleTo(heard(same), 48000), kWavFloat, 1, 48000)},
      {"silence_100_ms_in_front", bytesOf(late)},
      // Hostile or broken files.
      {"flac_of_unknown_length", flacBytes(heard(same), 0)},
      {"flac_claiming_1e9_samples", flacBytes(heard(same), 1'000'000'000)},
      {"piped_header_claiming_4_gb_and_no_data", claiming(0xFFFFFFF0, bytesOf({})), 2, true},
      {"header_overstating_the_length", claiming(0x7FFFFFF0, bytesOf(heard(same)))},
      {"piped_header_overstating_the_length", claiming(0xFFFFFFF0, bytesOf(heard(same))), 0, true},
      {"piped_header_only", bytesOf({}), 2, true},
      {"header_cut_inside_its_format_chunk", bytesOf({}).substr(0, 30), 2},
      // Sizes a streaming writer leaves: the data goes on to the end of the file.
      {"data_size_0", claiming(0, bytesOf(heard(same)))},
      {"piped_data_size_0", claiming(0, bytesOf(heard(same))), 0, true},
      {"data_size_ffffffff", claiming(0xFFFFFFFF, bytesOf(heard(same)))},
      {"piped_data_size_ffffffff", claiming(0xFFFFFFFF, bytesOf(heard(same))), 0, true},
      {"not_audio", "not audio", 2},
      {"rate_1_hz", bytesOf(heard(same), kWav16, 2, 1), 2},
      {"rate_10_hz", bytesOf(heard(same), kWav16, 2, 10), 2},
      {"rate_1_mhz", bytesOf(heard(same), kWav16, 2, 1'000'000), 2},
      {"one_nan_near_the_start", bytesOf(heard(same, NAN), kWavFloat, 1)},
      {"one_3e38_near_the_start", bytesOf(heard(same, 3e38f), kWavFloat, 1)},
      {"one_3e38_in_a_quiet_recording", bytesOf(heard(quiet, -3e38f), kWavFloat, 1)},
      {"nan_only", bytesOf(Samples(kSampleRate, NAN), kWavFloat, 1), 1},
      {"noise_only", bytesOf(noise), 1},
      {"message_cut_by_a_zero_byte", bytesOf(loop(cut, 0, 4 * cut.size())), 1},
      {"separator_in_the_key", bytesOf(loop(twoWays, 0, 3 * twoWays.size())), 1},
  };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // An MP3 frame header and then no frame: the MP3 decoder's notes on losing its sync stay off
  // the terminal (a sanitized build keeps stderr open for its own reports).
  table.push_back(
      {"mp3_losing_its_sync", std::string("\xff\xfb\x90\x00", 4) + std::string(1000, '\0'), 2});
#endif
  // Clean passes, read from the first whatever silence came before: passes heard, never the
  // slots searched.
  for (const int passes : {1, 3, 5}) {
    for (const int seconds : {0, 10, 60}) {
      Samples samples(static_cast<std::size_t>(seconds * kSampleRate), 0.0f);
      const auto signal = loop(pass, 0, static_cast<std::size_t>(passes) * pass.size());
      samples.insert(samples.end(), signal.begin(), signal.end());
      table.push_back(
          {std::to_string(passes) + "_passes_after_" + std::to_string(seconds) + "_s_of_silence",
           bytesOf(samples, kWav16, 1)});
    }
  }
  const auto expected = Json::parse(
      R"({"ssid":"Café Wi-Fi","key":"correct horse battery staple","ssid_hex":"436166e92057692d4669",)"
      R"("key_hex":"636f727265637420686f727365206261747465727920737461706c65","layout":"framed","frames":6})");
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    const std::string path = dir_ / row.name;
    std::ofstream(path, std::ios::binary) << row.file;
    // A WAV stream is read as it comes, never copied to a file first: it needs no temporary
    // directory (in /proc none can be made).
    const bool wavStream =
        row.piped && (row.file.starts_with("RIFF") || row.file.starts_with("RF64"));
    const std::string pipe =
        " cat " + shellQuoted(path) + " |" + (wavStream ? " TMPDIR=/proc" : "");
    const CliRun run = runCli(SONICSEND_CLI, {"decode", "--json", row.piped ? "-" : path},
                              kMemoryLimit + (row.piped ? pipe : ""));
    EXPECT_EQ(run.status, row.status) << run.err;
    if (run.status == 0) {
      Json json = Json::parse(run.out);
      // Each frame read from one copy that checked on its own.
      EXPECT_EQ(json["passes"], 1);
      json.erase("passes");
      EXPECT_EQ(json, expected);
    } else {
      EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
    }
  }
}

// The bare layout (no header, no checksum) heard; as text, control characters escaped.
TEST_F(DecodeCli, PrintsABareMessageAsTextWithControlCharactersEscaped) {
  const auto pass = passOf(Layout::bare, u"a\x1b[2Jb\\", u"\u009b\x7f\u00e9");
  const std::string file = dir_ / "bare.wav";
  std::ofstream(file, std::ios::binary) << bytesOf(loop(pass, 1000, 2 * pass.size()));
  EXPECT_EQ(runCli(SONICSEND_CLI, {"decode", file}).out,
            "SSID: a\\x1b[2Jb\\\\\nKey:  \\x9b\\x7f\xC3\xA9\n");
  EXPECT_EQ(Json::parse(runCli(SONICSEND_CLI, {"decode", "--json", file}).out, nullptr, false)
                .value("layout", ""),
            "bare");
}

}  // namespace
}  // namespace sonicsend::testing
