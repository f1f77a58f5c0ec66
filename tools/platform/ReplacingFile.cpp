#include "platform/ReplacingFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
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

// The signals that end a run from outside (Ctrl-C, a closed terminal, kill).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file's name while it exists, for the handler below; written only while the
// ending signals are held back.
char pendingName[PATH_MAX] = {};

// Removes the temporary file, then ends the process by the same signal, as it would have ended.
void removePendingFileAndEnd(int signal) {
  if (pendingName[0] != '\0') unlink(pendingName);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
  raise(signal);  // held back until this handler returns
}

// Holds the ending signals back from this thread while it lives.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : kEndingSignals) sigaddset(&ending, signal);
    pthread_sigmask(SIG_BLOCK, &ending, &previous_);
  }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// What the temporary files of `target` are named after: ".NAME.".
std::string temporaryPrefix(const fs::path& target) {
  return "." + target.filename().string() + ".";
}

// Whether `rest`, what follows the prefix in a name, is "<pid>.XXXXXX" of a process that is gone.
bool leftByAGoneProcess(std::string_view rest) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  const std::string_view suffix(end, static_cast<std::size_t>(rest.data() + rest.size() - end));
  const bool ours = error == std::errc{} && pid > 0 && suffix.size() == 7 &&
                    suffix.starts_with('.') &&
                    std::all_of(suffix.begin() + 1, suffix.end(),
                                [](unsigned char c) { return std::isalnum(c) != 0; });
  return ours && kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes the temporary files of `target` that a killed process left, with the key they hold.
void removeLeftovers(const fs::path& target) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = temporaryPrefix(target);
  std::error_code error;
  for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.starts_with(prefix) &&
        leftByAGoneProcess(std::string_view(name).substr(prefix.size()))) {
      unlink(entry->path().c_str());
    }
  }
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
  removeLeftovers(target_);
  std::string name =
      target_.parent_path() / (temporaryPrefix(target_) + std::to_string(getpid()) + ".XXXXXX");
  if (name.size() >= sizeof pendingName) {
    throw std::system_error(ENAMETOOLONG, std::generic_category(), target_.string());
  }
  // The file and the handlers that remove it come at once for the ending signals.
  const EndingSignalsHeld held;
  fd_ = mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) throwErrno(target_.string());
  temporary_ = name;
  std::memcpy(pendingName, name.c_str(), name.size() + 1);
  struct sigaction removing {};
  removing.sa_handler = removePendingFileAndEnd;
  sigemptyset(&removing.sa_mask);
  for (int i = 0; i < 3; ++i) {
    sigaction(kEndingSignals[i], nullptr, &previousActions_[i]);
    if (previousActions_[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &removing, nullptr);
  }
}

ReplacingFile::~ReplacingFile() {
  if (fd_ >= 0) close(fd_);
  if (inPlace_) return;
  const EndingSignalsHeld held;
  if (!committed_) unlink(temporary_.c_str());
  pendingName[0] = '\0';
  for (int i = 0; i < 3; ++i) sigaction(kEndingSignals[i], &previousActions_[i], nullptr);
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
  const EndingSignalsHeld held;
  if (rename(temporary_.c_str(), target_.c_str()) != 0) throwErrno(target_.string());
  pendingName[0] = '\0';
  committed_ = true;
}

}  // namespace sonicsend::platform
