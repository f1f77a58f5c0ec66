// Runs the `sonicsend` command line as a user would, for the tests of its subcommands.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sonicsend::testing {

struct CliRun {
  int status;  // exit status, or -1 when the program did not exit normally
  std::string out, err;
};

inline std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `program` with `arguments`, each quoted, through the shell after the shell text `before`:
// limits, traps, or a pipe into its standard input.
inline CliRun runCli(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& before = "") {
  const auto errPath =
      std::filesystem::temp_directory_path() / ("run-cli-" + std::to_string(getpid()) + ".err");
  std::string command = before + " " + shellQuoted(program);
  for (const auto& argument : arguments) command += " " + shellQuoted(argument);
  FILE* pipe = popen((command + " 2>" + shellQuoted(errPath)).c_str(), "r");
  CliRun run{-1, {}, {}};
  for (int c; (c = std::fgetc(pipe)) != EOF;) run.out.push_back(static_cast<char>(c));
  const int status = pclose(pipe);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  std::ifstream err(errPath);
  run.err.assign(std::istreambuf_iterator<char>(err), {});
  std::filesystem::remove(errPath);
  return run;
}

}  // namespace sonicsend::testing
