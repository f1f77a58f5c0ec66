// What `encode`, `play` and `listen` take besides the credentials themselves: the key from
// standard input, and durations.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "runCli.h"

namespace sonicsend::testing {
namespace {

namespace fs = std::filesystem;

TEST(KeyOption, DashReadsOneLineFromStandardInput) {
  const fs::path dir = fs::temp_directory_path() / ("key-cli-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "key.txt") << "a key with spaces\r\nnot this line\n";
  std::ofstream(dir / "empty.txt") << "";
  const auto encode = [&](const char* input) {
    return runCli(SONICSEND_CLI, {"encode", "--ssid", "net", "--key", "-", "-o", dir / "out.wav"},
                  {"", (dir / input).string()});
  };
  ASSERT_EQ(encode("key.txt").status, 0);
  const CliRun heard = runCli(SONICSEND_CLI, {"decode", (dir / "out.wav").string()});
  EXPECT_EQ(heard.out, "SSID: net\nKey:  a key with spaces\n");
  const CliRun empty = encode("empty.txt");
  EXPECT_EQ(empty.status, 2);
  EXPECT_NE(empty.err.find("no key"), std::string::npos) << empty.err;
  fs::remove_all(dir);
}

TEST(Durations, MustBeFinitePositiveAndAtMostAWeek) {
  for (const char* command : {"play", "listen"}) {
    for (const char* seconds : {"nan", "inf", "-1", "0", "1e10", "1e300", "604800.5", "10s"}) {
      SCOPED_TRACE(std::string(command) + " --seconds " + seconds);
      const CliRun run = runCli(SONICSEND_CLI, {command, "--ssid", "n", "--key", "k", "--seconds",
                                                seconds, "--device", "none"});
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find("at most 604800"), std::string::npos) << run.err;
      EXPECT_LT(run.err.size(), 160u) << run.err;
    }
  }
  // A week is still accepted: listening fails only at the device.
  const CliRun week =
      runCli(SONICSEND_CLI, {"listen", "--seconds", "604800", "--device", "no such device"});
  EXPECT_EQ(week.status, 2);
  EXPECT_EQ(week.err.rfind("sonicsend listen: cannot open capture device", 0), 0u) << week.err;
  EXPECT_EQ(std::ranges::count(week.err, '\n'), 1) << "ALSA's own lines silenced: " << week.err;
}

}  // namespace
}  // namespace sonicsend::testing
