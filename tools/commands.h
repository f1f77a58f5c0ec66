// The subcommands of the `sonicsend` command line; each file adds one or more of them.
#pragma once

#include <CLI/CLI.hpp>

namespace sonicsend::cli {

// Exit status for input the command cannot use: bad arguments, unreadable or unwritable files.
inline constexpr int kUsageError = 2;

void addEncodeCommand(CLI::App& app);
// `play`: sends the signal through the sound device until stopped.
void addPlayCommand(CLI::App& app);
// `decode` (a recording) and `listen` (an ALSA capture device): the reference receiver.
void addDecodeCommands(CLI::App& app);

}  // namespace sonicsend::cli
