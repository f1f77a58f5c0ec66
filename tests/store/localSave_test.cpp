// The credential store: what it keeps, what it writes, and when.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "localSave.h"
#include "storeTestSupport.h"

namespace fs = std::filesystem;

namespace {

class LocalSave : public testing::Test {
 protected:
  std::string storeText() const { return readFile(file); }

  TemporaryDirectory temporary;
  fs::path file = temporary.path() / "data" / "velarto" / "localSave.json";
};

std::string constructionLog(const fs::path& file) {
  testing::internal::CaptureStderr();
  const localSave store(file);
  return testing::internal::GetCapturedStderr();
}

// Leaves of ZKJson::Value's members compare as values, so a file can be checked member by member.
ZKJson::Value parsedFile(const fs::path& file) {
  return ZKJson::toJsonValue(readFile(file)).value_or(ZKJson::Value());
}

}  // namespace

TEST_F(LocalSave, StartsEmptyAndCreatesNothingUntilTheFirstPair) {
  localSave store(file);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt);
  EXPECT_EQ(store.getKeyBySsid(""), std::nullopt);
  EXPECT_FALSE(fs::exists(temporary.path() / "data"));

  store.saveSsid("HomeNet", "correct horse");
  EXPECT_EQ(storeText(), R"({"HomeNet":"correct horse"})");
}

TEST_F(LocalSave, WritesEveryMemberAndReplacesChangedKeys) {
  localSave store(file);
  store.saveSsid("HomeNet", "one");
  store.saveSsid("Office", "two");
  EXPECT_EQ(storeText(), R"({"HomeNet":"one","Office":"two"})");
  store.saveSsid("HomeNet", "three");
  EXPECT_EQ(storeText(), R"({"HomeNet":"three","Office":"two"})");

  const localSave nextRun(file);
  EXPECT_EQ(nextRun.getKeyBySsid("HomeNet"), "three");
  EXPECT_EQ(nextRun.getKeyBySsid("Office"), "two");
}

TEST_F(LocalSave, StoringAnUnchangedPairWritesNothing) {
  localSave(file).saveSsid("HomeNet", "key");
  const timespec longAgo[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), longAgo, 0), 0);
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  localSave store(file);
  store.saveSsid("HomeNet", "key");
  store.saveSsid("HomeNet", "key");

  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(LocalSave, MatchesSsidsExactly) {
  localSave store(file);
  store.saveSsid("HomeNet", "upper");
  store.saveSsid("homenet", "lower");
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), "upper");
  EXPECT_EQ(store.getKeyBySsid("homenet"), "lower");
  EXPECT_EQ(store.getKeyBySsid("HOMENET"), std::nullopt);
  EXPECT_EQ(store.getKeyBySsid("HomeNet "), std::nullopt);
  EXPECT_EQ(storeText(), R"({"HomeNet":"upper","homenet":"lower"})");
}

TEST_F(LocalSave, StoresEmptySsidsAndKeysLikeAnyOtherText) {
  localSave store(file);
  store.saveSsid("HomeNet", "");
  EXPECT_EQ(storeText(), R"({"HomeNet":""})");
  EXPECT_EQ(storeText().size(), 14u);

  store.saveSsid("", "");
  const localSave nextRun(file);
  EXPECT_EQ(nextRun.getKeyBySsid("HomeNet"), "");
  EXPECT_EQ(nextRun.getKeyBySsid(""), "");
  EXPECT_EQ(storeText(), R"({"HomeNet":"","":""})");
}

TEST_F(LocalSave, ReadsAnyLayoutOfAnObject) {
  writeFile(
      file,
      "\n{ \"Office\" :\t\"two\" ,\r\n  \"HomeNet\":\"one\",\"caf\\u00e9\":\"\\\"x\\\"\" }\n");
  localSave store(file);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), "one");
  EXPECT_EQ(store.getKeyBySsid("Office"), "two");
  EXPECT_EQ(store.getKeyBySsid("caf\xc3\xa9"), "\"x\"");

  store.saveSsid("New", "three");
  EXPECT_EQ(storeText(), R"({"Office":"two","HomeNet":"one","café":"\"x\"","New":"three"})");
}

