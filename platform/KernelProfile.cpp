// Profile (INI) files: GetPrivateProfileStringA and GetPrivateProfileIntA.
//
// The file is read afresh on every call (no cache: callers read settings at
// most once per refresh) and never written. Rules, as the Windows calls have
// them unless noted:
// - Section and key names compare case-insensitively (ASCII); blanks (space,
//   tab) around names and values are trimmed, in the file and in the arguments.
// - A value enclosed in matching double or single quotes loses the quotes.
//   Text after the value (also "; ...") belongs to the value.
// - Lines starting with ';' are comments. A line without '=' inside a section,
//   a key line before any section and a section line without ']' are
//   malformed and ignored; keys after a malformed section line belong to no
//   section until the next good one.
// - When a key occurs more than once in a section, or a section more than
//   once in the file, the first occurrence in file order wins; enumerations
//   list each name once, in the spelling of its first occurrence.
// - Integers: optional sign, then "0x" hex, "0o" octal, "0b" binary or
//   decimal digits up to the first other character, wrapping at 32 bits; no
//   digits give 0, an empty value gives the default.
// - Files larger than 16 MiB are read only up to that size; a UTF-8 byte-order
//   mark is skipped; lines may end in "\n" or "\r\n".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "VQKernel.h"

namespace {

constexpr size_t kMaxProfileBytes = 16u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The path of a profile file: a bare name is looked up in the configuration
// directory; a name with '/' is used as it is.
bool ResolvePath(const char* fileName, std::string* path) {
  if (strchr(fileName, '/')) {
    *path = fileName;
    return true;
  }
  const char* dir = getenv("VQ_CONFIG_DIR");
  if (dir && *dir) {
    *path = std::string(dir) + "/" + fileName;
    return true;
  }
  dir = getenv("XDG_CONFIG_HOME");
  if (dir && *dir == '/') {
    *path = std::string(dir) + "/" + fileName;
    return true;
  }
  const char* home = getenv("HOME");
  if (!home || !*home) return false;
  *path = std::string(home) + "/.config/" + fileName;
  return true;
}

bool LoadFile(const char* fileName, std::string* text) {
  std::string path;
  if (!fileName || !*fileName || !ResolvePath(fileName, &path)) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[8192];
  bool ok = true;
  while (text->size() < kMaxProfileBytes) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  if (text->size() > kMaxProfileBytes) text->resize(kMaxProfileBytes);
  return ok;
}

// One pass over the lines of a profile file, reporting sections and entries.
template <class OnSection, class OnEntry>
void Parse(std::string_view text, OnSection onSection, OnEntry onEntry) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool inSection = false;
  std::string_view section;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string_view::npos;
      if (inSection) {
        section = Trim(line.substr(1, close - 1));
        onSection(section);
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    onEntry(section, key, Trim(line.substr(eq + 1)));
  }
}

// The first value of key in a section named app; false when there is none.
bool FindValue(std::string_view text, std::string_view app, std::string_view key, std::string_view* value) {
  bool found = false;
  Parse(text, [](std::string_view) {},
        [&](std::string_view s, std::string_view k, std::string_view v) {
          if (!found && SameName(s, app) && SameName(k, key)) {
            found = true;
            *value = v;
          }
        });
  return found;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// Copies one string; returns the characters copied (cut to size - 1).
DWORD CopyValue(std::string_view value, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  if (n > 0) memcpy(out, value.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a list of terminated strings ending with an extra zero; returns the
// characters before the final zero, size - 2 when the list had to be cut.
DWORD CopyList(const std::vector<std::string_view>& items, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  size_t used = 0;
  for (std::string_view item : items) {
    if (used + item.size() + 1 > size - 1) {  // the item, its zero and the final zero
      const size_t room = size - 2 - used;
      if (room > 0) memcpy(out + used, item.data(), room);
      out[size - 2] = '\0';
      out[size - 1] = '\0';
      return size - 2;
    }
    if (!item.empty()) memcpy(out + used, item.data(), item.size());
    used += item.size();
    out[used++] = '\0';
  }
  out[used] = '\0';
  if (used == 0 && size >= 2) out[1] = '\0';
  return static_cast<DWORD>(used);
}

void AddUnique(std::vector<std::string_view>& list, std::string_view name) {
  for (std::string_view known : list)
    if (SameName(known, name)) return;
  list.push_back(name);
}

// Parses the integer text of GetPrivateProfileIntA.
UINT ParseProfileInt(std::string_view v) {
  bool negative = false;
  if (!v.empty() && (v.front() == '-' || v.front() == '+')) {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  unsigned base = 10;
  if (v.size() >= 2 && v[0] == '0') {
    const char p = Lower(v[1]);
    if (p == 'x') base = 16;
    if (p == 'o') base = 8;
    if (p == 'b') base = 2;
    if (base != 10) v.remove_prefix(2);
  }
  uint32_t value = 0;
  for (char c : v) {
    unsigned digit;
    const char l = Lower(c);
    if (l >= '0' && l <= '9')
      digit = static_cast<unsigned>(l - '0');
    else if (l >= 'a' && l <= 'f')
      digit = static_cast<unsigned>(l - 'a' + 10);
    else
      break;
    if (digit >= base) break;
    value = value * base + digit;  // wraps, as the Windows parser does
  }
  return negative ? 0u - value : value;
}

}  // namespace

EXTERN_C DWORD GetPrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue,
                                        LPSTR returnedString, DWORD size, LPCSTR fileName) {
  if (!returnedString || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    std::string text;
    const bool haveFile = LoadFile(fileName, &text);
    if (!appName) {
      std::vector<std::string_view> sections;
      if (haveFile)
        Parse(text, [&](std::string_view s) { AddUnique(sections, s); },
              [](std::string_view, std::string_view, std::string_view) {});
      return CopyList(sections, returnedString, size);
    }
    const std::string_view app = Trim(appName);
    if (!keyName) {
      std::vector<std::string_view> keys;
      if (haveFile)
        Parse(text, [](std::string_view) {},
              [&](std::string_view s, std::string_view k, std::string_view) {
                if (SameName(s, app)) AddUnique(keys, k);
              });
      return CopyList(keys, returnedString, size);
    }
    std::string_view value;
    if (haveFile && FindValue(text, app, Trim(keyName), &value))
      return CopyValue(Unquote(value), returnedString, size);
    std::string_view def = defaultValue ? std::string_view(defaultValue) : std::string_view();
    while (!def.empty() && IsBlank(def.back())) def.remove_suffix(1);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyValue(def, returnedString, size);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    returnedString[0] = '\0';
    return 0;
  }
}

EXTERN_C UINT GetPrivateProfileIntA(LPCSTR appName, LPCSTR keyName, INT defaultValue, LPCSTR fileName) {
  if (!appName || !keyName) return static_cast<UINT>(defaultValue);
  try {
    std::string text;
    if (!LoadFile(fileName, &text)) return static_cast<UINT>(defaultValue);
    std::string_view value;
    if (!FindValue(text, Trim(appName), Trim(keyName), &value)) return static_cast<UINT>(defaultValue);
    value = Unquote(value);
    if (value.empty()) return static_cast<UINT>(defaultValue);
    return ParseProfileInt(value);
  } catch (...) {
    return static_cast<UINT>(defaultValue);
  }
}
