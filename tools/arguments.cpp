#include "arguments.h"

#include <utf8.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "commands.h"
#include "platform/terminal.h"

namespace sonicsend::cli {
namespace {

std::optional<std::u16string> toUtf16(const std::string& utf8) {
  if (!utf8::is_valid(utf8.begin(), utf8.end())) return std::nullopt;
  std::u16string utf16;
  utf8::unchecked::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(utf16));
  return utf16;
}

std::u16string utf16OrFail(const char* command, const std::string& value, const char* option) {
  auto converted = toUtf16(value);
  if (!converted) fail(command, kUsageError, std::string(option) + " is not valid UTF-8");
  return *converted;
}

// The key from --key, or else one line of standard input, typed without echo on a terminal.
std::string keyOrFail(const char* command, const CredentialOptions& options) {
  const bool given = options.keyOption != nullptr && options.keyOption->count() > 0;
  if (given && options.key != "-") return options.key;
  if (!given && !platform::stdinIsTerminal()) {
    fail(command, kUsageError, "--key is required (--key - reads it from standard input)");
  }
  auto line = platform::readStdinLine(kLongestKeyBytes, platform::stdinIsTerminal(), "Key: ");
  using Status = platform::StdinLine::Status;
  if (line.status == Status::empty) fail(command, kUsageError, "no key on standard input");
  if (line.status == Status::tooLong) {
    fail(command, kUsageError,
         "the key on standard input is longer than " + std::to_string(kLongestKeyBytes) + " bytes");
  }
  return std::move(line.text);
}

// "U+XXXX": a character named without writing it, which may be a control character.
std::string codePoint(char32_t point) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(point));
  return code;
}

// The character that starts at `at` in `text`, quoted, and its code point ("U+XXXX"). Only for
// characters above U+00FF, none of which is a control character.
std::string describeCharacter(std::u16string_view text, std::size_t at) {
  char32_t point = text[at];
  const bool pair = point >= 0xD800 && point < 0xDC00 && at + 1 < text.size() &&
                    text[at + 1] >= 0xDC00 && text[at + 1] < 0xE000;
  if (pair) point = 0x10000 + ((point - 0xD800) << 10) + (text[at + 1] - 0xDC00);
  std::string utf8;
  utf8::unchecked::append(point, std::back_inserter(utf8));
  return "\"" + utf8 + "\" (" + codePoint(point) + ")";
}

// Refuses a text holding a character the signal cannot carry: it sends the low byte of each
// UTF-16 code unit, so only U+0000 to U+00FF arrive as typed.
void carriedOrFail(const char* command, std::u16string_view text, const char* option) {
  if (const auto at = firstUnitNotCarried(text)) {
    fail(command, kUsageError,
         std::string(option) + " holds " + describeCharacter(text, *at) +
             ", which the signal cannot carry: it sends U+0001 to U+00FF only");
  }
}

// Refuses what a receiver could not split back into the SSID and key sent: the layout's
// separator or a zero byte in the SSID, and any control character in the key, which no Wi-Fi
// key holds (the separators and the zero byte among them). Called once both texts are carried,
// so that each unit is the character itself.
void splitBackOrFail(const char* command, const Credentials& credentials) {
  if (const auto at = firstUnitNotSplitBack(credentials.layout, credentials.ssid)) {
    fail(command, kUsageError,
         "--ssid holds " + codePoint(credentials.ssid[*at]) +
             ", which a receiver would read as the end of the SSID");
  }
  if (const auto at = firstControlCharacter(credentials.key)) {
    fail(command, kUsageError,
         "--key holds " + codePoint(credentials.key[*at]) +
             ", a control character, which no Wi-Fi key holds");
  }
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  const auto escape = [&out](unsigned char byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    out += code;
  };
  for (auto at = text.begin(); at != text.end();) {
    const auto valid = utf8::find_invalid(at, text.end());
    while (at != valid) {
      const auto start = at;
      const std::uint32_t point = utf8::unchecked::next(at);
      if (point < 0x20 || (point >= 0x7F && point <= 0x9F)) {
        std::for_each(start, at, [&](char byte) { escape(static_cast<unsigned char>(byte)); });
      } else {
        if (point == '\\') out += '\\';
        out.append(start, at);
      }
    }
    if (at != text.end()) escape(static_cast<unsigned char>(*at++));  // no character
  }
  return out;
}

