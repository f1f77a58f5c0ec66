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
// is flushed. When `path` is a symbolic link, the file it leads to is replaced and the link stays.
// The new file has mode 0600. Missing directories on the way are created with mode 0700. Before
// writing, removes the temporary files that earlier writes left when their process was killed.
// A write past the file size limit (ulimit -f) fails with EFBIG instead of ending the process.
// Returns the first error, or an empty error code on success.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view text);

// Keeps the bytes of `file` (the file a symbolic link leads to) under a second name beside it,
// `name` or, when that is taken, `name-1`, `name-2`…, with mode 0600, so that they stay when
// `file` is replaced: a hard link where the file system has them, else a copy of `content`, the
// bytes read from `file`. The name given; none and `error` when it cannot be kept.
std::optional<std::filesystem::path> keepAside(const std::filesystem::path& file,
                                               const std::filesystem::path& name,
                                               const std::optional<std::string>& content,
                                               std::error_code& error);

// An exclusive advisory lock (flock) on `path`, held until destroyed. While another process holds
// it, waits for at most kLockWaitMilliseconds, then gives up (busy()). The lock file is created
// with mode 0600, its missing directories with 0700, and it is never removed: a removed lock file
// would let two processes lock two different files.
class FileLock {
 public:
  static constexpr int kLockWaitMilliseconds = 200;

  explicit FileLock(const std::filesystem::path& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Empty when the lock is held.
  std::error_code error() const { return error_; }
  // Another process held the lock for the whole wait.
  bool busy() const { return error_ == std::errc::resource_unavailable_try_again; }
  // The file system of `path` has no such locks (some network and FAT mounts).
  bool unsupported() const;

 private:
  int fd_ = -1;
  std::error_code error_;
};

}  // namespace velarto::store
