// `sonicsend encode`: writes passes of the looped PCM stream to a WAV file.
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "encoder.h"

namespace sonicsend::cli {
namespace {

struct EncodeOptions {
  CredentialOptions credentials;
  int passes = 1;
  std::string output;
};

// The PCM bytes are little-endian 16-bit samples, left and right.
std::vector<short> pcmSamples(const std::vector<std::uint8_t>& pcm) {
  std::vector<short> samples(pcm.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<short>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
  }
  return samples;
}

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

// Writes the file, or removes what was started and reports why.
void writeWav(const std::string& path, const std::vector<short>& samples, int passes) {
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = kPcmChannels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_WRITE, &info));
  if (!file) fail("encode", kUsageError, "cannot write " + path + ": " + sf_strerror(nullptr));
  const auto count = static_cast<sf_count_t>(samples.size());
  for (int pass = 0; pass < passes; ++pass) {
    if (sf_write_short(file.get(), samples.data(), count) != count) {
      const std::string reason = sf_strerror(file.get());
      file.reset();
      std::filesystem::remove(path);
      fail("encode", kUsageError, "cannot write " + path + ": " + reason);
    }
  }
}

}  // namespace

void addEncodeCommand(CLI::App& app) {
  auto options = std::make_shared<EncodeOptions>();
  CLI::App* encode = app.add_subcommand(
      "encode", "Write the signal for an SSID and a key to a WAV file (44 100 Hz, 16-bit, stereo)");
  options->credentials.addTo(*encode, "");
  encode->add_option("--passes", options->passes, "Passes of the looped stream to write")
      ->default_val(1)
      ->check(CLI::Range(1, 10000));
  encode->add_option("-o,--output", options->output, "WAV file to write")->required();
  encode->footer(
      "Each UTF-16 code unit of SSID and key is sent as its low byte. Over-limit credentials, "
      "bad arguments or an unwritable path: a message on stderr, exit status 2, no file.");
  encode->callback([options] {
    const Credentials credentials = credentialsOrFail("encode", options->credentials);
    const Pass pass = encodePass(credentials.layout, credentials.ssid, credentials.key).value();
    writeWav(options->output, pcmSamples(pass.pcm), options->passes);
  });
}

}  // namespace sonicsend::cli
