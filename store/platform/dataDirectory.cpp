#include "platform/dataDirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace velarto::store {

namespace {

// The value of an environment variable when it holds an absolute path; empty otherwise.
std::filesystem::path absolutePathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::filesystem::path path(value);
  return path.is_absolute() ? path : std::filesystem::path{};
}

std::filesystem::path homeDirectory() {
  if (auto home = absolutePathFromEnvironment("HOME"); !home.empty()) return home;
  // Without $HOME, ask the user database.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  std::filesystem::path home(found->pw_dir);
  return home.is_absolute() ? home : std::filesystem::path{};
}

}  // namespace

std::filesystem::path userDataDirectory() {
  auto dataHome = absolutePathFromEnvironment("XDG_DATA_HOME");
  if (dataHome.empty()) {
    const auto home = homeDirectory();
    if (home.empty()) return {};
    dataHome = home / ".local" / "share";
  }
  return dataHome / "velarto";
}

}  // namespace velarto::store
