#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace velarto::store {

namespace {

std::error_code lastError() {
  return {errno, std::generic_category()};
}

// Owns a file descriptor and closes it when dropped.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the error that a delayed write may surface only here.
  std::error_code close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 ? std::error_code{} : lastError();
  }

 private:
  int fd_;
};

// A new file beside `target` that replaces it when committed. Where the file system allows, the
// file has no name until just before the rename (O_TMPFILE), so a process killed while writing
// leaves nothing behind; elsewhere it is a hidden file, removed again when the write fails.
class TemporaryFile {
 public:
  TemporaryFile(const std::filesystem::path& directory, const std::filesystem::path& target)
      : name_((directory / ("." + target.filename().string() + ".")).string()) {
    fd_.reset(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (fd_.valid()) return;
    name_ += "XXXXXX";
    fd_.reset(::mkostemp(name_.data(), O_CLOEXEC));
    named_ = fd_.valid();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (named_) ::unlink(name_.c_str());
  }

  int fd() const { return fd_.get(); }
  // Gives the file its name if it has none yet, closes it and renames it over `target`.
  std::error_code commitTo(const std::filesystem::path& target) {
    if (!named_) {
      if (auto error = linkUnnamed()) return error;
    }
    if (auto error = fd_.close()) return error;
    if (::rename(name_.c_str(), target.c_str()) != 0) return lastError();
    named_ = false;
    return {};
  }

 private:
  // Links the unnamed file as a hidden file named after this process, which is unique among
  // live processes; one left by an earlier process with the same id is stale and replaced.
  std::error_code linkUnnamed() {
    name_ += std::to_string(::getpid());
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        named_ = true;
        return {};
      }
      if (errno != EEXIST) break;
      ::unlink(name_.c_str());
    }
    return lastError();
  }

  std::string name_;
  UniqueFd fd_;
  bool named_ = false;  // has a name on disk that must go unless committed
};

std::error_code writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// Creates each missing directory of `directory`, from the top down, with mode 0700.
std::error_code createPrivateDirectories(const std::filesystem::path& directory) {
  struct stat existing {};
  if (::stat(directory.c_str(), &existing) == 0) return {};
  std::filesystem::path partial;
  for (const auto& component : directory) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return lastError();
  }
  return {};
}

std::error_code syncDirectory(const std::filesystem::path& directory) {
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return lastError();
  if (::fsync(fd.get()) != 0) return lastError();
  return fd.close();
}

}  // namespace

std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         std::error_code* error) {
  const auto failed = [error] {
    if (error != nullptr) *error = lastError();
    return std::nullopt;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failed();
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count == 0) return content;
    if (count < 0) {
      if (errno == EINTR) continue;
      return failed();
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

std::optional<std::filesystem::path> linkAside(const std::filesystem::path& file,
                                               const std::filesystem::path& name,
                                               std::error_code& error) {
  std::filesystem::path candidate = name;
  for (int taken = 1; ::link(file.c_str(), candidate.c_str()) != 0; ++taken) {
    if (errno != EEXIST || taken > 1000) {
      error = lastError();
      return std::nullopt;
    }
    candidate = name.string() + "-" + std::to_string(taken);
  }
  ::chmod(candidate.c_str(), S_IRUSR | S_IWUSR);
  return candidate;
}

FileLock::FileLock(const std::filesystem::path& path) {
  if (path.has_parent_path()) error_ = createPrivateDirectories(path.parent_path());
  if (error_) return;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd_ < 0) {
    error_ = lastError();
    return;
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error_ = lastError();
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
  if (!path.has_filename()) return std::make_error_code(std::errc::invalid_argument);
  const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  if (auto error = createPrivateDirectories(directory)) return error;

  TemporaryFile temporary(directory, path);
  const int fd = temporary.fd();
  if (fd < 0) return lastError();
  // Exactly 0600 whatever the umask: the file holds keys in the clear.
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return lastError();
  if (auto error = writeAll(fd, text)) return error;
  if (::fsync(fd) != 0) return lastError();
  if (auto error = temporary.commitTo(path)) return error;
  return syncDirectory(directory);
}

}  // namespace velarto::store
