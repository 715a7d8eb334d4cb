// The registry store: Win32 call semantics, the file format's round trip,
// damaged files and concurrent writers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "TempRegistry.h"
#include "VQComRuntime.h"

namespace {

using ::testing::ElementsAre;

class RegistryTest : public ::testing::Test {
 protected:
  TempRegistry m_Registry;

  // Reads a value's raw data; the status of the failing call otherwise.
  static LSTATUS Query(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD size = 0;
    status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
      data.assign(size, 0);
      status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    }
    RegCloseKey(key);
    return status;
  }

  static std::wstring QueryString(HKEY root, const wchar_t* path, const wchar_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (Query(root, path, name, type, data) != ERROR_SUCCESS || data.size() < sizeof(wchar_t)) return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
  }

  // RegQueryInfoKeyW's counts: subkeys, longest subkey name, values, longest
  // value name, largest value data.
  static std::array<DWORD, 5> Info(HKEY key) {
    std::array<DWORD, 5> n{};
    EXPECT_EQ(
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &n[0], &n[1], nullptr, &n[2], &n[3], &n[4], nullptr, nullptr),
        ERROR_SUCCESS);
    return n;
  }

  static bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  // Points the store at a copy of the current file, so that the next call
  // reads everything back from disk.
  void RereadFromCopy() {
    std::string copy = m_Registry.Dir() + "/copy";
    std::filesystem::copy_file(m_Registry.Path(), copy, std::filesystem::copy_options::overwrite_existing);
    setenv("VQ_REGISTRY", copy.c_str(), 1);
  }
};

TEST_F(RegistryTest, CreateSetAndQueryFollowWin32SizeRules) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"A\\B\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(again);

  const wchar_t text[] = L"Apartment";
  ASSERT_EQ(RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  DWORD number = 0x2A;
  ASSERT_EQ(RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"Bad", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 3),
            ERROR_INVALID_PARAMETER);

  // Size query, too-small buffer (left untouched), exact buffer.
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"threadingmodel", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof text);
  std::vector<BYTE> buffer(size, 0xCC);
  DWORD small = size - 1;
  EXPECT_EQ(RegQueryValueExW(key, L"ThreadingModel", nullptr, &type, buffer.data(), &small), ERROR_MORE_DATA);
  EXPECT_EQ(small, size);
  EXPECT_EQ(buffer[0], 0xCC);
  ASSERT_EQ(RegQueryValueExW(key, L"ThreadingModel", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer.data(), text, sizeof text), 0);
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, L"Count", nullptr, &type, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);

  // Overwriting keeps one value; the default value is the empty name.
  number = 7;
  ASSERT_EQ(RegSetValueExW(key, L"COUNT", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"d"), 2 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  EXPECT_EQ(Info(key)[2], 3u);  // values
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"A\\B\\C", L""), L"d");
  RegCloseKey(key);

  // The roots are separate trees.
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"A"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"a\\B"));
}

TEST_F(RegistryTest, BadArgumentsAndHandlesAreRefused) {
  HKEY key = reinterpret_cast<HKEY>(0x1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Nothing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Nothing", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"a\\\\b", 0, nullptr, 0, 0, nullptr, &key, nullptr),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, std::wstring(256, L'k').c_str(), 0, nullptr, 0, 0, nullptr, &key,
                            nullptr),
            ERROR_INVALID_PARAMETER);

  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"K", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // A closed handle and a made-up one are recognised, not dereferenced.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExW(reinterpret_cast<HKEY>(0x1234), L"v", 0, REG_BINARY, nullptr, 0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
}

TEST_F(RegistryTest, DeletionRulesAndDeletedHandles) {
  SetString(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", nullptr, L"lib.so");
  SetString(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\ProgID", nullptr, L"X.1");
  HKEY inproc = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", 0, KEY_READ, &inproc), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"CLSID\\{X}"), ERROR_ACCESS_DENIED);  // has subkeys
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"CLSID\\{Y}"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(inproc, L"Missing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteValueW(inproc, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", nullptr), L"<none>");

  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{X}"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{X}"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(inproc, nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExW(inproc, L"v", 0, REG_BINARY, nullptr, 0), ERROR_KEY_DELETED);
  RegCloseKey(inproc);

  // With no subkey, the tree below a key goes and the key stays.
  SetString(HKEY_CURRENT_USER, L"Soft\\A", L"v", L"1");
  SetString(HKEY_CURRENT_USER, L"Soft", L"w", L"2");
  HKEY soft = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Soft", 0, KEY_ALL_ACCESS, &soft), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(soft, nullptr), ERROR_SUCCESS);
  EXPECT_THAT(Info(soft), ElementsAre(0, 0, 0, 0, 0));
  RegCloseKey(soft);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L""), ERROR_ACCESS_DENIED);  // a root stays
}

