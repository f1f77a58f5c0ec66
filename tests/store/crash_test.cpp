// A store killed at any moment while it saves leaves the old or the new file, never a broken one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "localSave.h"
#include "storeTestSupport.h"

namespace {

// In a child: stores key 1, 2, 3... for HomeNet, writing each number to `announce` before it
// saves. Never returns.
[[noreturn]] void saveForever(const std::filesystem::path& file, int announce) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
  localSave store(file);
  const int first = std::stoi(store.getKeyBySsid("HomeNet").value_or("0")) + 1;
  for (int key = first;; ++key) {
    if (::write(announce, &key, sizeof key) != sizeof key) ::_exit(1);
    store.saveSsid("HomeNet", std::to_string(key));
  }
}

}  // namespace

TEST(LocalSaveCrash, AKillAtAnyMomentLeavesTheOldOrTheNewFile) {
  const TemporaryDirectory temporary;
  const auto file = temporary.path / "velarto" / "localSave.json";
  // A longer file makes each write long enough for kills to land in the middle of one.
  const std::string padding(16 * 1024, 'p');
  writeFile(file, R"({"padding":")" + padding + R"(","HomeNet":"0"})");
  int stored = 0;
  const auto seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, 4000);

  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) saveForever(file, fds[1]);
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    int started = stored;  // the last key whose save began
    for (int key = 0; ::read(fds[0], &key, sizeof key) == sizeof key;) started = key;
    ::close(fds[0]);

    const auto content = ZKJson::toJsonValue(readFile(file));
    ASSERT_TRUE(content.has_value());
    ASSERT_EQ(content->size(), 2u);
    ASSERT_EQ(content->value("padding", ""), padding);
    const int key = std::stoi(content->value("HomeNet", "-1"));
    ASSERT_TRUE(key == started || (started > stored && key == started - 1))
        << key << ", " << started;
    stored = key;
  }
}
