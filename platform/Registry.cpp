// Registry.cpp - the Reg* calls over the registry store: handles, paths of
// subkeys, the size rules of the calls that copy names and data out, and the
// ANSI (Windows-1252) forms. The tree and its file live in RegistryStore.cpp
// and RegistryFormat.cpp; every call here reaches the tree through
// Store::Access, so it sees the file as it is now and changes it atomically.
//
// Names compare case-insensitively for ASCII and Latin-1 letters (the same
// folding in every process, whatever its locale). The three roots are separate
// trees.
#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "RegistryInternal.h"

using vq::registry::FindKey;
using vq::registry::Fold;
using vq::registry::KeyRef;
using vq::registry::kMaxDepth;
using vq::registry::RegKey;
using vq::registry::RegValue;
using vq::registry::SameName;
using vq::registry::Store;
using vq::registry::TheStore;
using vq::registry::Tree;

namespace {

// Splits a subkey path; null or empty gives no elements. A single trailing
// backslash is accepted, any other empty element is not.
LSTATUS SplitPath(LPCWSTR subKey, std::vector<std::wstring>& out) {
  out.clear();
  if (subKey == nullptr || *subKey == 0) return ERROR_SUCCESS;
  const wchar_t* p = subKey;
  for (;;) {
    const wchar_t* end = p;
    while (*end != 0 && *end != L'\\') ++end;
    if (end == p) {
      if (*end == 0 && !out.empty()) break;
      return ERROR_BAD_PATHNAME;
    }
    if (end - p > VQ_REG_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
    out.emplace_back(p, end);
    if (out.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
    if (*end == 0) break;
    p = end + 1;
  }
  return ERROR_SUCCESS;
}

// Resolves hKey\subKey to a key reference; *key is the key or null.
LSTATUS Target(Store& store, Tree& tree, HKEY hKey, LPCWSTR subKey, KeyRef& ref, RegKey** key) {
  if (!store.Resolve(hKey, ref)) return ERROR_INVALID_HANDLE;
  RegKey* base = FindKey(tree, ref);
  if (base == nullptr) return ERROR_KEY_DELETED;
  std::vector<std::wstring> segments;
  LSTATUS status = SplitPath(subKey, segments);
  if (status != ERROR_SUCCESS) return status;
  if (ref.path.size() + segments.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
  RegKey* k = base;
  for (const auto& s : segments) {
    ref.path.push_back(s);
    if (k != nullptr) k = k->Find(s);
  }
  *key = k;
  return ERROR_SUCCESS;
}

// Copies a value out with RegQueryValueEx's size rules.
LSTATUS CopyOut(DWORD type, const std::vector<BYTE>& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  auto size = static_cast<DWORD>(data.size());
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size != 0) std::memcpy(lpData, data.data(), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// Runs fn(key, changed) on the key hKey stands for, under the store's lock (a
// writer also holds the file lock, and the store is saved when fn sets
// changed). ERROR_INVALID_HANDLE or ERROR_KEY_DELETED when there is no key.
LSTATUS AccessKey(bool write, HKEY hKey, const std::function<LSTATUS(RegKey& key, bool& changed)>& fn) {
  Store& store = TheStore();
  return store.Access(write, [&](Tree& tree, bool& changed) -> LSTATUS {
    KeyRef ref;
    RegKey* key = nullptr;
    LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
    if (status != ERROR_SUCCESS) return status;
    if (key == nullptr) return ERROR_KEY_DELETED;
    return fn(*key, changed);
  });
}

LSTATUS QueryValue(HKEY hKey, LPCWSTR name, DWORD& type, std::vector<BYTE>& data) {
  return AccessKey(false, hKey, [&](RegKey& key, bool&) -> LSTATUS {
    RegValue* v = key.FindValue(name == nullptr ? std::wstring() : std::wstring(name));
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    type = v->type;
    data = v->data;
    return ERROR_SUCCESS;
  });
}

LSTATUS SetValue(HKEY hKey, LPCWSTR name, DWORD type, std::vector<BYTE> data) {
  std::wstring valueName = name == nullptr ? std::wstring() : std::wstring(name);
  if (valueName.size() > VQ_REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  if (data.size() > VQ_REG_MAX_VALUE_SIZE) return ERROR_INVALID_PARAMETER;
  if ((type == REG_DWORD && data.size() != 4) || (type == REG_QWORD && data.size() != 8))
    return ERROR_INVALID_PARAMETER;
  return AccessKey(true, hKey, [&](RegKey& key, bool& changed) -> LSTATUS {
    RegValue* v = key.FindValue(valueName);
    if (v == nullptr) {
      key.values.push_back(RegValue{valueName, type, std::move(data)});
    } else {
      v->type = type;
      v->data = std::move(data);
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// Windows-1252 for the ANSI forms.
// ---------------------------------------------------------------------------
const wchar_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t WideOfAnsi(char c) {
  auto b = static_cast<unsigned char>(c);
  return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<wchar_t>(b);
}

char AnsiOfWide(wchar_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int k = 0; k < 32; ++k)
    if (kCp1252High[k] == c) return static_cast<char>(0x80 + k);
  return '?';
}

// A converted name; null stays null.
struct WideName {
  explicit WideName(LPCSTR s) : isNull(s == nullptr) {
    if (s != nullptr)
      for (; *s != 0; ++s) text += WideOfAnsi(*s);
  }
  LPCWSTR get() const { return isNull ? nullptr : text.c_str(); }
  bool isNull;
  std::wstring text;
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

template <class Fn>
LSTATUS Guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

STDAPI_(LSTATUS) RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                 const struct _SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    Store& store = TheStore();
    return store.Access(true, [&](Tree& tree, bool& changed) -> LSTATUS {
      KeyRef ref;
      RegKey* key = nullptr;
      LSTATUS status = Target(store, tree, hKey, lpSubKey, ref, &key);
      if (status != ERROR_SUCCESS) return status;
      bool created = false;
      if (key == nullptr) {
        key = &tree.roots[ref.root];
        for (const auto& s : ref.path) key = key->FindOrAdd(s, &created);
      }
      changed = created;
      if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
      *phkResult = store.NewHandle(std::move(ref));
      return ERROR_SUCCESS;
    });
  });
}

STDAPI_(LSTATUS) RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                                 REGSAM samDesired, const struct _SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                 PHKEY phkResult, LPDWORD lpdwDisposition) {
  return Guarded([&] {
    WideName sub(lpSubKey);
    return RegCreateKeyExW(hKey, sub.get(), Reserved, nullptr, dwOptions, samDesired, lpSecurityAttributes,
                           phkResult, lpdwDisposition);
  });
}

STDAPI_(LSTATUS) RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&] {
    Store& store = TheStore();
    return store.Access(false, [&](Tree& tree, bool&) -> LSTATUS {
      KeyRef ref;
      RegKey* key = nullptr;
      LSTATUS status = Target(store, tree, hKey, lpSubKey, ref, &key);
      if (status != ERROR_SUCCESS) return status;
      if (key == nullptr) return ERROR_FILE_NOT_FOUND;
      *phkResult = store.NewHandle(std::move(ref));
      return ERROR_SUCCESS;
    });
  });
}

STDAPI_(LSTATUS) RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return Guarded([&] {
    WideName sub(lpSubKey);
    return RegOpenKeyExW(hKey, sub.get(), ulOptions, samDesired, phkResult);
  });
}

STDAPI_(LSTATUS) RegCloseKey(HKEY hKey) { return TheStore().Close(hKey); }

STDAPI_(LSTATUS) RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  if (cbData > VQ_REG_MAX_VALUE_SIZE) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    std::vector<BYTE> data(lpData, lpData + cbData);
    return SetValue(hKey, lpValueName, dwType, std::move(data));
  });
}

