// Where the store keeps its file by default.
#include <gtest/gtest.h>

#include "localSave.h"
#include "platform/dataDirectory.h"
#include "storeTestSupport.h"

TEST(UserDataDirectory, FollowsXdgDataHomeWhenItIsAnAbsolutePath) {
  const ScopedEnvironment home("HOME", "/home/someone");
  {
    const ScopedEnvironment dataHome("XDG_DATA_HOME", "/data/someone");
    EXPECT_EQ(userDataDirectory(), "/data/someone/velarto");
  }
  for (const std::optional<std::string>& unusable : {std::optional<std::string>(), {""}, {"rel"}}) {
    const ScopedEnvironment dataHome("XDG_DATA_HOME", unusable);
    EXPECT_EQ(userDataDirectory(), "/home/someone/.local/share/velarto")
        << unusable.value_or("unset");
  }
}

TEST(UserDataDirectory, FallsBackOnTheUserDatabaseWithoutAHome) {
  const ScopedEnvironment dataHome("XDG_DATA_HOME", std::nullopt);
  const ScopedEnvironment home("HOME", std::nullopt);
  const auto directory = userDataDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_TRUE(directory.is_absolute());
  EXPECT_EQ(directory.filename(), "velarto");
}

TEST(DefaultLocalSave, KeepsItsFileInTheUserDataDirectory) {
  const TemporaryDirectory temporary;
  const ScopedEnvironment dataHome("XDG_DATA_HOME", temporary.path().string());
  localSave store;
  EXPECT_FALSE(std::filesystem::exists(temporary.path() / "velarto"));

  store.saveSsid("HomeNet", "key");
  EXPECT_EQ(readFile(temporary.path() / "velarto" / "localSave.json"), R"({"HomeNet":"key"})");
  EXPECT_EQ(localSave().getKeyBySsid("HomeNet"), "key");
}
