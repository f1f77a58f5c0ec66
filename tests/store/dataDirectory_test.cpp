// Where the store keeps its file by default.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "localSave.h"
#include "platform/dataDirectory.h"
#include "storeTestSupport.h"

TEST(UserDataDirectory, FollowsXdgDataHomeOnlyWhenItIsAnAbsolutePath) {
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_DATA_HOME", "/data/someone", 1);
  EXPECT_EQ(userDataDirectory(), "/data/someone/velarto");
  for (const char* unusable : std::initializer_list<const char*>{"", "data/someone", nullptr}) {
    unusable ? ::setenv("XDG_DATA_HOME", unusable, 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(userDataDirectory(), "/home/someone/.local/share/velarto");
  }
  ::unsetenv("HOME");
  EXPECT_TRUE(userDataDirectory().is_absolute()) << "the user database names the home";
}

TEST(UserDataDirectory, HoldsTheDefaultStoresFile) {
  const TemporaryDirectory temporary;
  ::setenv("XDG_DATA_HOME", temporary.path.c_str(), 1);
  localSave().saveSsid("HomeNet", "key");
  EXPECT_EQ(readFile(temporary.path / "velarto" / "localSave.json"), R"({"HomeNet":"key"})");
  EXPECT_EQ(localSave().getKeyBySsid("HomeNet"), "key");
}
