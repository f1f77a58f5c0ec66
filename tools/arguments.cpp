#include "arguments.h"

#include <utf8.h>

#include <cmath>
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
  auto key = platform::readStdinLine(platform::stdinIsTerminal(), "Key: ");
  if (!key) fail(command, kUsageError, "no key on standard input");
  return *key;
}

}  // namespace

CLI::Validator durationCheck() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        char* end = nullptr;
        const double seconds = std::strtod(text.c_str(), &end);
        const bool number = !text.empty() && *end == '\0';
        if (number && std::isfinite(seconds) && seconds > 0.0 && seconds <= kLongestSeconds) {
          return {};
        }
        return "must be a number of seconds above 0 and at most 604800 (a week)";
      },
      "SECONDS in (0, 604800]");
}

void fail(const char* command, int status, const std::string& reason) {
  std::fprintf(stderr, "sonicsend %s: %s\n", command, reason.c_str());
  throw CLI::RuntimeError(status);
}

void CredentialOptions::addTo(CLI::App& command, const std::string& bareNote) {
  command.add_option("--ssid", ssid, "SSID of the network (UTF-8)")->required();
  keyOption = command.add_option(
      "--key", key,
      "Key of the network (UTF-8); may be empty. \"-\" reads one line from standard input; "
      "without --key a terminal asks for it. Other local users can see a key given here");
  command.add_flag("--bare", bare,
                   "Bare layout: SSID, 0x0D, key (no header, no checksum)" + bareNote +
                       "; SSID + key at most 95 UTF-16 code units instead of 93");
}

Credentials credentialsOrFail(const char* command, const CredentialOptions& options) {
  Credentials credentials{options.bare ? Layout::bare : Layout::framed,
                          utf16OrFail(command, options.ssid, "--ssid"),
                          utf16OrFail(command, keyOrFail(command, options), "--key")};
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
