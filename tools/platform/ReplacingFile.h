// Writing a file so that a failure leaves what was there before.
#pragma once

#include <signal.h>

#include <filesystem>

namespace sonicsend::platform {

// A new file beside the final target of `path` (symbolic links followed), named after the target
// and this process (".NAME.<pid>.XXXXXX"); commit() renames it over that target. Until then, or
// when it is dropped without a commit, the target and any link to it stay as they were and the
// temporary file is removed: also when SIGINT, SIGTERM or SIGHUP ends the process (the signal is
// raised again once the file is gone; one that was ignored stays ignored), and, for a process
// killed outright, by the next ReplacingFile of the same target. A target that exists and is no
// regular file (a device, a pipe) is written in place: there is no file to keep, and a device
// must not be replaced by one. One ReplacingFile at a time.
class ReplacingFile {
 public:
  // Throws std::system_error when the temporary file cannot be created.
  explicit ReplacingFile(const std::filesystem::path& path);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  int descriptor() const { return fd_; }
  // Flushes the file to disk, gives it the target's permissions (a new file's by the umask)
  // and renames it into place; throws std::system_error when any of it fails.
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool inPlace_ = false;
  bool committed_ = false;
  struct sigaction previousActions_[3] = {};  // of SIGINT, SIGTERM and SIGHUP
};

}  // namespace sonicsend::platform
