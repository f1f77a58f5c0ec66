// The credential store: JSON text, what the store keeps, writes and logs, where, and what
// crashes and other processes leave.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "localSave.h"
#include "platform/dataDirectory.h"
#include "storeLog.h"
#include "storeTestSupport.h"

namespace fs = std::filesystem;

// A file system without hard links or flock (some network and FAT mounts) while set: the store's
// calls to these end here, in place of the C library's.
static bool gNoLinksOrLocks = false;
extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to,
                      int flags) noexcept {
  if (gNoLinksOrLocks) return errno = EPERM, -1;
  return static_cast<int>(::syscall(SYS_linkat, fromDir, from, toDir, to, flags));
}
extern "C" int flock(int fd, int operation) noexcept {
  if (gNoLinksOrLocks) return errno = ENOLCK, -1;
  return static_cast<int>(::syscall(SYS_flock, fd, operation));
}

namespace {

const fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;

// The lines the store logs while `action` runs.
std::string logOf(const std::function<void()>& action) {
  std::string lines;
  velarto::store::setLogSink([&](auto, std::string_view line) { (lines += line) += '\n'; });
  action();
  velarto::store::setLogSink({});
  return lines;
}

class LocalSave : public testing::Test {
 public:
  std::string open() {
    return logOf([&] { store.emplace(file); });
  }  // as a new run does

  TemporaryDirectory temporary;
  const fs::path file = temporary.path / "data" / "velarto" / "localSave.json";
  std::optional<localSave> store;
};

}  // namespace

TEST(ZKJson, RefusesWhatTheStoreCannotReadOrWriteBack) {
  const auto nest = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_TRUE(ZKJson::toJsonValue(nest(ZKJson::kMaxDepth)));
  for (const auto& [name, text] :
       std::map<std::string, std::string>{{"cut short", "{\"a\":\"se"},
                                          {"number", "42"},
                                          {"NUL after", std::string("{}\0", 3)},
                                          {"bad UTF-8", "[\"\xff\"]"},
                                          {"too deep", "[" + nest(ZKJson::kMaxDepth) + "]"},
                                          {"very deep", nest(1 << 20)}}) {
    EXPECT_EQ(ZKJson::toJsonValue(text), std::nullopt) << name;
  }
  for (const auto& [name, value] : std::map<std::string, ZKJson::Value>{
           {"number", 42}, {"bad value", {{"a", "\xff"}}}, {"bad name", {{"\xc3", "b"}}}}) {
    EXPECT_EQ(ZKJson::toJsonString(value), std::nullopt) << name;
  }
}

TEST_F(LocalSave, KeepsOneKeyPerExactSsidInOrderInAPrivateFileMadeAtTheFirstSave) {
  EXPECT_EQ(open(), "read from (null)\n");
  EXPECT_FALSE(fs::exists(temporary.path / "data"));
  for (const char* ssid : {"HomeNet", "homenet", "", "HomeNet"}) store->saveSsid(ssid, ssid);
  EXPECT_EQ(readFile(file), R"({"HomeNet":"HomeNet","homenet":"homenet","":""})");
  EXPECT_EQ(fs::status(file).permissions(), kPrivate);
  EXPECT_EQ(fs::status(temporary.path / "data").permissions(), fs::perms::owner_all);
  open();
  EXPECT_EQ(store->getKeyBySsid(""), "");
  EXPECT_EQ(store->getKeyBySsid("HOMENET"), std::nullopt);
}

TEST_F(LocalSave, AnUnchangedPairWritesNothing) {
  writeFile(file, R"({"HomeNet":"k"})");
  const auto longAgo = fs::last_write_time(file) - std::chrono::hours(24 * 365);
  fs::last_write_time(file, longAgo);
  open();
  store->saveSsid("HomeNet", "k");
  EXPECT_EQ(fs::last_write_time(file), longAgo);
}

