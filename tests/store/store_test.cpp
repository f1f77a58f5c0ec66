// The credential store: JSON text and values, what the store keeps, writes and logs, where, and
// what a crash leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "localSave.h"
#include "platform/dataDirectory.h"
#include "storeTestSupport.h"

namespace fs = std::filesystem;

namespace {

// What `action` writes to stderr, where the store logs.
template <class Action>
std::string logOf(Action action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

class LocalSave : public testing::Test {
 protected:
  // Opens the store of `file` as a new run would, and returns what it logged.
  std::string open() {
    return logOf([&] { store.emplace(file); });
  }

  TemporaryDirectory temporary;
  const fs::path file = temporary.path / "data" / "velarto" / "localSave.json";
  std::optional<localSave> store;
};

}  // namespace

TEST(ZKJson, ConvertsOnlyObjectsAndArraysOfValidUtf8NestedWithinTheLimit) {
  using ZKJson::Value;
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(ZKJson::toJsonValue(nested(ZKJson::kMaxDepth)).has_value());
  for (const std::string& text : std::initializer_list<std::string>{
           "", "{\"HomeNet\":\"se", "{\"a\":1} x", "not json", "\"HomeNet\"", "42",
           std::string("{}\0", 3), "{\"a\":\"\xff\"}", "[\"\\ud800\"]",
           nested(ZKJson::kMaxDepth + 1), "{\"a\":" + nested(ZKJson::kMaxDepth) + "}",
           nested(1'000'000)}) {
    EXPECT_EQ(ZKJson::toJsonValue(text), std::nullopt) << text.substr(0, 40);
  }
  for (const Value& value : {Value("HomeNet"), Value(42), Value(nullptr), Value{{"a", "\xff"}},
                             Value{{"\xc3", "b"}}, Value::array({"\xed\xa0\x80"})}) {
    EXPECT_EQ(ZKJson::toJsonString(value), std::nullopt) << value.type_name();
  }
}

TEST_F(LocalSave, KeepsOneKeyPerExactSsidInAPrivateFileRewrittenOnlyWhenAPairChanges) {
  EXPECT_EQ(open(), "read from (null)\n");
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), std::nullopt);
  EXPECT_FALSE(fs::exists(temporary.path / "data")) << "nothing exists before the first pair";
  store->saveSsid("HomeNet", "");
  EXPECT_EQ(readFile(file), R"({"HomeNet":""})");
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(temporary.path / "data").permissions(), fs::perms::owner_all);

  const auto longAgo = fs::last_write_time(file) - std::chrono::hours(24 * 365);
  fs::last_write_time(file, longAgo);
  localSave(file).saveSsid("HomeNet", "");
  EXPECT_EQ(fs::last_write_time(file), longAgo) << "an unchanged pair writes nothing";

  fs::permissions(file, fs::perms::all);
  store->saveSsid("homenet", "lower");
  store->saveSsid("", "");
  store->saveSsid("HomeNet", "upper");
  EXPECT_EQ(readFile(file), R"({"HomeNet":"upper","homenet":"lower","":""})");
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
      << "an open file is replaced by a private one";
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
  open();
  EXPECT_EQ(store->getKeyBySsid(""), "");
  EXPECT_EQ(store->getKeyBySsid("HOMENET"), std::nullopt);
}

TEST_F(LocalSave, ReadsAnyLayoutLogsItMaskedAndKeepsMembersThatAreNotStrings) {
  writeFile(file,
            "\xef\xbb\xbf\n{ \"o\" : {\"x\":{\"y\":\"k\"}},\r\n\t\"n\":12, \"a\":[{\"x\":1},"
            "\"s\"], \"HomeNet\" : \"k\\u00e9y\" }\n");
  EXPECT_EQ(open(),
            R"(read from {"o":{"x":{"y":"***"}},"n":"***","a":[{"x":"***"},"***"],"HomeNet":"***"})"
            "\n");
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), "k\xc3\xa9y");
  for (const char* ssid : {"o", "n", "a", "x"}) EXPECT_EQ(store->getKeyBySsid(ssid), std::nullopt);
  store->saveSsid("Office", "two");
  EXPECT_EQ(readFile(file),
            "{\"o\":{\"x\":{\"y\":\"k\"}},\"n\":12,\"a\":[{\"x\":1},\"s\"],"
            "\"HomeNet\":\"k\xc3\xa9y\",\"Office\":\"two\"}");
}