STDAPI_(LSTATUS) RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  if (cbData > VQ_REG_MAX_VALUE_SIZE / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    WideName name(lpValueName);
    std::vector<BYTE> data;
    if (IsStringType(dwType)) {
      data.resize(static_cast<size_t>(cbData) * sizeof(wchar_t));
      for (DWORD k = 0; k < cbData; ++k) {
        wchar_t w = WideOfAnsi(static_cast<char>(lpData[k]));
        std::memcpy(data.data() + k * sizeof(wchar_t), &w, sizeof w);
      }
    } else {
      data.assign(lpData, lpData + cbData);
    }
    return SetValue(hKey, name.get(), dwType, std::move(data));
  });
}

STDAPI_(LSTATUS) RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                  LPDWORD lpcbData) {
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    LSTATUS status = QueryValue(hKey, lpValueName, type, data);
    if (status != ERROR_SUCCESS) return status;
    return CopyOut(type, data, lpType, lpData, lpcbData);
  });
}

STDAPI_(LSTATUS) RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                  LPDWORD lpcbData) {
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    WideName name(lpValueName);
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    LSTATUS status = QueryValue(hKey, name.get(), type, data);
    if (status != ERROR_SUCCESS) return status;
    if (IsStringType(type)) {
      std::vector<BYTE> ansi(data.size() / sizeof(wchar_t));
      for (size_t k = 0; k < ansi.size(); ++k) {
        wchar_t w;
        std::memcpy(&w, data.data() + k * sizeof(wchar_t), sizeof w);
        ansi[k] = static_cast<BYTE>(AnsiOfWide(w));
      }
      data.swap(ansi);
    }
    return CopyOut(type, data, lpType, lpData, lpcbData);
  });
}

