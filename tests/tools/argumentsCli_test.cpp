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
  // A millisecond, a fraction and a week are accepted: listening fails only at the device, in
  // one line of ours.
  for (const char* seconds : {"0.001", "2.5", "604800"}) {
    SCOPED_TRACE(seconds);
    const CliRun run =
        runCli(SONICSEND_CLI, {"listen", "--seconds", seconds, "--device", "no such device"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("sonicsend listen: cannot open capture device", 0), 0u) << run.err;
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
  }
}

}  // namespace
}  // namespace sonicsend::testing