TEST_F(RegistryTest, EnumerationListsKeysByNameAndValuesInOrder) {
  SetString(HKEY_LOCAL_MACHINE, L"E\\beta", nullptr, L"");
  SetString(HKEY_LOCAL_MACHINE, L"E\\Alpha", nullptr, L"");
  SetString(HKEY_LOCAL_MACHINE, L"E", L"second", L"2");
  SetString(HKEY_LOCAL_MACHINE, L"E", L"first", L"1");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"E", 0, KEY_READ, &key), ERROR_SUCCESS);
  wchar_t name[16];
  DWORD cch = 4;  // "beta" needs 5 with its zero
  EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  const struct {
    bool value;
    DWORD index;
    LSTATUS status;
    const wchar_t* name;
  } rows[] = {{false, 0, ERROR_SUCCESS, L"Alpha"},      {false, 1, ERROR_SUCCESS, L"beta"},
              {false, 2, ERROR_NO_MORE_ITEMS, nullptr}, {true, 0, ERROR_SUCCESS, L"second"},
              {true, 1, ERROR_SUCCESS, L"first"},       {true, 2, ERROR_NO_MORE_ITEMS, nullptr}};
  for (const auto& r : rows) {
    cch = 16;
    ASSERT_EQ(r.value ? RegEnumValueW(key, r.index, name, &cch, nullptr, nullptr, nullptr, nullptr)
                      : RegEnumKeyExW(key, r.index, name, &cch, nullptr, nullptr, nullptr, nullptr),
              r.status)
        << r.value << r.index;
    if (r.name == nullptr) continue;
    EXPECT_EQ(std::wstring(name), r.name);
    EXPECT_EQ(cch, std::wcslen(r.name));  // without the zero
  }
  cch = 16;
  DWORD type = 0;
  BYTE data[64];
  DWORD size = sizeof data;
  ASSERT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(data)), L"2");

  EXPECT_THAT(Info(key), ElementsAre(2, 5, 2, 6, 2 * sizeof(wchar_t)));
  RegCloseKey(key);
}

TEST_F(RegistryTest, AwkwardNamesAndDataSurviveTheFile) {
  const std::wstring keyName = L"Odd%{41}]\"[x\n\t\x00e9\x20ac\x1F600";
  const std::wstring valueName = L"quote\" back\\ slash\r\n%";
  const std::wstring text = L"C:\\path with \"quotes\"\x7f\x0001 and \x1F600";
  std::wstring path = L"Root\\" + keyName;
  SetString(HKEY_CLASSES_ROOT, path.c_str(), valueName.c_str(), text);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  // Not well-formed strings: no terminator, a lone surrogate, an embedded zero.
  const wchar_t raw[] = {L'a', L'b'};
  const wchar_t surrogate[] = {L'x', static_cast<wchar_t>(0xD800), 0};
  const wchar_t embedded[] = {L'a', 0, L'b', 0};
  const BYTE binary[] = {0x00, 0xFF, 0x10, 0x0A};
  const uint64_t quad = 0x0123456789ABCDEFull;
  const struct {
    const wchar_t* name;
    DWORD type;
    const void* data;
    DWORD size;
  } values[] = {{L"raw", REG_SZ, raw, sizeof raw},
                {L"sur", REG_EXPAND_SZ, surrogate, sizeof surrogate},
                {L"emb", REG_MULTI_SZ, embedded, sizeof embedded},
                {L"bin", REG_BINARY, binary, sizeof binary},
                {L"empty", REG_BINARY, nullptr, 0},
                {L"quad", REG_QWORD, &quad, 8},
                {L"odd", 0x12345678, binary, 2}};
  for (const auto& v : values)
    ASSERT_EQ(RegSetValueExW(key, v.name, 0, v.type, static_cast<const BYTE*>(v.data), v.size), ERROR_SUCCESS);
  RegCloseKey(key);

  RereadFromCopy();
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, path.c_str(), valueName.c_str()), text);
  for (const auto& v : values) {
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(HKEY_CLASSES_ROOT, path.c_str(), v.name, type, data), ERROR_SUCCESS) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    ASSERT_EQ(data.size(), v.size) << v.name;
    EXPECT_TRUE(v.size == 0 || std::memcmp(data.data(), v.data, v.size) == 0) << v.name;
  }
  // Names compare case-insensitively for Latin-1 letters too.
  std::wstring upper = L"ROOT\\ODD%{41}]\"[X\n\t\x00c9\x20ac\x1F600";
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, upper.c_str()));
}

