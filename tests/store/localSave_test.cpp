// The credential store: what it keeps, what it writes and when, and what it logs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "localSave.h"
#include "storeTestSupport.h"

namespace fs = std::filesystem;

namespace {

class LocalSave : public testing::Test {
 protected:
  std::string text() const { return readFile(file); }

  TemporaryDirectory temporary;
  const fs::path file = temporary.path / "data" / "velarto" / "localSave.json";
};

std::string constructionLog(const fs::path& file) {
  testing::internal::CaptureStderr();
  const localSave store(file);
  return testing::internal::GetCapturedStderr();
}

struct stat statOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info;
}

}  // namespace

TEST_F(LocalSave, KeepsOneKeyPerExactSsidAndWritesTheWholeFile) {
  localSave store(file);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt);
  EXPECT_FALSE(fs::exists(temporary.path / "data")) << "nothing exists before the first pair";
  store.saveSsid("HomeNet", "");
  EXPECT_EQ(text(), R"({"HomeNet":""})");

  store.saveSsid("homenet", "lower");
  store.saveSsid("", "");
  store.saveSsid("HomeNet", "upper");
  EXPECT_EQ(text(), R"({"HomeNet":"upper","homenet":"lower","":""})");
  const localSave nextRun(file);
  EXPECT_EQ(nextRun.getKeyBySsid("HomeNet"), "upper");
  EXPECT_EQ(nextRun.getKeyBySsid(""), "");
  EXPECT_EQ(nextRun.getKeyBySsid("HOMENET"), std::nullopt);
}

TEST_F(LocalSave, WritesNothingForAnUnchangedPair) {
  localSave(file).saveSsid("HomeNet", "key");
  const timespec longAgo[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), longAgo, 0), 0);
  const auto before = statOf(file);
  localSave(file).saveSsid("HomeNet", "key");
  const auto after = statOf(file);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(LocalSave, ReadsAnyLayoutAndKeepsMembersThatAreNotStrings) {
  writeFile(file,
            "\n{ \"o\" : {\"x\":{\"y\":\"k\"}},\r\n\t\"n\":12, \"a\":[{\"x\":1},\"s\"],"
            " \"HomeNet\" : \"key\" }\n");
  localSave store(file);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), "key");
  for (const char* ssid : {"o", "n", "a", "x"}) EXPECT_EQ(store.getKeyBySsid(ssid), std::nullopt);
  store.saveSsid("Office", "two");
  EXPECT_EQ(text(),
            R"({"o":{"x":{"y":"k"}},"n":12,"a":[{"x":1},"s"],"HomeNet":"key","Office":"two"})");
}

TEST_F(LocalSave, StartsEmptyFromAFileThatIsNotAnObjectAndReplacesItOnSave) {
  for (const std::string& bad : std::initializer_list<std::string>{
           "{\"HomeNet\":\"se", "not json", "", "[\"HomeNet\",\"key\"]", "\"HomeNet\"",
           "{\"HomeNet\":\"\xff\"}", std::string("{\"HomeNet\":\"k\"}\0", 16)}) {
    writeFile(file, bad);
    localSave store(file);
    EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt) << bad;
    store.saveSsid("Office", "k");
    EXPECT_EQ(text(), R"({"Office":"k"})") << bad;
  }
}

TEST_F(LocalSave, WritesAPrivateFileInPrivateDirectories) {
  localSave(file).saveSsid("HomeNet", "key");
  EXPECT_EQ(statOf(file).st_mode & 07777, 0600u);
  EXPECT_EQ(statOf(file.parent_path()).st_mode & 07777, 0700u);
  EXPECT_EQ(statOf(temporary.path / "data").st_mode & 07777, 0700u);

  fs::permissions(file, fs::perms::all);
  localSave(file).saveSsid("HomeNet", "new key");
  EXPECT_EQ(statOf(file).st_mode & 07777, 0600u) << "an open file is replaced by a private one";
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
}

TEST_F(LocalSave, LogsWhatItReadWithTheKeysMasked) {
  EXPECT_EQ(constructionLog(file), "read from (null)\n");
  writeFile(file, R"({"HomeNet":"secret","n":123,"o":{"x":"hidden"},"a":["deep",7]})");
  EXPECT_EQ(constructionLog(file),
            "read from {\"HomeNet\":\"***\",\"n\":\"***\",\"o\":{\"x\":\"***\"},\"a\":[\"***\","
            "\"***\"]}\n");
  writeFile(file, R"({"HomeNet":"secret")");
  EXPECT_EQ(constructionLog(file), "read from (19 bytes, not JSON)\n");
}

TEST_F(LocalSave, KeepsThePairForThisRunWhenTheWriteFails) {
  // Root may write anywhere, so the write is made to fail by what stands in its way.
  writeFile(temporary.path / "file", "a file where a directory should be");
  writeFile(temporary.path / "dir" / "localSave.json" / "occupied", "");
  for (const auto& path :
       {temporary.path / "file" / "localSave.json", temporary.path / "dir" / "localSave.json"}) {
    localSave store(path);
    testing::internal::CaptureStderr();
    store.saveSsid("HomeNet", "key");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.getKeyBySsid("HomeNet"), "key");
    EXPECT_EQ(log.rfind("could not write " + path.string() + ": ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(localSave(path).getKeyBySsid("HomeNet"), std::nullopt);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(temporary.path / "dir"), {}), 1)
      << "no temporary file is left behind";
}

TEST_F(LocalSave, RefusesPairsThatAreNotUtf8) {
  localSave store(file);
  testing::internal::CaptureStderr();
  store.saveSsid("Home\xff", "key");
  store.saveSsid("HomeNet", "\xc3");
  const std::string refused = "not stored: the SSID or key is not UTF-8 text\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), refused + refused);
  EXPECT_EQ(store.getKeyBySsid("HomeNet"), std::nullopt);
  store.saveSsid("Office", "key");
  EXPECT_EQ(text(), R"({"Office":"key"})") << "later pairs are still written";
}
