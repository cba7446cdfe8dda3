#pragma once

// Files for tests: a private temporary folder, and whole-file reads and
// writes of bytes.

#include <filesystem>
#include <string>
#include <string_view>

namespace harlune::testing {

// A private temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, std::string_view bytes);

}  // namespace harlune::testing