STDAPI_(LSTATUS) RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return Guarded([&] {
    std::wstring valueName = lpValueName == nullptr ? std::wstring() : std::wstring(lpValueName);
    return AccessKey(true, hKey, [&](RegKey& key, bool& changed) -> LSTATUS {
      for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (SameName(it->name, valueName)) {
          key.values.erase(it);
          changed = true;
          return ERROR_SUCCESS;
        }
      }
      return ERROR_FILE_NOT_FOUND;
    });
  });
}

STDAPI_(LSTATUS) RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return Guarded([&] {
    WideName name(lpValueName);
    return RegDeleteValueW(hKey, name.get());
  });
}

namespace {
// Deletes hKey\subKey; withChildren allows a key that has subkeys.
LSTATUS DeleteKey(HKEY hKey, LPCWSTR subKey, bool withChildren) {
  Store& store = TheStore();
  return store.Access(true, [&](Tree& tree, bool& changed) -> LSTATUS {
    KeyRef ref;
    RegKey* key = nullptr;
    LSTATUS status = Target(store, tree, hKey, subKey, ref, &key);
    if (status != ERROR_SUCCESS) return status;
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    if (ref.path.empty()) return ERROR_ACCESS_DENIED;  // a root cannot go
    if (!withChildren && !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    std::wstring last = ref.path.back();
    ref.path.pop_back();
    RegKey* parent = FindKey(tree, ref);
    if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
    parent->subkeys.erase(Fold(last));
    changed = true;
    return ERROR_SUCCESS;
  });
}
}  // namespace

STDAPI_(LSTATUS) RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] { return DeleteKey(hKey, lpSubKey, false); });
}

STDAPI_(LSTATUS) RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    WideName sub(lpSubKey);
    return RegDeleteKeyW(hKey, sub.get());
  });
}

STDAPI_(LSTATUS) RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return Guarded([&]() -> LSTATUS {
    if (lpSubKey != nullptr && *lpSubKey != 0) return DeleteKey(hKey, lpSubKey, true);
    return AccessKey(true, hKey, [&](RegKey& key, bool& changed) -> LSTATUS {
      changed = !key.subkeys.empty() || !key.values.empty();
      key.subkeys.clear();
      key.values.clear();
      return ERROR_SUCCESS;
    });
  });
}

STDAPI_(LSTATUS) RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  return Guarded([&] {
    WideName sub(lpSubKey);
    return RegDeleteTreeW(hKey, sub.get());
  });
}

namespace {
// Copies name into a caller's buffer of *cch characters; *cch becomes the
// length without the zero. ERROR_MORE_DATA when it does not fit.
LSTATUS CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD cch) {
  if (static_cast<size_t>(*cch) < name.size() + 1) {
    *cch = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

STDAPI_(LSTATUS) RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                               LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return AccessKey(false, hKey, [&](RegKey& key, bool&) -> LSTATUS {
      if (dwIndex >= key.subkeys.size()) return ERROR_NO_MORE_ITEMS;
      auto it = key.subkeys.begin();
      std::advance(it, dwIndex);
      LSTATUS status = CopyName(it->second->name, lpName, lpcchName);
      if (status != ERROR_SUCCESS) return status;
      if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
      if (lpcchClass != nullptr) *lpcchClass = 0;
      if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
      return ERROR_SUCCESS;
    });
  });
}

STDAPI_(LSTATUS) RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                               LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return AccessKey(false, hKey, [&](RegKey& key, bool&) -> LSTATUS {
      if (dwIndex >= key.values.size()) return ERROR_NO_MORE_ITEMS;
      const RegValue& v = key.values[dwIndex];
      LSTATUS status = CopyName(v.name, lpValueName, lpcchValueName);
      if (status != ERROR_SUCCESS) return status;
      return CopyOut(v.type, v.data, lpType, lpData, lpcbData);
    });
  });
}

STDAPI_(LSTATUS) RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                  LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                  LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                  LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return Guarded([&] {
    return AccessKey(false, hKey, [&](RegKey& key, bool&) -> LSTATUS {
      DWORD maxSub = 0, maxName = 0, maxData = 0;
      for (const auto& [folded, child] : key.subkeys) maxSub = std::max(maxSub, static_cast<DWORD>(child->name.size()));
      for (const auto& v : key.values) {
        maxName = std::max(maxName, static_cast<DWORD>(v.name.size()));
        maxData = std::max(maxData, static_cast<DWORD>(v.data.size()));
      }
      if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
      if (lpcchClass != nullptr) *lpcchClass = 0;
      if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(key.subkeys.size());
      if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = maxSub;
      if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
      if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(key.values.size());
      if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = maxName;
      if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = maxData;
      if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
      if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
      return ERROR_SUCCESS;
    });
  });
}
