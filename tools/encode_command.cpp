// `sonicsend encode`: writes passes of the looped PCM stream to a WAV file.
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "encoder.h"
#include "text.h"

namespace sonicsend::cli {
namespace {

struct EncodeOptions {
  std::string ssid;
  std::string key;
  bool bare = false;
  int passes = 1;
  std::string output;
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "sonicsend encode: %s\n", message.c_str());
  throw CLI::RuntimeError(kUsageError);
}

std::u16string utf16Argument(const std::string& value, const char* name) {
  auto converted = toUtf16(value);
  if (!converted) fail(std::string(name) + " is not valid UTF-8");
  return *converted;
}

Pass encodeOrFail(const EncodeOptions& options) {
  const Layout layout = options.bare ? Layout::bare : Layout::framed;
  const std::u16string ssid = utf16Argument(options.ssid, "--ssid");
  const std::u16string key = utf16Argument(options.key, "--key");
  auto pass = encodePass(layout, ssid, key);
  if (!pass) {
    const int limit = options.bare ? kMaxBareCredentialUnits : kMaxFramedCredentialUnits;
    fail("SSID and key are " + std::to_string(ssid.size() + key.size()) +
         " UTF-16 code units together; the " + (options.bare ? "bare" : "framed") +
         " message holds at most " + std::to_string(limit));
  }
  return std::move(*pass);
}

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
  if (!file) fail("cannot write " + path + ": " + sf_strerror(nullptr));
  const auto count = static_cast<sf_count_t>(samples.size());
  for (int pass = 0; pass < passes; ++pass) {
    if (sf_write_short(file.get(), samples.data(), count) != count) {
      const std::string reason = sf_strerror(file.get());
      file.reset();
      std::filesystem::remove(path);
      fail("cannot write " + path + ": " + reason);
    }
  }
}

}  // namespace

void addEncodeCommand(CLI::App& app) {
  auto options = std::make_shared<EncodeOptions>();
  CLI::App* encode = app.add_subcommand(
      "encode", "Write the signal for an SSID and a key to a WAV file (44 100 Hz, 16-bit, stereo)");
  encode->add_option("--ssid", options->ssid, "SSID of the network (UTF-8)")->required();
  encode->add_option("--key", options->key, "Key of the network (UTF-8); may be empty")->required();
  encode->add_flag("--bare", options->bare,
                   "Bare layout: SSID, 0x0D, key (no header, no checksum); SSID + key at most 95 "
                   "UTF-16 code units instead of 93");
  encode->add_option("--passes", options->passes, "Passes of the looped stream to write")
      ->default_val(1)
      ->check(CLI::Range(1, 10000));
  encode->add_option("-o,--output", options->output, "WAV file to write")->required();
  encode->footer(
      "Each UTF-16 code unit of SSID and key is sent as its low byte. Over-limit credentials, "
      "bad arguments or an unwritable path: a message on stderr, exit status 2, no file.");
  encode->callback([options] {
    const Pass pass = encodeOrFail(*options);
    writeWav(options->output, pcmSamples(pass.pcm), options->passes);
  });
}

}  // namespace sonicsend::cli