TEST_F(RegistryTest, AnsiFormsConvertWindows1252) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "Caf\xe9", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
  const char text[] = "5 \x80 caf\xe9";
  ASSERT_EQ(RegSetValueExA(key, "Price", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"Caf\x00e9", L"Price"), L"5 \x20ac caf\x00e9");

  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CAF\xc9", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD size = 0, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Price", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);
  char back[sizeof text] = {};
  ASSERT_EQ(RegQueryValueExA(key, "Price", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
  EXPECT_STREQ(back, text);
  ASSERT_EQ(RegDeleteValueA(key, "price"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "caf\xe9"), ERROR_SUCCESS);
}

// Builds a store file with a few keys, then damages it.
class DamagedRegistryTest : public RegistryTest {
 protected:
  std::string ValidFile() {
    SetString(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", nullptr, L"/lib/x.so");
    SetString(HKEY_CLASSES_ROOT, L"X.1", L"n", L"v");
    return m_Registry.Contents();
  }
  // Every call reports the damage; none rewrites the file.
  void ExpectRejected(const std::string& text) {
    m_Registry.Replace(text);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"New", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegSetValueExW(HKEY_CLASSES_ROOT, L"v", 0, REG_BINARY, nullptr, 0), ERROR_BADDB);
    EXPECT_EQ(m_Registry.Contents(), text);
  }
};

TEST_F(DamagedRegistryTest, EveryTruncationIsReported) {
  std::string valid = ValidFile();
  ASSERT_GT(valid.size(), 40u);
  for (size_t n = 1; n < valid.size(); ++n) {
    SCOPED_TRACE(n);
    ExpectRejected(valid.substr(0, n));
    if (HasFailure()) break;
  }
  // An empty file is an empty store.
  m_Registry.Replace("");
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  m_Registry.Replace(valid);
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"CLSID\\{X}\\InprocServer32", nullptr), L"/lib/x.so");
}

TEST_F(DamagedRegistryTest, MalformedLinesAreReported) {
  std::string valid = ValidFile();
  const std::string head = "VQRegistry 1\n[HKEY_CLASSES_ROOT\\K]\n";
  const std::string cases[] = {
      "VQRegistry 2\nEND\n",
      head + "\"v\"=dword:123\nEND\n",
      head + "\"v\"=qword:0123456789abcdef0\nEND\n",
      head + "\"v\"=hex(3):0\nEND\n",
      head + "\"v\"=hex(3):00,,01\nEND\n",
      head + "\"v\"=hex(99999999999):00\nEND\n",
      head + "\"v\"=sz:\"unterminated\nEND\n",
      head + "\"v\"=sz:\"bad \\q escape\"\nEND\n",
      head + "\"v\"=sz:\"x\" trailing\nEND\n",
      head + "\"v\"=sz:\"\\u{123456789}\"\nEND\n",
      head + "\"v\"=sz:\"\xc3\x28\"\nEND\n",           // invalid UTF-8
      head + "\"v\"=sz:\"\xed\xa0\x80\"\nEND\n",       // encoded surrogate
      head + "\"v\"=sz:\"\xc0\xaf\"\nEND\n",           // overlong
      head + "\"v\"=sz:\"a\"\n\"V\"=sz:\"b\"\nEND\n",  // duplicate value
      head + "\"v\"=unknown:1\nEND\n",
      head + "v=sz:\"a\"\nEND\n",
      "VQRegistry 1\n\"v\"=sz:\"no key\"\nEND\n",
      "VQRegistry 1\n[HKEY_NOWHERE\\K]\nEND\n",
      "VQRegistry 1\n[HKEY_CLASSES_ROOT\\\\K]\nEND\n",
      "VQRegistry 1\n[HKEY_CLASSES_ROOT\\K\nEND\n",
      "VQRegistry 1\n[HKEY_CLASSES_ROOT\\" + std::string(256, 'k') + "]\nEND\n",
      "VQRegistry 1\nEND\n[HKEY_CLASSES_ROOT\\K]\n",
      "VQRegistry 1\nEND\nEND\n",
      std::string("VQRegistry 1\n\0\nEND\n", 19),
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    ExpectRejected(text);
  }
  // Nesting deeper than the store allows, in one line.
  std::string deep = "VQRegistry 1\n[HKEY_CLASSES_ROOT";
  for (int i = 0; i < 600; ++i) deep += "\\k";
  ExpectRejected(deep + "]\nEND\n");
  // Random bytes after a valid header.
  std::mt19937 random(12345);
  for (int round = 0; round < 50; ++round) {
    std::string text = "VQRegistry 1\n";
    for (int i = 0; i < 200; ++i) text += static_cast<char>(random() & 0xFF);
    ExpectRejected(text);
  }
  // A file too large to be a store is not read into memory.
  {
    std::ofstream out(m_Registry.Path(), std::ios::binary | std::ios::trunc);
  }
  std::filesystem::resize_file(m_Registry.Path(), (16u << 20) + 1);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &key), ERROR_BADDB);
  // A valid file is accepted again once it replaces the damaged one.
  m_Registry.Replace(valid);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"X.1"));
}

