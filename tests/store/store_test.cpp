// The credential store: JSON text, what the store keeps, writes and logs, where, and what
// crashes and other processes leave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <ctime>
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

// While set, the store's lock file cannot be opened, as on a file system that cannot hold its
// name (vfat answers EINVAL): an error flock itself also gives, which must not pass for one.
static bool gLockNameRefused = false;
extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  if (gLockNameRefused && std::string_view(path).ends_with(".lock")) return errno = EINVAL, -1;
  return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
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
  auto erased = ZKJson::toJsonValue(R"({"a":"1","b":"2","c":"3"})").value();
  erased.erase("a");  // the index is built again: "c" is found at its new place
  erased["c"] = "4";
  EXPECT_EQ(ZKJson::toJsonString(erased), R"({"b":"2","c":"4"})");
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

TEST_F(LocalSave, LogsOneLineForAPairThatIsNotUtf8AndStoresNothing) {
  open();
  for (const auto& [ssid, key] : {std::pair{"Home\xff", "key"}, std::pair{"HomeNet", "\xc3"}}) {
    EXPECT_EQ(logOf([&] { store->saveSsid(ssid, key); }),
              "not stored: the SSID or key is not UTF-8 text\n");
  }
  EXPECT_FALSE(fs::exists(file));
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
    while (store->hasUnsavedPairs()) store->save();  // the lock may stay busy past one wait
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

// A fault made before HomeNet is stored; what it returns mends it (and checks what it left)
// before Office is stored.
using Mend = std::function<void()>;
struct Fault {
  const char* name;
  std::function<Mend(LocalSave&)> make;
  bool pending = false;  // HomeNet waits for a later save
  const char* file = R"({"HomeNet":"","Office":"k"})";
};
void PrintTo(const Fault& row, std::ostream* out) {
  *out << row.name;
}

// The store opened on a file holding `text`; `written` checks the file after HomeNet.
std::function<Mend(LocalSave&)> reading(std::string text, std::string written = "") {
  return [=](LocalSave& t) -> Mend {
    writeFile(t.file, text);
    t.open();
    return [=, &t] { EXPECT_TRUE(written.empty() || readFile(t.file) == written); };
  };
}

fs::path temporaryOf(const LocalSave& t, pid_t writer, const char* rest) {
  return t.file.parent_path() / (".localSave.json." + std::to_string(writer) + rest);
}

const Fault kFaults[] = {
    {"DirectoryInTheWay",
     [](LocalSave& t) -> Mend {
       writeFile(t.file / "occupied", "");
       return [&t] { fs::remove_all(t.file); };
     },
     true},
    {"FileSizeLimit",
     [](LocalSave&) -> Mend {
       rlimit limit{};
       ::getrlimit(RLIMIT_FSIZE, &limit);
       const rlimit tiny{4, limit.rlim_max};
       ::setrlimit(RLIMIT_FSIZE, &tiny);
       return [limit] { ::setrlimit(RLIMIT_FSIZE, &limit); };
     },
     true},
    {"NoHardLinksNorFlock",
     [](LocalSave& t) -> Mend {
       writeFile(t.file, "not JSON");
       const fs::file_time_type longAgo{};  // a link keeps it, a copy is new
       fs::last_write_time(t.file, longAgo);
       // Files set aside earlier under the names of the next minute, however slowly the
       // save comes: the copy takes another name, and they stay as they are.
       const std::time_t now = std::time(nullptr);
       for (std::time_t second = now; second < now + 60; ++second) {
         std::tm utc{};
         char stamp[32] = {};
         std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", ::gmtime_r(&second, &utc));
         writeFile(t.file.string() + ".unreadable-" + stamp, "earlier");
       }
       t.open();
       gNoLinksOrLocks = true;
       return [&t, longAgo] {
         gNoLinksOrLocks = false;
         int kept = 0;
         for (const auto& entry : fs::directory_iterator(t.file.parent_path())) {
           if (!entry.path().filename().string().starts_with("localSave.json.unreadable-") ||
               readFile(entry.path()) == "earlier")
             continue;
           EXPECT_EQ(readFile(entry.path()), "not JSON");
           EXPECT_NE(entry.last_write_time(), longAgo) << "a copy, not a link";
           ++kept;
         }
         EXPECT_EQ(kept, 1);
       };
     }},
    {"LockFileNameRefused",
     [](LocalSave&) -> Mend {
       gLockNameRefused = true;
       return [] { gLockNameRefused = false; };
     },
     true},
    {"SaveOfAnotherStore",
     [](LocalSave& t) -> Mend {
       localSave(t.file).saveSsid("B", "2");
       t.store->save();
       return [] {};
     },
     false, R"({"B":"2","HomeNet":"","Office":"k"})"},
    {"TempFilesOfKilledSaves",
     [](LocalSave& t) -> Mend {
       const pid_t gone = ::fork();
       if (gone == 0) ::_exit(0);
       ::waitpid(gone, nullptr, 0);
       for (const pid_t writer : {gone, ::getppid()}) {  // the test's parent is still running
         for (const char* rest : {"", ".Ab12Cd"}) writeFile(temporaryOf(t, writer, rest), "{}");
       }
       return [&t, gone] {
         for (const char* rest : {"", ".Ab12Cd"}) {
           EXPECT_FALSE(fs::exists(temporaryOf(t, gone, rest))) << rest;
           EXPECT_TRUE(fs::exists(temporaryOf(t, ::getppid(), rest))) << rest;
         }
       };
     }},
    {"Symlink",
     [](LocalSave& t) -> Mend {
       writeFile(t.temporary.path / "elsewhere" / "keys.json", R"({"B":"2"})");
       fs::create_directories(t.file.parent_path());
       fs::create_symlink("../../elsewhere/keys.json", t.file);
       return [&t] { EXPECT_TRUE(fs::is_symlink(t.file)); };
     },
     false, R"({"B":"2","HomeNet":"","Office":"k"})"},
    {"LockHeldByAnotherProcess",
     [](LocalSave& t) -> Mend {
       fs::create_directories(t.file.parent_path());
       int ready[2];
       if (::pipe(ready) != 0) return [] { FAIL(); };
       const pid_t holder = ::fork();
       if (holder == 0) {  // holds the lock until killed
         ::flock(::open((t.file.string() + ".lock").c_str(), O_RDWR | O_CREAT, 0600), LOCK_EX);
         for (::close(ready[1]);;) ::pause();
       }
       ::close(ready[1]);
       char none = 0;
       EXPECT_EQ(::read(ready[0], &none, 1), 0) << "returns once the lock is held";
       return [&t, holder] {
         EXPECT_FALSE(fs::exists(t.file));
         ::kill(holder, SIGKILL);
         ::waitpid(holder, nullptr, 0);
       };
     },
     true},
    {"Umask777",
     [](LocalSave& t) -> Mend {
       return [&t, old = ::umask(0777)] {
         ::umask(old);
         for (const auto& dir : {t.temporary.path / "data", t.file.parent_path()}) {
           EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << dir;
         }
         for (const auto& file : {t.file, fs::path(t.file.string() + ".lock")}) {
           EXPECT_EQ(fs::status(file).permissions(), kPrivate) << file;
         }
       };
     }},
    {"EmptyObjectThenThe14ByteText", reading("{}", R"({"HomeNet":""})")},
    {"EmptyText", reading("")},
    {"LoneString", reading(R"("HomeNet")")},
    {"DuplicateNames", reading(R"({"A":"1","HomeNet":"x","A":"2"})"), false,
     R"({"A":"2","HomeNet":"","Office":"k"})"},
};

class StoreFault : public LocalSave, public testing::WithParamInterface<Fault> {};

}  // namespace

// Under each fault the pair is kept, answered at once, and written by the next save.
TEST_P(StoreFault, NeitherLosesNorHoldsAPair) {
  velarto::store::setLogSink([](auto, auto) {});
  open();
  const Mend mend = GetParam().make(*this);
  store->saveSsid("HomeNet", "");
  EXPECT_EQ(store->getKeyBySsid("HomeNet"), "");
  EXPECT_EQ(store->hasUnsavedPairs(), GetParam().pending);
  mend();
  store->saveSsid("Office", "k");
  EXPECT_FALSE(store->hasUnsavedPairs());
  EXPECT_EQ(readFile(file), GetParam().file);
  // No temporary file is left, but those a row made for a live process.
  const std::string live = ".localSave.json." + std::to_string(::getppid());
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(!name.starts_with(".localSave.json.") || name.starts_with(live)) << name;
  }
  velarto::store::setLogSink({});
}

INSTANTIATE_TEST_SUITE_P(Rows, StoreFault, testing::ValuesIn(kFaults),
                         [](const auto& row) { return std::string(row.param.name); });
