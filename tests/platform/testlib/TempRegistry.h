// TempRegistry.h - points the registry store at a file in a fresh temporary
// directory for the lifetime of the object.
// Used by the runtime tests in the test program's main thread, with two
// helpers that write into the store in one call and fail the test otherwise.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"
#include "VQComRuntime.h"

class TempRegistry {
 public:
  TempRegistry() { setenv("VQ_REGISTRY", m_Path.c_str(), 1); }
  ~TempRegistry() { unsetenv("VQ_REGISTRY"); }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& Dir() const { return m_Dir.Path(); }
  const std::string& Path() const { return m_Path; }

  std::string Contents() const {
    std::ifstream in(m_Path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Replaces the store file with text (through a rename, as the store does).
  void Replace(const std::string& text) const {
    std::string tmp = m_Path + ".test";
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << text;
    }
    std::filesystem::rename(tmp, m_Path);
  }

 private:
  TempDir m_Dir;
  std::string m_Path = m_Dir.Path() + "/registry";
};

// Creates root\path (and the keys above it).
inline void CreateKey(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

// Creates root\path and sets its value `name` (null: the default) to text.
inline void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}
