// What the subcommands share: how they fail, and the credentials `encode` and `play` take.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "encoder.h"

namespace sonicsend::cli {

// Prints "sonicsend COMMAND: REASON" on stderr and ends the command with `status`.
[[noreturn]] void fail(const char* command, int status, const std::string& reason);

// SSID and key as given on the command line (UTF-8), and the layout asked for.
struct CredentialOptions {
  std::string ssid;
  std::string key;
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
// status 2.
Credentials credentialsOrFail(const char* command, const CredentialOptions& options);

}  // namespace sonicsend::cli
