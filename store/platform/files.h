// Whole-file reads and atomic, private whole-file writes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace velarto::store {

// The whole content of a file, or none when it is missing or cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// Replaces the file at `path` with `text` so that a reader, or the file after a crash at any
// moment, holds either the old or the new content in full: the text goes to a temporary file in
// the same directory, which is flushed to disk and renamed over `path`, then the directory itself
// is flushed. The new file has mode 0600. Missing directories on the way are created with mode
// 0700. Returns the first error, or an empty error code on success.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace velarto::store