TEST_F(LocalSave, ReadsAnyLayoutLogsItMaskedAndKeepsMembersThatAreNotStrings) {
  writeFile(file,
            "\xef\xbb\xbf\n{ \"o\" : {\"x\":{\"y\":\"k\"}},\r\n\t\"n\":12, \"a\":[{\"x\":1},"
            "\"s\"], \"HomeNet\" : \"k\\u00e9y\" }\n");
  EXPECT_EQ(open(), R"(read from {"o":{"x":{"y":"***"}},"n":"***","a":[{"x":"***"},"***"],)"
                    R"("HomeNet":"***"})"
                    "\n");
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), "k\xc3\xa9y");
  EXPECT_EQ(store->getKeyBySsid("o"), std::nullopt);  // nor any other member not a string
  store->saveSsid("Office", "two");
  EXPECT_EQ(readFile(file),
            "{\"o\":{\"x\":{\"y\":\"k\"}},\"n\":12,\"a\":[{\"x\":1},\"s\"],"
            "\"HomeNet\":\"k\xc3\xa9y\",\"Office\":\"two\"}");
}

TEST_F(LocalSave, KeepsAFileItCannotReadBesideItBeforeReplacingIt) {
  for (const std::string text : {R"({"HomeNet":"se)", "[1]"}) {
    fs::remove_all(file.parent_path());
    writeFile(file, text);
    open();
    const std::string log = logOf([&] { store->saveSsid("Office", "k"); });
    EXPECT_EQ(readFile(file), R"({"Office":"k"})") << text;
    std::string kept = log.substr(log.find(" kept as ") + 9);
    kept.pop_back();  // the line's end
    EXPECT_TRUE(kept.starts_with(file.string() + ".unreadable-20")) << log;
    EXPECT_EQ(readFile(kept), text);
    EXPECT_EQ(fs::status(kept).permissions(), kPrivate);
  }
}

TEST_F(LocalSave, LogsOneLineForAPairItCannotStoreAndKeepsAWritablePairForThisRun) {
  open();
  for (const auto& [ssid, key] : {std::pair{"Home\xff", "key"}, std::pair{"HomeNet", "\xc3"}}) {
    EXPECT_EQ(logOf([&] { store->saveSsid(ssid, key); }),
              "not stored: the SSID or key is not UTF-8 text\n");
  }
  writeFile(file / "occupied", "");  // a directory where the file should be
  const std::string log = logOf([&] { store->saveSsid("HomeNet", "key"); });
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), "key");
  EXPECT_TRUE(log.starts_with("could not write " + file.string() + ": ")) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 2) << "lock, directory";
}

TEST(UserDataDirectory, FollowsXdgDataHomeOnlyWhenItIsAnAbsolutePath) {
  ::setenv("HOME", "/home/someone", 1);
  for (const char* unusable : {"", "data/someone", static_cast<const char*>(nullptr)}) {
    unusable ? ::setenv("XDG_DATA_HOME", unusable, 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(velarto::store::userDataDirectory(), "/home/someone/.local/share/velarto");
  }
  ::unsetenv("HOME");
  EXPECT_TRUE(velarto::store::userDataDirectory().is_absolute()) << "the user database's home";
  const TemporaryDirectory temporary;
  ::setenv("XDG_DATA_HOME", temporary.path.c_str(), 1);
  localSave().saveSsid("HomeNet", "key");
  EXPECT_EQ(readFile(temporary.path / "velarto" / "localSave.json"), R"({"HomeNet":"key"})");
}

TEST_F(LocalSave, SeveralProcessesSavingAtOnceKeepEveryPair) {
  velarto::store::setLogSink([](auto, auto) {});
  for (int process = 0; process < 4; ++process) {
    if (::fork() != 0) continue;
    store.emplace(file);  // opened once: what the others store meanwhile is found on disk
    for (int n = process; n < 600; n += 4) store->saveSsid(std::to_string(n), "k");
    ::_exit(0);
  }
  while (::wait(nullptr) > 0) continue;
  open();
  for (int n = 0; n < 600; ++n) ASSERT_TRUE(store->getKeyBySsid(std::to_string(n))) << n;
}

TEST_F(LocalSave, AKillAtAnyMomentLeavesTheOldOrTheNewFile) {
  velarto::store::setLogSink([](auto, auto) {});
  const std::string padding(16 * 1024, 'p');  // makes each write long enough to be cut
  writeFile(file, R"({"padding":")" + padding + R"(","HomeNet":"0"})");
  const unsigned seed = std::random_device{}();
  std::minstd_rand random(seed);
  for (int round = 0, stored = 0; round < 200; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    const pid_t child = ::fork();
    if (child == 0) {  // stores ever higher keys for HomeNet until killed
      for (store.emplace(file);;) store->saveSsid("HomeNet", std::to_string(++stored));
    }
    ::usleep(static_cast<useconds_t>(random() % 4000));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const auto content = ZKJson::toJsonValue(readFile(file)).value_or(ZKJson::Value::object());
    ASSERT_EQ(content.value("padding", ""), padding);
    ASSERT_GE(std::stoi(content.value("HomeNet", "-1")), stored);
    stored = std::stoi(content.value("HomeNet", "-1"));
  }
}

namespace {

// `action` run in a child process, which exits with what it returns; true when it did return.
bool inChild(const std::function<bool()>& action) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(action() ? 0 : 1);
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A child process that waits until killed, after `start` has run in it.
pid_t waitingChild(const std::function<void()>& start = [] {}) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    start();
    for (::close(ready[1]);;) ::pause();
  }
  ::close(ready[1]);
  char done = 0;
  (void)::read(ready[0], &done, 1);  // returns once the child has closed its end
  ::close(ready[0]);
  return child;
}

