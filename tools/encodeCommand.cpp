// `sonicsend encode`: writes passes of the looped PCM stream to a WAV file.
#include <sndfile.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "encoder.h"
#include "platform/ReplacingFile.h"
#include "wavFormat.h"

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

// Writes the file beside its target and renames it into place only once it is whole, so that
// a failure leaves the previous file, and any link to it, as they were.
void writeWav(const std::string& path, const std::vector<short>& samples, int passes) {
  const auto count = static_cast<sf_count_t>(samples.size());
  const auto dataBytes =
      static_cast<std::uint64_t>(count) * sizeof(short) * static_cast<std::uint64_t>(passes);
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = kPcmChannels;
  info.format = wavFormatFor(dataBytes) | SF_FORMAT_PCM_16;
  try {
    platform::ReplacingFile out(path);
    SNDFILE* file = sf_open_fd(out.descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (!file) fail("encode", kUsageError, "cannot write " + path + ": " + sf_strerror(nullptr));
    bool written = true;
    for (int pass = 0; pass < passes && written; ++pass) {
      written = sf_write_short(file, samples.data(), count) == count;
    }
    const std::string reason = sf_strerror(file);
    // Closing writes the final sizes into the header.
    if (sf_close(file) != 0 || !written) {
      fail("encode", kUsageError, "cannot write " + path + ": " + reason);
    }
    out.commit();
  } catch (const std::system_error& error) {
    fail("encode", kUsageError, "cannot write " + path + ": " + error.code().message());
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
      "bad arguments or an unwritable path: a message on stderr, exit status 2, and OUT (or "
      "the file a link at OUT points to) stays as it was. Above 4 GiB of data the file is RF64.");
  encode->callback([options] {
    const Credentials credentials = credentialsOrFail("encode", options->credentials);
    const Pass pass = encodePass(credentials.layout, credentials.ssid, credentials.key).value();
    writeWav(options->output, pcmSamples(pass.pcm), options->passes);
  });
}

}  // namespace sonicsend::cli
