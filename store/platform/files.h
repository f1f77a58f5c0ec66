// Whole-file reads and atomic, private whole-file writes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace velarto::store {

// The whole content of a file, or none when it is missing or cannot be read; `error` then says
// which (no_such_file_or_directory when it is missing).
std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         std::error_code* error = nullptr);

// Replaces the file at `path` with `text` so that a reader, or the file after a crash at any
// moment, holds either the old or the new content in full: the text goes to a temporary file in
// the same directory, which is flushed to disk and renamed over `path`, then the directory itself
// is flushed. The new file has mode 0600. Missing directories on the way are created with mode
// 0700. Returns the first error, or an empty error code on success.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view text);

// Gives `file` a second name beside it, `name` or, when that is taken, `name-1`, `name-2`…, and
// mode 0600, so that its bytes stay when `file` is replaced. The name given; none and `error`
// when the file system has no second names for it.
std::optional<std::filesystem::path> linkAside(const std::filesystem::path& file,
                                               const std::filesystem::path& name,
                                               std::error_code& error);

// An exclusive advisory lock (flock) on `path`, held until destroyed; waits while another
// process holds it. The lock file is created with mode 0600, its missing directories with 0700,
// and it is never removed: a removed lock file would let two processes lock two different files.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Empty when the lock is held.
  std::error_code error() const { return error_; }

 private:
  int fd_ = -1;
  std::error_code error_;
};

}  // namespace velarto::store
