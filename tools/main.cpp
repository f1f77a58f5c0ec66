#include <CLI/CLI.hpp>
#include <string>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"sonicsend: hand Wi-Fi credentials to a listening device by sound"};
  app.require_subcommand(1);
  // One line naming the problem, for every usage error.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("sonicsend: ") + e.what() + " (see --help)\n";
  });
  sonicsend::cli::addEncodeCommand(app);
  sonicsend::cli::addPlayCommand(app);
  sonicsend::cli::addDecodeCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A command ends with its own status by throwing CLI::RuntimeError(status).
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    // CLI11 reports usage errors with its own code; ours is 2 for every one of them.
    const int status = app.exit(e);
    return status == 0 ? 0 : sonicsend::cli::kUsageError;
  }
  return 0;
}
