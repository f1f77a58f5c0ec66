// What the subcommands share: how they fail, and the credentials `encode` and `play` take.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "encoder.h"
#include "platform/alsaDevices.h"

namespace sonicsend::cli {

// Prints "sonicsend COMMAND: REASON" on stderr and ends the command with `status`.
[[noreturn]] void fail(const char* command, int status, const std::string& reason);

// The shortest and longest --seconds that play and listen take: a millisecond and a week.
inline constexpr double kShortestSeconds = 0.001;
inline constexpr double kLongestSeconds = 7 * 24 * 3600.0;

// The most bytes `--key -` reads: far more than the longest key's UTF-8 (93 code units).
inline constexpr std::size_t kLongestKeyBytes = 4096;

// `text` (UTF-8, as a path or an argument may hold anything) fit for a terminal: control
// characters and bytes that form no character as \xNN, a backslash as \\, as decoded text is.
std::string printable(std::string_view text);

// Adds --list-devices to `command`: prints the ALSA devices for `direction`, one per line
// (name, a tab, description), and exits 0 without running the command.
void addListDevicesFlag(CLI::App& command, platform::Direction direction);

// Digits with an optional decimal fraction ("2", "0.5"): no sign, exponent, hexadecimal or
// "inf"; none for anything else.
std::optional<double> plainDecimal(const std::string& text);

// Accepts plain decimal seconds from kShortestSeconds to kLongestSeconds.
CLI::Validator durationCheck();
// Accepts a plain decimal percentage from 0 to 100, or "keep".
CLI::Validator volumeCheck();

// SSID and key as given (UTF-8), and the layout asked for.
struct CredentialOptions {
  std::string ssid;
  std::string key;  // "-": read from standard input
  const CLI::Option* keyOption = nullptr;
  bool bare = false;

  // Adds --ssid, --key and --bare to `command`; `bareNote` says what else --bare changes.
  void addTo(CLI::App& command, const std::string& bareNote);
};

struct Credentials {
  Layout layout;
  std::u16string ssid;  // UTF-16 code units, as the sender reads them
  std::u16string key;
};

// The credentials: an SSID that is not empty, only characters the signal carries and a receiver
// can split back (no separator in the SSID, no control character in the key), within the
// layout's limit; otherwise one line naming the problem (a character by its code point) and
// exit status 2. Without --key, a terminal on standard input is asked for the key without echo.
Credentials credentialsOrFail(const char* command, const CredentialOptions& options);

}  // namespace sonicsend::cli