void addListDevicesFlag(CLI::App& command, platform::Direction direction) {
  command.add_flag_callback(
      "--list-devices",
      [direction] {
        for (const auto& device : platform::alsaDevices(direction)) {
          std::printf("%s\t%s\n", device.name.c_str(), device.description.c_str());
        }
        throw CLI::Success();
      },
      std::string("List the ALSA ") +
          (direction == platform::Direction::playback ? "playback" : "capture") +
          " devices that --device takes, and exit");
}

std::optional<double> plainDecimal(const std::string& text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "0" : text.substr(point + 1);
  const bool plain = !whole.empty() && !fraction.empty() && std::ranges::all_of(whole, isDigit) &&
                     std::ranges::all_of(fraction, isDigit);
  if (!plain) return std::nullopt;
  return std::strtod(text.c_str(), nullptr);
}

CLI::Validator durationCheck() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        const double seconds = plainDecimal(text).value_or(0.0);
        if (seconds >= kShortestSeconds && seconds <= kLongestSeconds) return {};
        return "must be a plain decimal number of seconds, at least 0.001 and at most 604800 "
               "(a week)";
      },
      "SECONDS in [0.001, 604800]");
}

CLI::Validator volumeCheck() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        if (text == "keep" || plainDecimal(text).value_or(101.0) <= 100.0) return {};
        return "must be a plain decimal percentage from 0 to 100, or \"keep\"";
      },
      "PERCENT in [0, 100] or keep");
}

void fail(const char* command, int status, const std::string& reason) {
  std::fprintf(stderr, "sonicsend%s%s: %s\n", *command != '\0' ? " " : "", command, reason.c_str());
  throw CLI::RuntimeError(status);
}

void CredentialOptions::addTo(CLI::App& command, const std::string& bareNote) {
  command
      .add_option("--ssid", ssid,
                  "SSID of the network (UTF-8, not empty): U+0001 to U+00FF but U+001F (U+000D "
                  "with --bare), which a receiver would read as the end of the SSID")
      ->required();
  keyOption = command.add_option(
      "--key", key,
      "Key of the network (UTF-8, U+0020 to U+00FF but U+007F: no control character); may be "
      "empty. \"-\" reads one line (at most 4096 bytes) from standard input; "
      "without --key a terminal asks for it. Other local users can see a key given here");
  command.add_flag("--bare", bare,
                   "Bare layout: SSID, 0x0D, key (no header, no checksum)" + bareNote +
                       "; SSID + key at most 95 UTF-16 code units instead of 93");
}

Credentials credentialsOrFail(const char* command, const CredentialOptions& options) {
  if (options.ssid.empty()) fail(command, kUsageError, "--ssid is empty: it names no network");
  Credentials credentials{options.bare ? Layout::bare : Layout::framed,
                          utf16OrFail(command, options.ssid, "--ssid"),
                          utf16OrFail(command, keyOrFail(command, options), "--key")};
  carriedOrFail(command, credentials.ssid, "--ssid");
  carriedOrFail(command, credentials.key, "--key");
  splitBackOrFail(command, credentials);
  if (!buildMessage(credentials.layout, credentials.ssid, credentials.key)) {
    const int limit = maxCredentialUnits(credentials.layout);
    fail(command, kUsageError,
         "SSID and key are " + std::to_string(credentials.ssid.size() + credentials.key.size()) +
             " UTF-16 code units together; the " + (options.bare ? "bare" : "framed") +
             " message holds at most " + std::to_string(limit));
  }
  return credentials;
}

}  // namespace sonicsend::cli
