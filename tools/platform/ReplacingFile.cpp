#include "platform/ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace sonicsend::platform {
namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows in one path.
constexpr int kMostLinks = 40;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Where writing `path` ends up: the file at the end of its chain of symbolic links, which may
// not exist yet.
fs::path finalTarget(fs::path path) {
  for (int hop = 0; fs::is_symlink(path); ++hop) {
    if (hop == kMostLinks) throw std::system_error(ELOOP, std::generic_category(), path.string());
    const fs::path link = fs::read_symlink(path);
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

mode_t modeForNewFile() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

ReplacingFile::ReplacingFile(const fs::path& path) {
  // A device or a pipe is written in place, opened by the name given: the kernel follows links
  // such as /dev/stdout -> /proc/self/fd/1 -> pipe:[N] that name no file in any directory.
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    inPlace_ = true;
    target_ = path;
    fd_ = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ < 0) throwErrno(path.string());
    return;
  }
  target_ = finalTarget(path);
  std::string name = (target_.parent_path() / ("." + target_.filename().string() + ".XXXXXX"));
  fd_ = mkstemp(name.data());
  if (fd_ < 0) throwErrno(target_.string());
  temporary_ = name;
}

ReplacingFile::~ReplacingFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_ && !inPlace_) unlink(temporary_.c_str());
}

void ReplacingFile::commit() {
  if (inPlace_) {
    committed_ = true;
    return;
  }
  struct stat existing {};
  const mode_t mode =
      stat(target_.c_str(), &existing) == 0 ? existing.st_mode & 07777 : modeForNewFile();
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0) throwErrno(target_.string());
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) throwErrno(target_.string());
  if (rename(temporary_.c_str(), target_.c_str()) != 0) throwErrno(target_.string());
  committed_ = true;
}

}  // namespace sonicsend::platform
