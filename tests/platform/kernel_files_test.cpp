// Temporary folder and files, system message texts and the debug output
// channel, called as code ported from Windows calls them (MAX_PATH buffers:
// VQWin32Compat.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "TempDir.h"
#include "VQKernel.h"
#include "VQWin32Compat.h"

namespace {

// ---------------------------------------------------------------------------
// GetTempPathA.
// ---------------------------------------------------------------------------
TEST(TempPath, AddsOneTrailingSlashAndReportsTheNeededSize) {
  char buf[MAX_PATH];
  const struct {
    const char* tmpdir;  // null: unset
    const char* path;
  } cases[] = {{"/var/scratch", "/var/scratch/"}, {"/already/", "/already/"}, {nullptr, "/tmp/"}, {"", "/tmp/"}};
  for (const auto& c : cases) {
    ScopedEnv env("TMPDIR", c.tmpdir);
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), strlen(c.path));
    EXPECT_STREQ(buf, c.path);
    EXPECT_EQ(GetTempPathA(0, nullptr), strlen(c.path) + 1);
  }
  ScopedEnv env("TMPDIR", "/var/scratch");
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetTempPathA(13, buf), 14u) << "too small: the size needed with the terminator";
  EXPECT_EQ(buf[0], 'x') << "buffer untouched";
  EXPECT_EQ(GetTempPathA(14, buf), 13u);
}

// ---------------------------------------------------------------------------
// GetTempFileNameA.
// ---------------------------------------------------------------------------
TEST(TempFileName, CreatesDistinctPrivateFilesWithTheWholePrefix) {
  TempDir temp;
  const std::string& dir = temp.Path();
  ASSERT_FALSE(dir.empty());
  const mode_t oldMask = umask(0);  // the file must still be exactly 0600
  std::set<std::string> names;
  for (int i = 0; i < 200; ++i) {
    char name[MAX_PATH];
    const UINT unique = GetTempFileNameA(dir.c_str(), "CFileCache", 0, name);
    ASSERT_NE(unique, 0u);
    char expected[MAX_PATH];
    snprintf(expected, sizeof expected, "%s/CFileCache%04X.tmp", dir.c_str(), unique);
    EXPECT_STREQ(name, expected);
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0) << name;
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    names.insert(name);
  }
  umask(oldMask);
  EXPECT_EQ(names.size(), 200u);
}

TEST(TempFileName, GivenNumberOnlyFormsTheName) {
  char name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA("/nonexistent-dir/", "ab", 0x12345, name), 0x12345u);
  EXPECT_STREQ(name, "/nonexistent-dir/ab2345.tmp");
  struct stat st {};
  EXPECT_NE(stat(name, &st), 0);
}

TEST(TempFileName, FailuresSetTheLastError) {
  char name[MAX_PATH];
  SetLastError(0);
  EXPECT_EQ(GetTempFileNameA("/nonexistent-dir-vq", "x", 0, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::string longPath(300, 'd');
  EXPECT_EQ(GetTempFileNameA(longPath.c_str(), "x", 0, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(GetTempFileNameA(nullptr, "x", 0, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---------------------------------------------------------------------------
// FormatMessageA.
// ---------------------------------------------------------------------------
std::string SystemMessage(DWORD code, DWORD* error = nullptr) {
  char buf[512];
  SetLastError(0);
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
  if (error) *error = GetLastError();
  if (n == 0) return "";
  EXPECT_EQ(n, strlen(buf));
  return std::string(buf, n);
}

// One code of each kind the lookup tells apart: success, a plain HRESULT, a
// Win32 code bare and wrapped, and a text with an insert.
TEST(FormatMessage, StandardTextsOfEachKindOfCode) {
  struct Case {
    uint32_t code;
    const char* text;
  } const cases[] = {
      {static_cast<uint32_t>(S_OK), "The operation completed successfully.\r\n"},
      {static_cast<uint32_t>(E_FAIL), "Unspecified error\r\n"},
      {static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_DISK_FULL)), "There is not enough space on the disk.\r\n"},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {static_cast<uint32_t>(STG_E_FILENOTFOUND), "%1 could not be found.\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(SystemMessage(c.code), c.text) << std::hex << c.code;
}

TEST(FormatMessage, UnknownCodesHaveNoMessage) {
  for (uint32_t code : {0x80041234u, 0x8007FFFEu, 0x0000FFFEu, 0x12345678u}) {
    DWORD error = 0;
    EXPECT_EQ(SystemMessage(code, &error), "") << std::hex << code;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  }
}

TEST(FormatMessage, AllocatedBufferIsFreedWithLocalFree) {
  LPSTR text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(E_NOTIMPL), 0, reinterpret_cast<LPSTR>(&text), 0,
                                 nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(n, 17u);
  EXPECT_STREQ(text, "Not implemented\r\n");
  EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(FormatMessage, SmallBufferAndUnexpandedInsertsFail) {
  char buf[8];
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(E_FAIL), 0, buf,
                           sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char big[128];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(STG_E_FILENOTFOUND), 0,
                           big, sizeof big, nullptr),
            0u);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(E_FAIL), 0, nullptr, 64,
                           nullptr),
            0u);
}

// ---------------------------------------------------------------------------
// OutputDebugString.
// ---------------------------------------------------------------------------
TEST(DebugOutput, SinkReceivesTextsAndWideTextIsConvertedToTheAnsiCodePage) {
  std::vector<std::string> got;
  vq::SetDebugOutputSink([&](const char* t) { got.emplace_back(t); });
  OutputDebugStringA("one\r\n");
  OutputDebugStringA(nullptr);
  OutputDebugStringW(L"caf\u00e9 \u20ac \u4e00");
  vq::SetDebugOutputSink(nullptr);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "one\r\n");
  EXPECT_EQ(got[1], "caf\xE9 \x80 ?");
}

TEST(DebugOutput, FileChannelAppendsWholeLinesFromManyThreads) {
  TempDir dir;
  const std::string file = dir.Path() + "/debug.log";
  {
    ScopedEnv env("VQDEBUG_OUTPUT", file.c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([t] {
        char line[200];
        for (int i = 0; i < 200; ++i) {
          snprintf(line, sizeof line, "thread %d line %d %s\r\n", t, i, std::string(100, 'a' + t).c_str());
          OutputDebugStringA(line);
        }
      });
    for (auto& th : threads) th.join();
  }
  std::ifstream in(file);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    int t = -1, i = -1;
    char tail[200] = "";
    ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d %150s", &t, &i, tail), 3) << line;
    EXPECT_EQ(std::string(tail), std::string(100, static_cast<char>('a' + t)));
    EXPECT_EQ(line.back(), '\r');
  }
  EXPECT_EQ(count, 800);
}

}  // namespace
