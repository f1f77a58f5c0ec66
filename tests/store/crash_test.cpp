// A store killed at any moment while it saves leaves the old or the new file, never a broken one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "localSave.h"
#include "storeTestSupport.h"

namespace {

std::string keyFor(int round, std::uint32_t save) {
  return std::to_string(round) + "-" + std::to_string(save);
}

// Runs in the child: saves a new key for HomeNet again and again, announcing the number of each
// save on `announce` before it starts. Never returns.
[[noreturn]] void saveForever(const std::filesystem::path& file, int round, int announce) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDERR_FILENO);
  localSave store(file);
  for (std::uint32_t save = 0;; ++save) {
    if (::write(announce, &save, sizeof save) != sizeof save) ::_exit(1);
    store.saveSsid("HomeNet", keyFor(round, save));
  }
}

// The numbers of the saves that the child started, in order.
std::vector<std::uint32_t> readAnnouncements(int fd) {
  std::vector<std::uint32_t> saves;
  std::uint32_t save = 0;
  while (::read(fd, &save, sizeof save) == sizeof save) saves.push_back(save);
  return saves;
}

}  // namespace

TEST(LocalSaveCrash, AKillAtAnyMomentLeavesTheOldOrTheNewFile) {
  const TemporaryDirectory temporary;
  const auto file = temporary.path() / "velarto" / "localSave.json";
  // A large member makes each write long enough for kills to land in the middle of one.
  const std::string padding(16 * 1024, 'p');
  {
    testing::internal::CaptureStderr();
    localSave store(file);
    store.saveSsid("padding", padding);
    store.saveSsid("HomeNet", "initial");
    testing::internal::GetCapturedStderr();
  }
  std::string current = "initial";

  const auto seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, 4000);

  for (int round = 0; round < 200; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) saveForever(file, round, fds[1]);
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped on its own in round " << round;
    const auto saves = readAnnouncements(fds[0]);
    ::close(fds[0]);

    // Only the save in progress may be missing from the file.
    std::set<std::string> allowed = {current};
    if (!saves.empty()) {
      allowed = {keyFor(round, saves.back())};
      allowed.insert(saves.back() == 0 ? current : keyFor(round, saves.back() - 1));
    }
    const auto stored = ZKJson::toJsonValue(readFile(file));
    ASSERT_TRUE(stored.has_value()) << "round " << round;
    ASSERT_EQ(stored->size(), 2u) << "round " << round;
    ASSERT_EQ(stored->value("padding", ""), padding) << "round " << round;
    const std::string key = stored->value("HomeNet", "");
    ASSERT_TRUE(allowed.count(key)) << "round " << round << ": found " << key;
    current = key;
  }
}
