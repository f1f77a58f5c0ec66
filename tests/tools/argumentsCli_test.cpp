// The durations `play` and `listen` take: plain decimal seconds, a millisecond to a week.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "runCli.h"

namespace sonicsend::testing {
namespace {

TEST(Durations, MustBeFinitePositiveAndAtMostAWeek) {
  for (const char* command : {"play", "listen"}) {
    for (const char* seconds : {"nan", "inf", "-1", "0", "1e10", "1e300", "604800.5", "10s", "0x10",
                                "1e-300", "0.0009"}) {
      SCOPED_TRACE(std::string(command) + " --seconds " + seconds);
      const CliRun run = runCli(SONICSEND_CLI, {command, "--seconds", seconds, "--device", "none"});
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find("at most 604800"), std::string::npos) << run.err;
      EXPECT_LT(run.err.size(), 160u) << "no 309-digit number: " << run.err;
    }
  }
  // A week is still accepted: listening fails only at the device, in one line of ours.
  const CliRun week =
      runCli(SONICSEND_CLI, {"listen", "--seconds", "604800", "--device", "no such device"});
  EXPECT_EQ(week.status, 2);
  EXPECT_EQ(week.err.rfind("sonicsend listen: cannot open capture device", 0), 0u) << week.err;
  EXPECT_EQ(std::ranges::count(week.err, '\n'), 1) << week.err;
}

}  // namespace
}  // namespace sonicsend::testing
