// Runs the `sonicsend` command line as a user would, for the tests of its subcommands.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sonicsend::testing {

struct CliRun {
  int status;       // exit status, or -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string shellQuoted(const std::string& argument) {
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

// How the shell sets the program up: commands run before it (limits, traps), and a file piped
// into its standard input.
struct CliSetup {
  std::string shellBefore;
  std::string stdinPath;
};

// Runs `program` with `arguments` through the shell, each argument quoted.
inline CliRun runCli(const std::string& program, const std::vector<std::string>& arguments,
                     const CliSetup& setup = {}) {
  const auto errPath =
      std::filesystem::temp_directory_path() / ("run-cli-" + std::to_string(getpid()) + ".err");
  std::string command = setup.shellBefore + " ";
  if (!setup.stdinPath.empty()) command.append("cat ").append(shellQuoted(setup.stdinPath) + " | ");
  command.append(shellQuoted(program));
  for (const auto& argument : arguments) command.append(" ").append(shellQuoted(argument));
  command.append(" 2>").append(shellQuoted(errPath.string()));

  CliRun run{-1, {}, {}};
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 512> chunk{};
  while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) run.out += chunk.data();
  const int status = pclose(pipe);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  std::ifstream err(errPath);
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  std::filesystem::remove(errPath);
  return run;
}

}  // namespace sonicsend::testing
