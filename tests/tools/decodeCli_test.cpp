// `sonicsend decode` on recordings of the looped signal as a listening device may hear it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string_view>

#include "recordings.h"
#include "runCli.h"

namespace sonicsend::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kFlac24 = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;

class DecodeCli : public ::testing::Test {
 protected:
  const fs::path dir_ = fs::temp_directory_path() / ("receiver-cli-" + std::to_string(getpid()));
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  CliRun run(const std::string& name) {
    return runCli(SONICSEND_CLI, {"decode", "--json", (dir_ / name).string()});
  }

  // Writes mono `samples` as `channels` equal channels (libsndfile clips what exceeds full
  // scale instead of wrapping around) and decodes the file.
  CliRun decode(const std::string& name, const std::vector<float>& samples, int format = kWav16,
                int channels = 2, int rate = kSampleRate) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open((dir_ / name).c_str(), SFM_WRITE, &info);
    if (file == nullptr) return {-1, {}, sf_strerror(nullptr)};
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::vector<float> frames;
    for (float s : samples) frames.insert(frames.end(), static_cast<std::size_t>(channels), s);
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return run(name);
  }
};

// Each row is heard from three offsets into three looped passes, in WAV or FLAC, mono or
// stereo, integer or float.
TEST_F(DecodeCli, RecoversTheCredentialsFromEveryRecordingOfTheTable) {
  std::mt19937 random(7);
  using Samples = std::vector<float>;
  const auto each = [](auto f) {
    return [f](Samples& s) { std::ranges::transform(s, s.begin(), f); };
  };
  const auto noise = [&](double snr) { return [&, snr](Samples& s) { addNoise(s, snr, random); }; };
  const struct {
    const char* name;
    std::function<void(Samples&)> change;
    int format = kWav16;
    int channels = 2;
    int rate = kSampleRate;
  } table[] = {
      {"start_offset_only", [](Samples&) {}},
      {"amplitude_0_01", each([](float x) { return 0.01f * x; }), kWavFloat, 1},
      {"amplitude_1_0", each([](float x) { return x / 0.85f; })},  // peaks at full scale,
      {"noise_snr_20_db", noise(20.0)},
      {"noise_snr_10_db", noise(10.0)},
      {"noise_snr_5_db", noise(5.0), kFlac24, 1},
      {"noise_snr_0_db", noise(0.0), kWavFloat, 1},
      {"resampled_to_48_khz", [](Samples& s) { s = resampleTo(s, 48000); }, kWavFloat, 1, 48000},
      {"silence_100_ms_in_front", [](Samples& s) { s.insert(s.begin(), kSampleRate / 10, 0.0f); }},
      {"clipped_at_0_5", each([](float x) { return std::clamp(x, -0.5f, 0.5f); })},
  };
  const auto pass = passOf(Layout::framed, u"Café Wi-Fi", u"correct horse battery staple");
  const auto expected = Json::parse(
      R"({"ssid":"Café Wi-Fi","key":"correct horse battery staple","ssid_hex":"436166e92057692d4669",)"
      R"("key_hex":"636f727265637420686f727365206261747465727920737461706c65","layout":"framed","frames":6})");
  for (const auto& row : table) {
    for (std::size_t offset :
         {std::size_t{0}, std::size_t{kSymbolSamples / 2 + 7},
          std::uniform_int_distribution<std::size_t>(0, pass.size())(random)}) {
      SCOPED_TRACE(std::string(row.name) + " from offset " + std::to_string(offset));
      auto samples = loop(pass, offset, 3 * pass.size());
      row.change(samples);
      const std::string name = std::string(row.name) + (row.format == kFlac24 ? ".flac" : ".wav");
      const CliRun heard = decode(name, samples, row.format, row.channels, row.rate);
      ASSERT_EQ(heard.status, 0) << heard.out << heard.err;
      Json json = Json::parse(heard.out);
      EXPECT_GE(json["passes"], 2);
      json.erase("passes");
      EXPECT_EQ(json, expected);
    }
  }
}

TEST_F(DecodeCli, ReadsTheBareLayout) {
  const auto pass = passOf(Layout::bare, u"Lab 5", u"k3y");
  const CliRun heard = decode("bare.wav", loop(pass, 1000, 2 * pass.size()));
  ASSERT_EQ(heard.status, 0) << heard.out << heard.err;
  EXPECT_EQ(Json::parse(heard.out),
            Json::parse(R"({"ssid":"Lab 5","key":"k3y","ssid_hex":"4c61622035",)"
                        R"("key_hex":"6b3379","layout":"bare","frames":2,"passes":2})"));
}

TEST_F(DecodeCli, ExitStatusTellsNoMessageFromUnreadableInput) {
  std::mt19937 random(3);
  std::normal_distribution<float> gauss(0.0f, 0.2f);
  std::vector<float> noise(5 * kSampleRate);
  std::ranges::generate(noise, [&] { return gauss(random); });
  EXPECT_EQ(decode("noise.wav", noise, kWav16, 1).status, 1);
  // U+0100 puts a zero byte into the message: the sender stops sending there, so the message
  // that the header announces is never whole.
  const auto cut = passOf(Layout::framed, u"abc\u0100defghijk", u"key");
  EXPECT_EQ(decode("cut.wav", loop(cut, 0, 4 * cut.size())).status, 1);

  EXPECT_EQ(run("missing.wav").status, 2);
  std::ofstream(dir_ / "text.wav") << "not audio";
  EXPECT_EQ(run("text.wav").status, 2);
}

