#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>
#include <thread>
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

// Holds SIGXFSZ back from this thread while it lives, so that a write past the file size limit
// (ulimit -f) fails with EFBIG instead of ending the process; the signal that write raised is
// taken off again before the thread's old mask returns.
class FileSizeSignalHeld {
 public:
  FileSizeSignalHeld() {
    ::sigemptyset(&signal_);
    ::sigaddset(&signal_, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &signal_, &previous_);
  }
  FileSizeSignalHeld(const FileSizeSignalHeld&) = delete;
  FileSizeSignalHeld& operator=(const FileSizeSignalHeld&) = delete;
  ~FileSizeSignalHeld() {
    const timespec now{};
    while (::sigtimedwait(&signal_, nullptr, &now) == SIGXFSZ) continue;
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t signal_{};
  sigset_t previous_{};
};

// The start of the names of the temporary files that replace `target`:
// ".<name>.<pid>" and ".<name>.<pid>.XXXXXX".
std::string temporaryPrefix(const std::filesystem::path& directory,
                            const std::filesystem::path& target) {
  return (directory / ("." + target.filename().string() + ".")).string();
}

// The id of the process that made a temporary file, from what follows the prefix of its name;
// 0 when it is not such a name.
pid_t writerOf(std::string_view rest) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  if (error != std::errc{} || end == rest.data()) return 0;
  return end == rest.data() + rest.size() || *end == '.' ? pid : 0;
}

// Removes the temporary files for `target` whose process is gone: a process killed between
// naming its file and renaming it leaves the file, with the keys it holds.
void removeStaleTemporaries(const std::filesystem::path& directory,
                            const std::filesystem::path& target) {
  const std::string prefix = "." + target.filename().string() + ".";
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const pid_t writer = writerOf(std::string_view(name).substr(prefix.size()));
    if (writer > 0 && ::kill(writer, 0) != 0 && errno == ESRCH) ::unlink(entry->path().c_str());
  }
}

// The file that `path` leads to when it is a symbolic link (or a chain of them); `path` itself
// otherwise, also when the link leads nowhere yet.
std::filesystem::path followLinks(std::filesystem::path path) {
  constexpr int kMaxLinks = 40;  // as the kernel allows
  for (int link = 0; link < kMaxLinks; ++link) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) break;
    const auto target = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// A new file beside `target` that replaces it when committed. Where the file system allows and
// `unnamed` asks for it, the file has no name until just before the rename (O_TMPFILE), so a
// process killed while writing leaves nothing behind; elsewhere it is a hidden file named after
// this process, removed again when the write fails.
class TemporaryFile {
 public:
  TemporaryFile(const std::filesystem::path& directory, const std::filesystem::path& target,
                bool unnamed)
      : name_(temporaryPrefix(directory, target) + std::to_string(::getpid())) {
    if (unnamed) {
      fd_.reset(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
      if (fd_.valid()) return;
    }
    name_ += ".XXXXXX";
    fd_.reset(::mkostemp(name_.data(), O_CLOEXEC));
    named_ = fd_.valid();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (named_) ::unlink(name_.c_str());
  }

  int fd() const { return fd_.get(); }
  // The file had no name and could not be given one (no hard links, no /proc).
  bool couldNotName() const { return couldNotName_; }
  // Gives the file its name if it has none yet, closes it and renames it over `target`.
  std::error_code commitTo(const std::filesystem::path& target) {
    if (!named_) {
      if (auto error = linkUnnamed()) {
        couldNotName_ = true;
        return error;
      }
    }
    if (auto error = fd_.close()) return error;
    if (::rename(name_.c_str(), target.c_str()) != 0) return lastError();
    named_ = false;
    return {};
  }

 private:
  // Links the unnamed file under the name of this process, which is unique among live
  // processes; one left by an earlier process with the same id is stale and replaced.
  std::error_code linkUnnamed() {
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
  bool couldNotName_ = false;
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
    if (::mkdir(partial.c_str(), 0700) == 0) {
      ::chmod(partial.c_str(), 0700);  // exactly, whatever the umask took away
    } else if (errno != EEXIST) {
      return lastError();
    }
  }
  return {};
}

std::error_code syncDirectory(const std::filesystem::path& directory) {
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return lastError();
  if (::fsync(fd.get()) != 0) return lastError();
  return fd.close();
}

// Writes `content` to a new file `path` (never over an existing one), flushed to disk; false
// with errno set when it cannot, leaving no file.
bool copyInto(const std::filesystem::path& path, std::string_view content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!fd.valid()) return false;
  std::error_code error = writeAll(fd.get(), content);
  if (!error && ::fsync(fd.get()) != 0) error = lastError();
  if (!error) error = fd.close();
  if (!error) return true;
  ::unlink(path.c_str());
  errno = error.value();
  return false;
}

// Writes `text` into a new temporary file beside `target` and renames it over `target`.
std::error_code replaceFile(const std::filesystem::path& directory,
                            const std::filesystem::path& target, std::string_view text,
                            bool unnamed, bool& couldNotName) {
  TemporaryFile temporary(directory, target, unnamed);
  const int fd = temporary.fd();
  if (fd < 0) return lastError();
  // Exactly 0600 whatever the umask: the file holds keys in the clear.
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return lastError();
  if (auto error = writeAll(fd, text)) return error;
  if (::fsync(fd) != 0) return lastError();
  auto error = temporary.commitTo(target);
  couldNotName = temporary.couldNotName();
  return error;
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

std::optional<std::filesystem::path> keepAside(const std::filesystem::path& file,
                                               const std::filesystem::path& name,
                                               const std::optional<std::string>& content,
                                               std::error_code& error) {
  // Links first; copies what was read where the file system has no hard links.
  const FileSizeSignalHeld sizeLimitFails;
  bool copying = false;
  std::filesystem::path candidate = name;
  for (int taken = 0;;) {
    const bool kept = copying ? copyInto(candidate, *content)
                              : ::linkat(AT_FDCWD, file.c_str(), AT_FDCWD, candidate.c_str(),
                                         AT_SYMLINK_FOLLOW) == 0;
    if (kept) break;
    if (errno == EEXIST && taken < 1000) {
      candidate = name.string() + "-" + std::to_string(++taken);
      continue;
    }
    if (copying || !content) {
      error = lastError();
      return std::nullopt;
    }
    copying = true;
    candidate = name;
    taken = 0;
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
  ::fchmod(fd_, S_IRUSR | S_IWUSR);  // exactly, whatever the umask took away
  // Tried without blocking, so that a process that never lets go cannot hold its caller.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMilliseconds);
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      error_ = lastError();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

bool FileLock::unsupported() const {
  if (fd_ < 0 || !error_) return false;  // only flock's own refusal
  const int code = error_.value();
  return code == ENOLCK || code == EOPNOTSUPP || code == ENOSYS || code == EINVAL;
}

std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
  const auto target = followLinks(path);
  if (!target.has_filename()) return std::make_error_code(std::errc::invalid_argument);
  const auto directory =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  if (auto error = createPrivateDirectories(directory)) return error;
  removeStaleTemporaries(directory, target);

  const FileSizeSignalHeld sizeLimitFails;
  bool couldNotName = false;
  auto error = replaceFile(directory, target, text, /*unnamed=*/true, couldNotName);
  // Naming an unnamed file needs hard links and /proc: without them, a named one does.
  if (couldNotName) error = replaceFile(directory, target, text, /*unnamed=*/false, couldNotName);
  if (error) return error;
  return syncDirectory(directory);
}

}  // namespace velarto::store
