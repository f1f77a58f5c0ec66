// A fresh temporary directory, removed with its content, and whole-file helpers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

struct TemporaryDirectory {
  std::string pattern = std::filesystem::temp_directory_path() / "velarto-store-XXXXXX";
  const std::filesystem::path path = ::mkdtemp(pattern.data()) ? pattern : std::string();
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

inline std::string readFile(const std::filesystem::path& path) {
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}
