// What the subcommands share: how they fail, and the credentials `encode` and `play` take.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "encoder.h"

namespace sonicsend::cli {

// Prints "sonicsend COMMAND: REASON" on stderr and ends the command with `status`.
[[noreturn]] void fail(const char* command, int status, const std::string& reason);

// The longest --seconds that play and listen take: a week.
inline constexpr double kLongestSeconds = 7 * 24 * 3600.0;

// Accepts a finite number of seconds above 0 and at most kLongestSeconds.
CLI::Validator durationCheck();

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

// The credentials, within the layout's limit; otherwise one line naming the problem and exit
// status 2. Without --key, a terminal on standard input is asked for the key without echo.
Credentials credentialsOrFail(const char* command, const CredentialOptions& options);

}  // namespace sonicsend::cli
