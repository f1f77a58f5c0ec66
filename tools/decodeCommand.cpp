// `sonicsend decode` and `sonicsend listen`: the reference receiver on a file or a microphone.
#include <utf8.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "decoder.h"
#include "platform/AlsaCapture.h"
#include "platform/terminal.h"

namespace sonicsend::cli {
namespace {

namespace fs = std::filesystem;

// Exit status when the audio holds no valid message.
constexpr int kNoMessage = 1;
constexpr unsigned kCaptureRate = kSampleRate;
constexpr std::size_t kCaptureChunk = kCaptureRate / 10;

// Each byte read as one character, U+0000 to U+00FF, written as UTF-8.
std::string latin1ToUtf8(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    utf8::append(static_cast<char32_t>(static_cast<unsigned char>(c)), std::back_inserter(text));
  }
  return text;
}

// Two lower-case hexadecimal digits of `byte`.
void appendHex(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

// As latin1ToUtf8, but with control characters (C0, DEL, C1) written as \xNN and a backslash as \\,
// so that no byte that was heard reaches the terminal as a command.
std::string escapedText(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) {
      text += "\\x";
      appendHex(text, byte);
    } else if (byte == '\\') {
      text += "\\\\";
    } else {
      utf8::append(static_cast<char32_t>(byte), std::back_inserter(text));
    }
  }
  return text;
}

std::string hex(const std::string& bytes) {
  std::string out;
  for (char c : bytes) appendHex(out, static_cast<unsigned char>(c));
  return out;
}

void print(const receiver::Decoded& decoded, bool json) {
  const receiver::Message& message = decoded.message;
  if (json) {
    const nlohmann::ordered_json object = {
        {"ssid", latin1ToUtf8(message.ssid)},
        {"key", latin1ToUtf8(message.key)},
        {"ssid_hex", hex(message.ssid)},
        {"key_hex", hex(message.key)},
        {"layout", message.layout == receiver::MessageLayout::framed ? "framed" : "bare"},
        {"frames", decoded.frames},
        {"passes", decoded.passes},
    };
    std::printf("%s\n", object.dump().c_str());
  } else {
    std::printf("SSID: %s\nKey:  %s\n", escapedText(message.ssid).c_str(),
                escapedText(message.key).c_str());
  }
  std::fflush(stdout);
}

struct DecodeOptions {
  std::string input;
  bool json = false;
};

// Why a file that libsndfile could not read is unreadable, in a few words.
std::string whyUnreadable(const std::string& path) {
  if (path == "-") return "standard input holds no audio that can be read";
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return "no such file";
  if (error) return error.message();
  if (fs::is_directory(status)) return "it is a directory";
  if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return "not an audio file (or no audio in it)";
}

void runDecode(const DecodeOptions& options) {
  const receiver::DecodeResult result = [&] {
    const platform::StderrSilenced quiet;
    return receiver::decodeFile(options.input);
  }();
  const std::string name = options.input == "-" ? "-" : printable(options.input);
  switch (result.failure) {
    case receiver::Failure::unreadable:
      fail("decode", kUsageError, "cannot read " + name + ": " + whyUnreadable(options.input));
    case receiver::Failure::unsupportedRate:
    case receiver::Failure::outOfMemory:
      fail("decode", kUsageError,
           "cannot read " + name + ": " + std::string(describe(result.failure)));
    default:
      break;
  }
  if (!result.decoded) fail("decode", kNoMessage, std::string(describe(result.failure)));
  print(*result.decoded, options.json);
}

struct ListenOptions {
  double seconds = 60.0;
  std::string device = "default";
  bool json = false;
};

// Seconds as a person writes them: "2", "0.5", "60".
std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

void runListen(const ListenOptions& options) {
  receiver::AlsaCapture capture(options.device, kCaptureRate);
  receiver::StreamDecoder decoder(kCaptureRate, receiver::StreamDecoder::Pace::live);
  std::vector<float> chunk(kCaptureChunk);
  const auto chunks = static_cast<long>(std::ceil(options.seconds * kCaptureRate / kCaptureChunk));
  for (long i = 0; i < chunks; ++i) {
    if (!capture.read(chunk)) fail("listen", kUsageError, printable(capture.error()));
    if (auto decoded = decoder.push(chunk)) {
      print(*decoded, options.json);
      return;
    }
  }
  fail("listen", kNoMessage,
       "nothing decoded in " + secondsText(options.seconds) + " s from \"" +
           printable(options.device) + "\": " + std::string(describe(decoder.lastFailure())));
}

}  // namespace

void addDecodeCommands(CLI::App& app) {
  auto decodeOptions = std::make_shared<DecodeOptions>();
  CLI::App* decode = app.add_subcommand(
      "decode", "Recover SSID and key from a recording (WAV, FLAC ...; any rate, mono or stereo)");
  decode->add_option("input", decodeOptions->input, "Audio file to decode (\"-\": standard input)")
      ->required();
  decode->add_flag("--json", decodeOptions->json,
                   "Print one JSON object: ssid, key, ssid_hex, key_hex, layout, frames, passes");
  decode->footer(
      "SSID and key are printed with each byte as one character U+0000-U+00FF; control "
      "characters as \\xNN and a backslash as \\\\ (--json gives them exactly). Exit status 1 "
      "when the recording holds no valid message, 2 when it cannot be read or its sample rate "
      "is not between 6400 and 768000 Hz.");
  decode->callback([decodeOptions] { runDecode(*decodeOptions); });

  auto listenOptions = std::make_shared<ListenOptions>();
  CLI::App* listen = app.add_subcommand(
      "listen", "Capture from an ALSA device until SSID and key are heard or the time runs out");
  listen->add_option("--seconds", listenOptions->seconds, "Longest time to listen")
      ->default_val(60.0)
      ->check(durationCheck());
  listen->add_option("--device", listenOptions->device, "ALSA capture device")
      ->default_val("default");
  listen->add_flag("--json", listenOptions->json, "Print one JSON object, as decode does");
  addListDevicesFlag(*listen, platform::Direction::capture);
  listen->footer("Exit status 1 when nothing was heard in time, 2 when the device cannot be used.");
  listen->callback([listenOptions] { runListen(*listenOptions); });
}

}  // namespace sonicsend::cli
