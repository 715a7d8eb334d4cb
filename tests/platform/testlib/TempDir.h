// TempDir.h - a fresh directory under the temporary folder for the lifetime
// of the object, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vqtestXXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_Path = pattern;
  }
  ~TempDir() {
    if (m_Path.empty()) return;
    std::error_code ignored;
    // A test may have taken its own rights to the directory away.
    std::filesystem::permissions(m_Path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(m_Path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the directory could not be made.
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
};