// Bytes of a mono WAV file with a 44-byte header: 16-bit or float samples, and a data size
// that may lie.
std::string wavBytes(const std::vector<float>& samples, std::uint32_t rate, bool asFloat,
                     std::optional<std::uint32_t> claimedDataBytes = std::nullopt) {
  const auto put = [](std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  };
  const std::uint32_t width = asFloat ? 4 : 2;
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * width);
  std::string out = "RIFF";
  put(out, 36 + claimedDataBytes.value_or(dataBytes), 4);
  out += "WAVEfmt ";
  for (auto [value, bytes] : {std::pair{16u, 4},
                              {asFloat ? 3u : 1u, 2},
                              {1u, 2},
                              {rate, 4},
                              {rate * width, 4},
                              {width, 2},
                              {8 * width, 2}}) {
    put(out, value, bytes);
  }
  out += "data";
  put(out, claimedDataBytes.value_or(dataBytes), 4);
  for (float sample : samples) {
    std::uint32_t bits = 0;
    if (asFloat) {
      std::memcpy(&bits, &sample, 4);
    } else {
      bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample * 32767.0f));
    }
    put(out, bits, static_cast<int>(width));
  }
  return out;
}

// A FLAC file of `samples` whose header gives `totalSamples` as the length (0: unknown).
std::string flacBytes(const fs::path& scratch, const std::vector<float>& samples,
                      std::uint64_t totalSamples) {
  SF_INFO info{0, kSampleRate, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(scratch.c_str(), SFM_WRITE, &info);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  std::ifstream in(scratch, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  // STREAMINFO follows "fLaC" and its block header; its 36-bit sample count ends at byte 26.
  bytes[21] = static_cast<char>((bytes[21] & 0xF0) | ((totalSamples >> 32) & 0x0F));
  for (std::size_t i = 0; i < 4; ++i)
    bytes[22 + i] = static_cast<char>(totalSamples >> (24 - 8 * i));
  return bytes;
}

// Under ASan the shadow memory alone exceeds any small address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kMemoryLimit = "";
#else
constexpr const char* kMemoryLimit = "ulimit -v 524288;";  // 512 MB
#endif

TEST_F(DecodeCli, HostileInputGivesTheDocumentedStatusWithinBoundedMemory) {
  const auto pass = passOf(Layout::framed, u"Home", u"pass word");
  const auto signal = loop(pass, 3000, 3 * pass.size());
  const auto withSample = [&](float bad, float level = 1.0f) {
    auto samples = signal;
    for (float& sample : samples) sample *= level;
    samples[1000] = bad;
    return samples;
  };
  const auto bytes = [&](std::vector<float> samples, std::uint32_t rate = kSampleRate) {
    return wavBytes(samples, rate, true);
  };
  const std::vector<float> nothing;
  const struct {
    const char* name;
    std::string file;
    bool piped;
    int status;
  } table[] = {
      {"flac_of_unknown_length", flacBytes(dir_ / "x.flac", signal, 0), false, 0},
      {"flac_claiming_1e9_samples", flacBytes(dir_ / "x.flac", signal, 1'000'000'000), false, 0},
      {"header_claiming_4_gb_and_no_data", wavBytes(nothing, kSampleRate, false, 0xFFFFFFF0), true,
       2},
      {"header_overstating_the_length", wavBytes(signal, kSampleRate, false, 0x7FFFFFF0), false, 0},
      {"piped_header_overstating_the_length", wavBytes(signal, kSampleRate, false, 0xFFFFFFF0),
       true, 0},
      {"piped_data_size_0", wavBytes(nothing, kSampleRate, false), true, 2},
      {"rate_1_hz", bytes(signal, 1), false, 2},
      {"rate_10_hz", bytes(signal, 10), false, 2},
      {"rate_1_mhz", bytes(signal, 1'000'000), false, 2},
      {"one_nan_near_the_start", bytes(withSample(NAN)), false, 0},
      {"one_3e38_near_the_start", bytes(withSample(3e38f)), false, 0},
      {"one_3e38_in_a_quiet_recording", bytes(withSample(-3e38f, 0.01f)), false, 0},
      {"nan_only", bytes(std::vector<float>(kSampleRate, NAN)), false, 1},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    const fs::path path = dir_ / (std::string(row.name) + ".audio");
    std::ofstream(path, std::ios::binary) << row.file;
    const CliRun run = runCli(SONICSEND_CLI, {"decode", "--json", row.piped ? "-" : path.string()},
                              {kMemoryLimit, row.piped ? path.string() : ""});
    EXPECT_EQ(run.status, row.status) << run.err;
    if (row.status == 0) {
      EXPECT_EQ(Json::parse(run.out, nullptr, false).value("key", ""), "pass word");
    } else {
      EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << "one line: " << run.err;
    }
  }
}

TEST_F(DecodeCli, PlainTextEscapesControlCharacters) {
  const auto pass = passOf(Layout::framed, u"a\x1b[2Jb\\", u"\u009b\x7f\u00e9");
  ASSERT_EQ(decode("escape.wav", loop(pass, 0, 2 * pass.size())).status, 0);
  const CliRun run = runCli(SONICSEND_CLI, {"decode", (dir_ / "escape.wav").string()});
  EXPECT_EQ(run.out, "SSID: a\\x1b[2Jb\\\\\nKey:  \\x9b\\x7f\xC3\xA9\n");
}

}  // namespace
}  // namespace sonicsend::testing
