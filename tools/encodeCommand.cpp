// `sonicsend encode`: writes passes of the looped PCM stream to a WAV file.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
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

// Writes all of `bytes` to `fd`; false with errno set when the system refuses.
bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// The header with the exact sizes, then `passes` copies of the pass (its PCM bytes are already
// little-endian): a whole WAV file even on a pipe, where nothing can be rewritten afterwards.
void writeWav(int fd, const std::string& name, const std::vector<std::uint8_t>& pcm, int passes) {
  const std::uint64_t dataBytes = pcm.size() * static_cast<std::uint64_t>(passes);
  bool written = writeAll(fd, wavHeader(dataBytes, containerFor(dataBytes)));
  for (int pass = 0; pass < passes && written; ++pass) written = writeAll(fd, pcm);
  if (!written) fail("encode", kUsageError, "cannot write " + name + ": " + std::strerror(errno));
}

// Writes the file beside its target and renames it into place only once it is whole, so that
// a failure leaves the previous file, and any link to it, as they were.
void writeWavFile(const std::string& path, const std::vector<std::uint8_t>& pcm, int passes) {
  const std::string name = printable(path);
  try {
    platform::ReplacingFile out(path);
    writeWav(out.descriptor(), name, pcm, passes);
    out.commit();
  } catch (const std::system_error& error) {
    fail("encode", kUsageError, "cannot write " + name + ": " + error.code().message());
  }
}

void writeWavToStdout(const std::vector<std::uint8_t>& pcm, int passes) {
  if (isatty(STDOUT_FILENO) == 1) {
    fail("encode", kUsageError, "standard output is a terminal; redirect it to a file or a pipe");
  }
  writeWav(STDOUT_FILENO, "standard output", pcm, passes);
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
  encode->add_option("-o,--output", options->output, "WAV file to write (\"-\": standard output)")
      ->required();
  encode->footer(
      "Each character of SSID and key is sent as one byte, so only U+0001 to U+00FF can be "
      "sent. An empty SSID, a character above U+00FF, U+001F in the SSID (U+000D with --bare), "
      "a control character in the key, over-limit credentials, bad arguments or an unwritable "
      "path: a message on stderr naming it, exit status 2, and OUT (or "
      "the file a link at OUT points to) stays as it was; so it does after Ctrl-C, SIGTERM or "
      "SIGHUP. \"-o -\" writes the whole file, its "
      "sizes exact, to standard output. Above 4 GiB of data the file is RF64.");
  encode->callback([options] {
    const Credentials credentials = credentialsOrFail("encode", options->credentials);
    const Pass pass = encodePass(credentials.layout, credentials.ssid, credentials.key).value();
    if (options->output == "-") return writeWavToStdout(pass.pcm, options->passes);
    writeWavFile(options->output, pass.pcm, options->passes);
  });
}

}  // namespace sonicsend::cli