void killChild(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// The file after `text` was in it and HomeNet was stored with an empty key.
std::string savedOver(LocalSave& t, const std::string& text) {
  writeFile(t.file, text);
  t.open();
  t.store->saveSsid("HomeNet", "");
  return readFile(t.file);
}

std::vector<fs::path> kept(const LocalSave& t) {
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(t.file.parent_path())) {
    if (entry.path().filename().string().starts_with("localSave.json.unreadable-")) {
      names.push_back(entry.path());
    }
  }
  return names;
}

struct Fault {
  const char* name;
  std::function<void(LocalSave&)> run;
};

const Fault kFaults[] = {
    {"FailedWriteThenLaterSaveKeepsTheFirstPair",
     [](LocalSave& t) {
       t.open();
       writeFile(t.file / "occupied", "");
       t.store->saveSsid("A", "1");
       fs::remove_all(t.file);
       t.store->saveSsid("B", "2");
       EXPECT_EQ(readFile(t.file), R"({"A":"1","B":"2"})");
     }},
    {"FileSizeLimitFailsTheWriteWithoutKillingAndTheRetryWrites",
     [](LocalSave& t) {
       t.open();
       EXPECT_TRUE(inChild([&] {
         rlimit limit{};
         ::getrlimit(RLIMIT_FSIZE, &limit);
         const rlimit tiny{4, limit.rlim_max};
         ::setrlimit(RLIMIT_FSIZE, &tiny);
         t.store->saveSsid("HomeNet", "k");
         const bool pending = t.store->hasUnsavedPairs() && t.store->getKeyBySsid("HomeNet");
         ::setrlimit(RLIMIT_FSIZE, &limit);
         t.store->save();
         return pending && !t.store->hasUnsavedPairs();
       }));
       EXPECT_EQ(readFile(t.file), R"({"HomeNet":"k"})");
       EXPECT_EQ(std::distance(fs::directory_iterator(t.file.parent_path()), {}), 2);
     }},
    {"WithoutHardLinksOrFlockSavesAndCopiesAnUnreadableFileAside",
     [](LocalSave& t) {
       writeFile(t.file, "not JSON");
       struct stat original {};
       ::stat(t.file.c_str(), &original);
       t.open();
       gNoLinksOrLocks = true;
       const std::string log = logOf([&] { t.store->saveSsid("HomeNet", "k"); });
       gNoLinksOrLocks = false;
       EXPECT_NE(log.find("without a lock"), std::string::npos) << log;
       EXPECT_EQ(readFile(t.file), R"({"HomeNet":"k"})");
       ASSERT_EQ(kept(t).size(), 1u);
       EXPECT_EQ(readFile(kept(t)[0]), "not JSON");
       struct stat copy {};
       ::stat(kept(t)[0].c_str(), &copy);
       EXPECT_NE(copy.st_ino, original.st_ino) << "a copy, not a link";
     }},
    {"SaveLeavesWhatAnotherStoreWrote",
     [](LocalSave& t) {
       t.open();
       localSave(t.file).saveSsid("B", "2");
       t.store->save();
       t.store->saveSsid("A", "1");
       EXPECT_EQ(readFile(t.file), R"({"B":"2","A":"1"})");
     }},
    {"TempFilesOfKilledSavesAreRemoved",
     [](LocalSave& t) {
       const pid_t gone = waitingChild(), alive = waitingChild();
       killChild(gone);
       const auto temporary = [&](pid_t pid, const char* rest) {
         return t.file.parent_path() / (".localSave.json." + std::to_string(pid) + rest);
       };
       for (const char* rest : {"", ".Ab12Cd"}) {
         writeFile(temporary(gone, rest), "{}");
         writeFile(temporary(alive, rest), "{}");
       }
       t.open();
       t.store->saveSsid("A", "1");
       killChild(alive);
       for (const char* rest : {"", ".Ab12Cd"}) {
         EXPECT_FALSE(fs::exists(temporary(gone, rest))) << rest;
         EXPECT_TRUE(fs::exists(temporary(alive, rest))) << rest;
       }
     }},
    {"SymlinkedFileIsWrittenThroughToItsTarget",
     [](LocalSave& t) {
       const auto target = t.temporary.path / "elsewhere" / "keys.json";
       writeFile(target, R"({"B":"2"})");
       fs::create_directories(t.file.parent_path());
       fs::create_symlink("../../elsewhere/keys.json", t.file);
       t.open();
       t.store->saveSsid("A", "1");
       EXPECT_TRUE(fs::is_symlink(t.file));
       EXPECT_EQ(readFile(target), R"({"B":"2","A":"1"})");
     }},
    {"HeldLockKeepsThePairPendingUntilItIsFree",
     [](LocalSave& t) {
       t.open();
       const auto lockFile = t.file.string() + ".lock";
       writeFile(lockFile, "");
       const pid_t holder =
           waitingChild([&] { ::flock(::open(lockFile.c_str(), O_RDWR), LOCK_EX); });
       t.store->saveSsid("A", "1");
       EXPECT_EQ(t.store->getKeyBySsid("A"), "1");
       EXPECT_TRUE(t.store->hasUnsavedPairs());
       EXPECT_FALSE(fs::exists(t.file));
       killChild(holder);
       t.store->save();
       EXPECT_EQ(readFile(t.file), R"({"A":"1"})");
     }},
    {"UmaskTakesNothingFromTheModes",
     [](LocalSave& t) {
       const mode_t old = ::umask(0777);
       t.open();
       t.store->saveSsid("A", "1");
       ::umask(old);
       for (const auto& dir : {t.temporary.path / "data", t.file.parent_path()}) {
         EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << dir;
       }
       EXPECT_EQ(fs::status(t.file.string() + ".lock").permissions(), kPrivate);
       EXPECT_EQ(fs::status(t.file).permissions(), kPrivate);
     }},
    {"EmptyObjectIsAnEmptyStoreAndTheFirstPairGivesThe14ByteText",
     [](LocalSave& t) {
       EXPECT_EQ(savedOver(t, "{}"), R"({"HomeNet":""})");
       EXPECT_TRUE(kept(t).empty());
     }},
    {"EmptyTextIsAnEmptyStore",
     [](LocalSave& t) { EXPECT_EQ(savedOver(t, ""), R"({"HomeNet":""})"); }},
    {"LoneStringIsAnEmptyStore",
     [](LocalSave& t) { EXPECT_EQ(savedOver(t, R"("HomeNet")"), R"({"HomeNet":""})"); }},
    {"DuplicateNamesKeepTheLastValueInTheFirstPlace",
     [](LocalSave& t) {
       EXPECT_EQ(savedOver(t, R"({"A":"1","HomeNet":"x","A":"2"})"), R"({"A":"2","HomeNet":""})");
     }},
    {"EraseReindexesTheOrderedMap",
     [](LocalSave&) {
       auto value = ZKJson::toJsonValue(R"({"a":"1","b":"2","c":"3"})").value();
       value.erase("a");
       EXPECT_FALSE(value.contains("a"));
       EXPECT_EQ(value["c"], "3");
       value["a"] = "4";
       EXPECT_EQ(ZKJson::toJsonString(value), R"({"b":"2","c":"3","a":"4"})");
     }},
};

void PrintTo(const Fault& row, std::ostream* out) {
  *out << row.name;
}

class StoreFault : public LocalSave, public testing::WithParamInterface<Fault> {};

}  // namespace

TEST_P(StoreFault, KeepsEveryKey) {
  velarto::store::setLogSink([](auto, auto) {});
  GetParam().run(*this);
  velarto::store::setLogSink({});
}

INSTANTIATE_TEST_SUITE_P(Rows, StoreFault, testing::ValuesIn(kFaults),
                         [](const auto& row) { return std::string(row.param.name); });
