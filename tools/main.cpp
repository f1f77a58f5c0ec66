#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"

namespace {

// CLI11 reads "--name=" as "--name" and takes the next argument as its value; here an empty
// value after "=" is the empty string, so such an argument is split into "--name" and "".
std::vector<std::string> argumentsOf(int argc, char** argv) {
  std::vector<std::string> arguments;
  bool operands = false;  // after "--", every argument is taken as it is
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    operands |= argument == "--";
    if (!operands && argument.starts_with("--") && argument.find('=') == argument.size() - 1 &&
        argument.size() > 3) {
      argument.pop_back();
      arguments.push_back(std::move(argument));
      arguments.emplace_back();
    } else {
      arguments.push_back(std::move(argument));
    }
  }
  std::ranges::reverse(arguments);  // CLI11 takes them from the back
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond the file size limit (ulimit -f) fails with EFBIG instead of ending the
  // program, so that `encode` removes its unfinished file and says why.
  std::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"sonicsend: hand Wi-Fi credentials to a listening device by sound"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "sonicsend " SONICSEND_VERSION);
  // One line naming the problem, for every usage error.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("sonicsend: ") + e.what() + " (see --help)\n";
  });
  sonicsend::cli::addEncodeCommand(app);
  sonicsend::cli::addPlayCommand(app);
  sonicsend::cli::addDecodeCommands(app);
  try {
    const auto named = [&](const CLI::App* command) { return command->check_name(argv[1]); };
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands(named).empty()) {
      sonicsend::cli::fail("", sonicsend::cli::kUsageError,
                           "no command named \"" + sonicsend::cli::printable(argv[1]) +
                               "\" (the commands are encode, play, decode and listen; see --help)");
    }
    std::vector<std::string> arguments = argumentsOf(argc, argv);
    app.parse(arguments);
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
