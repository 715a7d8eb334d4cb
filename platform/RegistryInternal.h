// RegistryInternal.h - what the registry sources share (private to the
// platform library): the in-memory tree of keys and values, its text form
// (RegistryFormat.cpp) and the process's one store that keeps the tree in step
// with the file (RegistryStore.cpp). The Reg* calls (Registry.cpp) work on the
// tree only inside Store::Access, which holds the store's mutex.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "VQComRuntime.h"
#include "VQThreadSafety.h"

namespace vq::registry {

constexpr size_t kMaxDepth = 512;  // levels of keys below a root
constexpr int kRootCount = 3;
inline constexpr const wchar_t* kRootNames[kRootCount] = {L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER",
                                                          L"HKEY_LOCAL_MACHINE"};

// Names compare case-insensitively for ASCII and Latin-1 letters: the same
// folding in every process, whatever its locale.
inline wchar_t FoldChar(wchar_t c) {
  if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<wchar_t>(c + 32);
  return c;
}

inline std::wstring Fold(const std::wstring& s) {
  std::wstring r(s);
  for (auto& c : r) c = FoldChar(c);
  return r;
}

inline bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

struct RegValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegKey {
  std::wstring name;
  std::map<std::wstring, std::unique_ptr<RegKey>> subkeys;  // by folded name
  std::vector<RegValue> values;                             // in creation order

  RegKey* Find(const std::wstring& child) const {
    auto it = subkeys.find(Fold(child));
    return it == subkeys.end() ? nullptr : it->second.get();
  }
  RegKey* FindOrAdd(const std::wstring& child, bool* created) {
    std::wstring folded = Fold(child);
    auto it = subkeys.find(folded);
    if (it != subkeys.end()) return it->second.get();
    auto key = std::make_unique<RegKey>();
    key->name = child;
    RegKey* raw = key.get();
    subkeys.emplace(std::move(folded), std::move(key));
    if (created != nullptr) *created = true;
    return raw;
  }
  RegValue* FindValue(const std::wstring& valueName) {
    for (auto& v : values)
      if (SameName(v.name, valueName)) return &v;
    return nullptr;
  }
};

struct Tree {
  RegKey roots[kRootCount];
  Tree() {
    for (int i = 0; i < kRootCount; ++i) roots[i].name = kRootNames[i];
  }
  void Clear() {
    for (auto& r : roots) {
      r.subkeys.clear();
      r.values.clear();
    }
  }
};

// A key named by root and path; what an open HKEY stands for.
struct KeyRef {
  int root = 0;
  std::vector<std::wstring> path;
};

inline RegKey* FindKey(Tree& tree, const KeyRef& ref) {
  RegKey* key = &tree.roots[ref.root];
  for (const auto& segment : ref.path) {
    key = key->Find(segment);
    if (key == nullptr) return nullptr;
  }
  return key;
}

// The tree's text form (RegistryFormat.cpp). Serialize writes the whole file;
// Parse fills tree from a file's contents (cleared first) and returns false,
// leaving tree partly filled, when they break any rule of the format.
std::string Serialize(const Tree& tree);
bool Parse(const std::string& text, Tree& tree);

// A file's identity: a file replaced or rewritten by another process differs
// from the one read before.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;

  static FileStamp Of(const struct stat& st);
  bool operator==(const FileStamp&) const = default;
};

// The process's view of the store file, and its open key handles
// (RegistryStore.cpp). Thread-safe: every member runs under m_Mutex.
class Store {
 public:
  // Runs op(tree, changed) with m_Mutex held and the tree brought up to date
  // with the file. A writer (write == true) also holds the file lock, and the
  // tree is saved when op succeeds and sets changed. Returns op's status, or
  // the status of finding, locking, reading or saving the file.
  LSTATUS Access(bool write, const std::function<LSTATUS(Tree& tree, bool& changed)>& op);

  // Handle bookkeeping; the caller holds m_Mutex (inside Access) or uses the
  // locked forms.
  HKEY NewHandle(KeyRef ref);
  // The key an HKEY stands for; false for a handle that is not open.
  bool Resolve(HKEY hKey, KeyRef& out);
  // Locked: ERROR_INVALID_HANDLE for a handle that is not open; predefined
  // keys close successfully and stay usable.
  LSTATUS Close(HKEY hKey);

  static HKEY PredefinedKey(int root);

 private:
  LSTATUS Refresh(const std::string& path) VQ_REQUIRES(m_Mutex);
  LSTATUS ReadOpenFile(int fd) VQ_REQUIRES(m_Mutex);
  LSTATUS Save(const std::string& path) VQ_REQUIRES(m_Mutex);

  vq::Mutex m_Mutex;
  // Every member below is guarded by m_Mutex.
  Tree m_Tree VQ_GUARDED_BY(m_Mutex);
  std::string m_Path VQ_GUARDED_BY(m_Mutex);     // the file m_Tree reflects
  FileStamp m_Stamp VQ_GUARDED_BY(m_Mutex);      // its identity when read
  bool m_Loaded VQ_GUARDED_BY(m_Mutex) = false;  // m_Tree/m_LoadStatus are valid for m_Stamp
  LSTATUS m_LoadStatus VQ_GUARDED_BY(m_Mutex) = ERROR_SUCCESS;  // result of reading that file
  std::unordered_set<KeyRef*> m_Handles VQ_GUARDED_BY(m_Mutex);  // open handles
};

// The one store of the process; never destroyed, since handles may be closed
// from static destructors.
Store& TheStore();

}  // namespace vq::registry
