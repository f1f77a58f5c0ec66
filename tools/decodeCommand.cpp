// `sonicsend decode` and `sonicsend listen`: the reference receiver on a file or a microphone.
#include <utf8.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "decoder.h"
#include "platform/AlsaCapture.h"

namespace sonicsend::cli {
namespace {

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

void runDecode(const DecodeOptions& options) {
  const receiver::DecodeResult result = receiver::decodeFile(options.input);
  switch (result.failure) {
    case receiver::Failure::unreadable:
      fail("decode", kUsageError, "cannot read " + options.input);
    case receiver::Failure::unsupportedRate:
    case receiver::Failure::outOfMemory:
      fail("decode", kUsageError,
           "cannot read " + options.input + ": " + std::string(describe(result.failure)));
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

void runListen(const ListenOptions& options) {
  std::unique_ptr<receiver::AlsaCapture> capture;
  try {
    capture = std::make_unique<receiver::AlsaCapture>(options.device, kCaptureRate);
  } catch (const std::runtime_error& error) {
    fail("listen", kUsageError, error.what());
  }
  receiver::StreamDecoder decoder(kCaptureRate, receiver::StreamDecoder::Pace::live);
  std::vector<float> chunk(kCaptureChunk);
  const auto chunks = static_cast<long>(options.seconds * kCaptureRate / kCaptureChunk);
  for (long i = 0; i < chunks; ++i) {
    try {
      capture->read(chunk);
    } catch (const std::runtime_error& error) {
      fail("listen", kUsageError, error.what());
    }
    if (auto decoded = decoder.push(chunk)) {
      print(*decoded, options.json);
      return;
    }
  }
  fail("listen", kNoMessage,
       "nothing decoded in " + std::to_string(options.seconds) +
           " s: " + std::string(describe(decoder.lastFailure())));
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
  listen->footer("Exit status 1 when nothing was heard in time, 2 when the device cannot be used.");
  listen->callback([listenOptions] { runListen(*listenOptions); });
}

}  // namespace sonicsend::cli