TEST_F(LocalSave, StartsEmptyFromAFileThatIsNotAnObjectAndReplacesItOnSave) {
  const std::string texts[] = {"{\"HomeNet\":\"se",
                               "not json",
                               "",
                               " \n",
                               "[\"HomeNet\",\"secret\"]",
                               "\"HomeNet\"",
                               "{\"HomeNet\":\"\xff\"}",
                               std::string("{\"HomeNet\":\"k\"}\0", 16)};
  for (const auto& text : texts) {
    writeFile(file, text);
    localSave store(file);
    EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt) << text;
    EXPECT_EQ(readFile(file), text) << "a bad file stays until the next save";
    store.saveSsid("Office", "k");
    EXPECT_EQ(storeText(), R"({"Office":"k"})") << text;
  }
}

TEST_F(LocalSave, KeepsMembersThatAreNotStringsAsTheyWereRead) {
  const std::string text =
      R"({"n":12,"z":null,"o":{"x":{"y":"k"}},"a":[{"x":1},"s"],"HomeNet":"k"})";
  writeFile(file, text);
  localSave store(file);
  for (const char* ssid : {"n", "z", "o", "a", "x", "y"}) {
    EXPECT_EQ(store.getKeyBySsid(ssid), std::nullopt) << ssid;
  }
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), "k");

  store.saveSsid("Office", "two");
  auto expected = *ZKJson::toJsonValue(text);
  expected["Office"] = "two";
  EXPECT_EQ(parsedFile(file), expected);

  store.saveSsid("n", "12");
  EXPECT_EQ(store.getKeyBySsid("n"), "12");
  EXPECT_EQ(parsedFile(file)["n"], "12");
}

TEST_F(LocalSave, WritesAPrivateFileInAPrivateDirectory) {
  localSave(file).saveSsid("HomeNet", "key");
  EXPECT_EQ(permissionsOf(file.parent_path()), 0700u);
  EXPECT_EQ(permissionsOf(file.parent_path().parent_path()), 0700u);
  EXPECT_EQ(permissionsOf(file), 0600u);

  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  localSave(file).saveSsid("HomeNet", "new key");
  EXPECT_EQ(permissionsOf(file), 0600u) << "an existing readable file becomes private";
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
}

TEST_F(LocalSave, LogsWhatItReadWithTheKeysMasked) {
  EXPECT_EQ(constructionLog(file), "read from (null)\n");

  writeFile(file, R"({"HomeNet":"secret","n":123456,"o":{"x":"hidden"},"a":["deep",7]})");
  EXPECT_EQ(constructionLog(file),
            R"(read from {"HomeNet":"***","n":"***","o":{"x":"***"},"a":["***","***"]})"
            "\n");

  writeFile(file, R"({"HomeNet":"secret")");
  EXPECT_EQ(constructionLog(file), "read from (19 bytes, not JSON)\n");
}

TEST_F(LocalSave, KeepsThePairForThisRunWhenTheWriteFails) {
  const fs::path blockedByFile = temporary.path() / "file" / "localSave.json";
  writeFile(blockedByFile.parent_path(), "not a directory");
  const fs::path blockedByDirectory = temporary.path() / "dir" / "localSave.json";
  writeFile(blockedByDirectory / "occupied", "");

  for (const auto& path : {blockedByFile, blockedByDirectory}) {
    localSave store(path);
    testing::internal::CaptureStderr();
    store.saveSsid("HomeNet", "key");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.getKeyBySsid("HomeNet"), "key") << path;
    EXPECT_EQ(log.rfind("could not write " + path.string() + ": ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(localSave(path).getKeyBySsid("HomeNet"), std::nullopt) << path;
  }
  EXPECT_EQ(
      std::distance(fs::directory_iterator(temporary.path() / "dir"), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
}

TEST_F(LocalSave, RefusesPairsThatAreNotUtf8AndKeepsWriting) {
  localSave store(file);
  testing::internal::CaptureStderr();
  store.saveSsid("Home\xff", "key");
  store.saveSsid("HomeNet", "\xc3");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_EQ(store.getKeyBySsid("Home\xff"), std::nullopt);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt);

  store.saveSsid("Office", "key");
  EXPECT_EQ(storeText(), R"({"Office":"key"})");
}

TEST(MakeMutable, CopiesTheMembersOfAnObjectOnly) {
  const auto value = ZKJson::Value{{"o", {{"x", {{"y", 1}}}}}, {"a", {1, {{"b", 2}}}}, {"s", "k"}};
  EXPECT_EQ(localSave::makeMutable(value), value);
  EXPECT_EQ(localSave::makeMutable(std::nullopt), ZKJson::Value::object());
  EXPECT_EQ(localSave::makeMutable(ZKJson::Value::array({"HomeNet", "key"})),
            ZKJson::Value::object());
  EXPECT_EQ(localSave::makeMutable(ZKJson::Value("HomeNet")), ZKJson::Value::object());
}