TEST_F(LocalSave, StartsEmptyFromAFileThatIsNotAnObjectAndReplacesItOnSave) {
  for (const auto& [bad, shown] : std::initializer_list<std::pair<std::string, std::string>>{
           {R"({"HomeNet":"se)", "(14 bytes, not JSON)"},
           {"", "(0 bytes, not JSON)"},
           {R"(["HomeNet","key"])", R"(["***","***"])"},
           {std::string("{\"HomeNet\":\"k\"}\0", 16), "(16 bytes, not JSON)"}}) {
    writeFile(file, bad);
    EXPECT_EQ(open(), "read from " + shown + "\n");
    EXPECT_EQ(store->getKeyBySsid("HomeNet"), std::nullopt) << bad;
    store->saveSsid("Office", "k");
    EXPECT_EQ(readFile(file), R"({"Office":"k"})") << bad;
  }
}

TEST_F(LocalSave, LogsOneLineForAPairItCannotWriteAndStillWritesLaterOnes) {
  open();
  const std::string refused = "not stored: the SSID or key is not UTF-8 text\n";
  EXPECT_EQ(logOf([&] { store->saveSsid("Home\xff", "key"); }), refused);
  EXPECT_EQ(logOf([&] { store->saveSsid("HomeNet", "\xc3"); }), refused);
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), std::nullopt);
  store->saveSsid("Office", "key");
  EXPECT_EQ(readFile(file), R"({"Office":"key"})");

  // Root may write anywhere: a directory where the file should be makes the write fail, and the
  // pair is kept for this run.
  fs::remove(file);
  writeFile(file / "occupied", "");
  const std::string log = logOf([&] { store->saveSsid("HomeNet", "key"); });
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), "key");
  EXPECT_EQ(log.rfind("could not write " + file.string() + ": ", 0), 0u) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1)
      << "no temporary file is left behind";
}

TEST(UserDataDirectory, FollowsXdgDataHomeOnlyWhenItIsAnAbsolutePathAndHoldsTheStore) {
  ::setenv("HOME", "/home/someone", 1);
  for (const char* unusable : std::initializer_list<const char*>{"", "data/someone", nullptr}) {
    unusable ? ::setenv("XDG_DATA_HOME", unusable, 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(velarto::store::userDataDirectory(), "/home/someone/.local/share/velarto");
  }
  ::unsetenv("HOME");
  EXPECT_TRUE(velarto::store::userDataDirectory().is_absolute())
      << "the user database names the home";

  const TemporaryDirectory temporary;
  ::setenv("XDG_DATA_HOME", temporary.path.c_str(), 1);
  localSave().saveSsid("HomeNet", "key");
  EXPECT_EQ(readFile(temporary.path / "velarto" / "localSave.json"), R"({"HomeNet":"key"})");
}

TEST(LocalSaveCrash, AKillAtAnyMomentLeavesTheOldOrTheNewFile) {
  const TemporaryDirectory temporary;
  const auto file = temporary.path / "localSave.json";
  // A long file makes each write long enough for kills to land in the middle of one.
  const std::string padding(16 * 1024, 'p');
  writeFile(file, R"({"padding":")" + padding + R"(","HomeNet":"0"})");
  const unsigned seed = std::random_device{}();
  std::minstd_rand random(seed);
  for (int round = 0, stored = 0; round < 200; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // saves keys stored+1, stored+2... for HomeNet, announcing each first
      ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
      localSave store(file);
      for (int key = stored + 1;; ++key) {
        if (::write(fds[1], &key, sizeof key) != sizeof key) ::_exit(1);
        store.saveSsid("HomeNet", std::to_string(key));
      }
    }
    ::close(fds[1]);
    ::usleep(static_cast<useconds_t>(random() % 4000));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    int started = stored;  // the last key whose save began
    for (int key = 0; ::read(fds[0], &key, sizeof key) == sizeof key;) started = key;
    ::close(fds[0]);

    const auto content = ZKJson::toJsonValue(readFile(file));
    ASSERT_EQ(content.value_or(ZKJson::Value::object()).value("padding", ""), padding);
    const int key = std::stoi(content->value("HomeNet", "-1"));
    ASSERT_TRUE(key == started || (started > stored && key == started - 1))
        << key << ", " << started;
    stored = key;
  }
}