TEST_F(RegistryTest, HandWrittenFileIsRead) {
  m_Registry.Replace(
      "VQRegistry 1\n"
      "; written by hand\n"
      "\n"
      "[hkey_classes_root\\Deep\\Er]\n"
      "@=sz:\"top\"\n"
      "\"n\"=dword:0000002A\n"
      "\"b\"=hex(3):01,Ff\n"
      "[HKEY_CLASSES_ROOT\\%{25}pct]\n"
      "END\n");
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"deep\\er", nullptr), L"top");
  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(Query(HKEY_CLASSES_ROOT, L"Deep\\Er", L"n", type, data), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, (std::vector<BYTE>{0x2A, 0, 0, 0}));
  ASSERT_EQ(Query(HKEY_CLASSES_ROOT, L"Deep\\Er", L"b", type, data), ERROR_SUCCESS);
  EXPECT_EQ(data, (std::vector<BYTE>{0x01, 0xFF}));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"%pct"));
}

// Two processes with two writer threads each add keys, and add and delete a
// subkey of each, one read-modify-write at a time; the file lock, the
// in-process lock and the re-read must keep every key of all four.
TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesKeepEveryKey) {
  constexpr int kKeys = 25;
  auto path = [](int writer, int i) { return L"Shared\\P" + std::to_wstring(writer) + L"\\K" + std::to_wstring(i); };
  SetString(HKEY_CLASSES_ROOT, L"Shared", nullptr, L"before");  // the parent has the store cached
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      std::atomic<int> failures{0};
      auto write = [&](int writer) {
        for (int i = 0; i < kKeys; ++i) {
          HKEY key = nullptr, gone = nullptr;
          DWORD v = static_cast<DWORD>(i);
          if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path(writer, i).c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr) !=
                  ERROR_SUCCESS ||
              RegSetValueExW(key, L"i", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != ERROR_SUCCESS ||
              RegCreateKeyExW(key, L"Gone", 0, nullptr, 0, 0, nullptr, &gone, nullptr) != ERROR_SUCCESS ||
              RegDeleteKeyW(key, L"Gone") != ERROR_SUCCESS)
            ++failures;
          RegCloseKey(gone);
          RegCloseKey(key);
        }
      };
      std::thread second(write, 2 * c + 1);
      write(2 * c);
      second.join();
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  for (int writer = 0; writer < 4; ++writer) {
    for (int i = 0; i < kKeys; ++i) {
      DWORD type = 0;
      std::vector<BYTE> data;
      ASSERT_EQ(Query(HKEY_CLASSES_ROOT, path(writer, i).c_str(), L"i", type, data), ERROR_SUCCESS)
          << writer << " " << i;
      EXPECT_EQ(data[0], static_cast<BYTE>(i));
      EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, (path(writer, i) + L"\\Gone").c_str()));
    }
  }
  EXPECT_EQ(QueryString(HKEY_CLASSES_ROOT, L"Shared", nullptr), L"before");
  // No temporary file is left beside the store: only the store and its lock file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Registry.Dir()), {}), 2);
}

TEST(RegistryPath, FollowsTheEnvironment) {
  ScopedEnv store("VQ_REGISTRY", nullptr), data("XDG_DATA_HOME", "/data/home");
  EXPECT_EQ(vq::RegistryStorePath(), "/data/home/VQDataMatrixLib/registry");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != 0) {
    EXPECT_EQ(vq::RegistryStorePath(), std::string(home) + "/.local/share/VQDataMatrixLib/registry");
  }
  setenv("VQ_REGISTRY", "/explicit/store", 1);
  EXPECT_EQ(vq::RegistryStorePath(), "/explicit/store");
}

}  // namespace
