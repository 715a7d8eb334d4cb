// RegistrationTestSupport.h - helpers of the registration tests: a listing of
// the registry store, the exports of a library reached through its own
// handle, and child processes.
#pragma once

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "VQPlatform.h"

extern char** environ;

namespace vq::test {

// Every key of HKEY_CLASSES_ROOT as "path" -> "", and every value as
// "path|name" -> "type:text" (name "@" for the default value; REG_SZ as its
// text, REG_DWORD in decimal).
inline void ListKey(HKEY key, const std::wstring& path, std::map<std::wstring, std::wstring>* out) {
  if (!path.empty()) (*out)[path] = L"";
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    std::vector<BYTE> data(1 << 16, 0);  // the script's values are far shorter; the zeros end the text
    DWORD nameLength = 16384, type = 0, size = static_cast<DWORD>(data.size() - sizeof(wchar_t));
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    std::wstring text;
    if (type == REG_SZ) text = L"sz:" + std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
    if (type == REG_DWORD) text = L"dword:" + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
    (*out)[path + L"|" + (nameLength == 0 ? std::wstring(L"@") : std::wstring(name))] = text;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    ListKey(sub, path.empty() ? std::wstring(name) : path + L"\\" + name, out);
    RegCloseKey(sub);
  }
}

inline std::map<std::wstring, std::wstring> ListStore() {
  std::map<std::wstring, std::wstring> out;
  ListKey(HKEY_CLASSES_ROOT, L"", &out);
  return out;
}

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The function `name` of the library at path, found on that library's own
// handle (the process has it loaded already; the handle is kept).
template <class Fn>
Fn Export(const char* path, const char* name) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) handle = dlopen(path, RTLD_NOW);
  return handle == nullptr ? nullptr : reinterpret_cast<Fn>(dlsym(handle, name));
}

struct ChildResult {
  int exitCode = -1;  // -1 when the child did not exit normally (a crash)
  std::string out;
};

// Runs argv[0] with argv and this process's environment; collects stdout.
inline ChildResult RunChild(const std::vector<std::string>& args) {
  ChildResult result;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    return result;
  }
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vq::test
