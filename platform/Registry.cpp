// The registry store: a tree of keys with typed values kept in one text file.
//
// File format (UTF-8, lines end with "\n", nothing else is tolerated):
//
//   VQRegistry 1
//   [HKEY_CLASSES_ROOT]
//   [HKEY_CLASSES_ROOT\CLSID\{01234567-89AB-CDEF-0123-456789ABCDEF}]
//   @=sz:"Sample Class"
//   [HKEY_CLASSES_ROOT\CLSID\{01234567-89AB-CDEF-0123-456789ABCDEF}\InprocServer32]
//   @=sz:"/usr/lib/libsample.so"
//   "ThreadingModel"=sz:"Apartment"
//   "Flags"=dword:0000002a
//   "Blob"=hex(3):01,ff,00
//   END
//
// - The first line names the format and its version; the last line is END,
//   so that a file cut short anywhere is recognised as damaged.
// - A key line is the key's full path in brackets: the root name, then the
//   key names separated by backslashes (key names never contain one). In a key
//   name, '%', control characters and values that are not Unicode scalar
//   values are written %{HEX}. Keys are written parents first; a key line
//   creates missing parents, so empty keys survive a round trip.
// - A value line belongs to the key line above it: the name (@ for the default
//   value, else a quoted string), '=', then the data: sz:"..." (REG_SZ) and
//   expand_sz:"..." hold well-formed strings (the stored data is the text plus
//   its terminating zero); dword:8 hex digits; qword:16 hex digits; anything
//   else is hex(TYPE):bytes, two hex digits per byte separated by commas, with
//   the type in decimal. In quoted strings, backslash and double quote are
//   escaped with a backslash, and control characters and non-scalar values
//   are written \u{HEX}.
// - Blank lines and lines starting with ';' are skipped.
//
// Limits, checked when reading so that a damaged or hostile file costs bounded
// time and memory: a file of at most 16 MiB, key names of 255 characters, 512
// levels of keys, values of VQ_REG_MAX_VALUE_SIZE bytes. A file that breaks any
// rule is rejected as a whole with ERROR_BADDB; the store is never rewritten
// from a damaged file. A change that would make the file too large is refused
// with ERROR_NO_SYSTEM_RESOURCES. A missing or empty file is an empty store.
//
// Consistency between processes: every change is a read-modify-write of the
// whole file under an exclusive flock on "<file>.lock"; the new contents go to
// a temporary file in the same directory, which is fsync'ed and renamed over
// the store, so a reader sees either the old or the new file, never a mix.
// Each call compares the file's identity (device, inode, size, modification
// time) with the cached copy and re-reads it when another process replaced it.
//
// Names compare case-insensitively for ASCII and Latin-1 letters (the same
// folding in every process, whatever its locale). The three roots are separate
// trees.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VQComRuntime.h"
#include "VQKernel.h"

namespace {

constexpr size_t kMaxFileSize = 16u << 20;
constexpr size_t kMaxDepth = 512;
constexpr const char kHeader[] = "VQRegistry 1";
constexpr const char kTrailer[] = "END";
constexpr int kRootCount = 3;
const wchar_t* const kRootNames[kRootCount] = {L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE"};

wchar_t FoldChar(wchar_t c) {
  if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<wchar_t>(c + 32);
  return c;
}

std::wstring Fold(const std::wstring& s) {
  std::wstring r(s);
  for (auto& c : r) c = FoldChar(c);
  return r;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
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

RegKey* FindKey(Tree& tree, const KeyRef& ref) {
  RegKey* key = &tree.roots[ref.root];
  for (const auto& segment : ref.path) {
    key = key->Find(segment);
    if (key == nullptr) return nullptr;
  }
  return key;
}

// ---------------------------------------------------------------------------
// Text encoding.
// ---------------------------------------------------------------------------
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsScalar(wchar_t c) {
  auto v = static_cast<uint32_t>(c);
  return v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF);
}

void AppendUtf8(std::string& out, uint32_t v) {
  if (v < 0x80) {
    out += static_cast<char>(v);
  } else if (v < 0x800) {
    out += static_cast<char>(0xC0 | (v >> 6));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    out += static_cast<char>(0xE0 | (v >> 12));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (v >> 18));
    out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i] (i < s.size()); false on any malformed,
// overlong or surrogate sequence.
bool DecodeUtf8(const std::string& s, size_t& i, uint32_t& out) {
  auto b0 = static_cast<unsigned char>(s[i]);
  int extra;
  uint32_t v;
  uint32_t min;
  if (b0 < 0x80) {
    out = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    extra = 1, v = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, v = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, v = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (s.size() - i <= static_cast<size_t>(extra)) return false;
  for (int k = 1; k <= extra; ++k) {
    auto b = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((b & 0xC0) != 0x80) return false;
    v = (v << 6) | (b & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  i += static_cast<size_t>(extra) + 1;
  out = v;
  return true;
}

void AppendHex(std::string& out, uint64_t v, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) out += kDigits[(v >> (4 * i)) & 0xF];
}

void AppendBraceEscape(std::string& out, const char* lead, wchar_t c) {
  out += lead;
  out += '{';
  auto v = static_cast<uint32_t>(c);
  int digits = 1;
  while (digits < 8 && (v >> (4 * digits)) != 0) ++digits;
  AppendHex(out, v, digits);
  out += '}';
}

bool NeedsEscape(wchar_t c) { return c < 0x20 || c == 0x7F || !IsScalar(c); }

void AppendQuoted(std::string& out, const std::wstring& s) {
  out += '"';
  for (wchar_t c : s) {
    if (c == L'\\' || c == L'"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (NeedsEscape(c)) {
      AppendBraceEscape(out, "\\u", c);
    } else {
      AppendUtf8(out, static_cast<uint32_t>(c));
    }
  }
  out += '"';
}

void AppendSegment(std::string& out, const std::wstring& s) {
  for (wchar_t c : s) {
    if (c == L'%' || NeedsEscape(c))
      AppendBraceEscape(out, "%", c);
    else
      AppendUtf8(out, static_cast<uint32_t>(c));
  }
}

// Reads "{HEX}" (1 to 8 digits) at line[i]; i ends after the brace.
bool ReadBraceEscape(const std::string& line, size_t& i, wchar_t& out) {
  if (i >= line.size() || line[i] != '{') return false;
  ++i;
  uint32_t v = 0;
  int digits = 0;
  while (i < line.size() && line[i] != '}') {
    int d = HexValue(line[i]);
    if (d < 0 || ++digits > 8) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
    ++i;
  }
  if (i >= line.size() || digits == 0) return false;
  ++i;
  out = static_cast<wchar_t>(v);
  return true;
}

// Reads a quoted string starting at line[i] == '"'; i ends after the closing quote.
bool ReadQuoted(const std::string& line, size_t& i, std::wstring& out) {
  out.clear();
  if (i >= line.size() || line[i] != '"') return false;
  ++i;
  while (i < line.size()) {
    char c = line[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (c == '\\') {
      ++i;
      if (i >= line.size()) return false;
      if (line[i] == '\\' || line[i] == '"') {
        out += static_cast<wchar_t>(line[i]);
        ++i;
      } else if (line[i] == 'u') {
        ++i;
        wchar_t w;
        if (!ReadBraceEscape(line, i, w)) return false;
        out += w;
      } else {
        return false;
      }
      continue;
    }
    uint32_t v;
    if (!DecodeUtf8(line, i, v)) return false;
    out += static_cast<wchar_t>(v);
  }
  return false;
}

bool ReadSegment(const std::string& text, std::wstring& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      ++i;
      wchar_t w;
      if (!ReadBraceEscape(text, i, w)) return false;
      out += w;
      continue;
    }
    uint32_t v;
    if (!DecodeUtf8(text, i, v)) return false;
    out += static_cast<wchar_t>(v);
  }
  return !out.empty() && out.size() <= VQ_REG_MAX_KEY_NAME;
}

// True when data is a string with exactly one terminating zero, at its end.
bool IsCleanString(const std::vector<BYTE>& data) {
  if (data.size() < sizeof(wchar_t) || data.size() % sizeof(wchar_t) != 0) return false;
  size_t count = data.size() / sizeof(wchar_t);
  for (size_t k = 0; k < count; ++k) {
    wchar_t c;
    std::memcpy(&c, data.data() + k * sizeof(wchar_t), sizeof c);
    if ((c == 0) != (k + 1 == count)) return false;
  }
  return true;
}

std::wstring StringOfData(const std::vector<BYTE>& data) {
  std::wstring s(data.size() / sizeof(wchar_t) - 1, L'\0');
  std::memcpy(s.data(), data.data(), s.size() * sizeof(wchar_t));
  return s;
}

std::vector<BYTE> DataOfString(const std::wstring& s) {
  std::vector<BYTE> data((s.size() + 1) * sizeof(wchar_t), 0);
  std::memcpy(data.data(), s.data(), s.size() * sizeof(wchar_t));
  return data;
}

// ---------------------------------------------------------------------------
// Serialisation.
// ---------------------------------------------------------------------------
void WriteKey(std::string& out, std::string& path, const RegKey& key) {
  out += '[';
  out += path;
  out += "]\n";
  for (const auto& v : key.values) {
    if (v.name.empty())
      out += '@';
    else
      AppendQuoted(out, v.name);
    out += '=';
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && IsCleanString(v.data)) {
      out += v.type == REG_SZ ? "sz:" : "expand_sz:";
      AppendQuoted(out, StringOfData(v.data));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      uint32_t d;
      std::memcpy(&d, v.data.data(), 4);
      out += "dword:";
      AppendHex(out, d, 8);
    } else if (v.type == REG_QWORD && v.data.size() == 8) {
      uint64_t q;
      std::memcpy(&q, v.data.data(), 8);
      out += "qword:";
      AppendHex(out, q, 16);
    } else {
      out += "hex(" + std::to_string(v.type) + "):";
      for (size_t k = 0; k < v.data.size(); ++k) {
        if (k != 0) out += ',';
        AppendHex(out, v.data[k], 2);
      }
    }
    out += '\n';
  }
  for (const auto& [folded, child] : key.subkeys) {
    size_t mark = path.size();
    path += '\\';
    AppendSegment(path, child->name);
    WriteKey(out, path, *child);
    path.resize(mark);
  }
}

std::string Serialize(const Tree& tree) {
  std::string out = std::string(kHeader) + "\n";
  for (const auto& root : tree.roots) {
    std::string path;
    AppendSegment(path, root.name);
    WriteKey(out, path, root);
  }
  out += kTrailer;
  out += '\n';
  return out;
}

// Reads exactly count hex digits from s[pos] to the end of s.
bool ParseHexDigits(const std::string& s, size_t pos, size_t count, uint64_t& out) {
  if (s.size() < pos || s.size() - pos != count) return false;
  uint64_t v = 0;
  for (size_t k = 0; k < count; ++k) {
    int d = HexValue(s[pos + k]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  out = v;
  return true;
}

// Parses a value line into key. seen holds the folded names of the key's
// values so far, which keeps a key with many values linear to read.
bool ParseValueLine(const std::string& line, RegKey& key, std::unordered_set<std::wstring>& seen) {
  RegValue value;
  size_t i = 0;
  if (line[0] == '@') {
    i = 1;
  } else if (!ReadQuoted(line, i, value.name) || value.name.empty() || value.name.size() > VQ_REG_MAX_VALUE_NAME) {
    return false;
  }
  if (i >= line.size() || line[i] != '=') return false;
  ++i;
  if (!seen.insert(Fold(value.name)).second) return false;
  std::string rest = line.substr(i);
  auto startsWith = [&](const char* tag) { return rest.compare(0, std::strlen(tag), tag) == 0; };
  if (startsWith("sz:") || startsWith("expand_sz:")) {
    value.type = startsWith("sz:") ? REG_SZ : REG_EXPAND_SZ;
    size_t j = rest.find(':') + 1;
    std::wstring text;
    if (!ReadQuoted(rest, j, text) || j != rest.size()) return false;
    value.data = DataOfString(text);
  } else if (startsWith("dword:")) {
    uint64_t v;
    if (!ParseHexDigits(rest, 6, 8, v)) return false;
    auto d = static_cast<uint32_t>(v);
    value.type = REG_DWORD;
    value.data.resize(4);
    std::memcpy(value.data.data(), &d, 4);
  } else if (startsWith("qword:")) {
    uint64_t v;
    if (!ParseHexDigits(rest, 6, 16, v)) return false;
    value.type = REG_QWORD;
    value.data.resize(8);
    std::memcpy(value.data.data(), &v, 8);
  } else if (startsWith("hex(")) {
    size_t j = 4;
    uint64_t type = 0;
    size_t digits = 0;
    while (j < rest.size() && rest[j] >= '0' && rest[j] <= '9' && digits < 10) {
      type = type * 10 + static_cast<uint64_t>(rest[j] - '0');
      ++j, ++digits;
    }
    if (digits == 0 || type > 0xFFFFFFFFu || rest.compare(j, 2, "):") != 0) return false;
    value.type = static_cast<DWORD>(type);
    j += 2;
    while (j < rest.size()) {
      if (!value.data.empty()) {
        if (rest[j] != ',') return false;
        ++j;
      }
      int hi = j < rest.size() ? HexValue(rest[j]) : -1;
      int lo = j + 1 < rest.size() ? HexValue(rest[j + 1]) : -1;
      if (hi < 0 || lo < 0 || value.data.size() >= VQ_REG_MAX_VALUE_SIZE) return false;
      value.data.push_back(static_cast<BYTE>(hi * 16 + lo));
      j += 2;
    }
  } else {
    return false;
  }
  key.values.push_back(std::move(value));
  return true;
}

bool ParseKeyLine(const std::string& line, Tree& tree, RegKey*& current) {
  if (line.size() < 2 || line.back() != ']') return false;
  std::string body = line.substr(1, line.size() - 2);
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t sep = body.find('\\', start);
    parts.push_back(body.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
    if (sep == std::string::npos) break;
    start = sep + 1;
    if (parts.size() > kMaxDepth) return false;
  }
  std::wstring name;
  if (!ReadSegment(parts[0], name)) return false;
  RegKey* key = nullptr;
  for (auto& root : tree.roots)
    if (SameName(root.name, name)) key = &root;
  if (key == nullptr) return false;
  for (size_t k = 1; k < parts.size(); ++k) {
    if (!ReadSegment(parts[k], name)) return false;
    key = key->FindOrAdd(name, nullptr);
  }
  current = key;
  return true;
}

// Fills tree from the file's contents; false when they break any rule.
bool Parse(const std::string& text, Tree& tree) {
  tree.Clear();
  if (text.empty()) return true;
  if (text.back() != '\n') return false;
  size_t pos = 0;
  bool first = true;
  bool ended = false;
  RegKey* current = nullptr;
  std::unordered_map<RegKey*, std::unordered_set<std::wstring>> valueNames;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (ended) return false;
    if (first) {
      if (line != kHeader) return false;
      first = false;
      continue;
    }
    if (line == kTrailer) {
      ended = true;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (!ParseKeyLine(line, tree, current)) return false;
    } else {
      if (current == nullptr || !ParseValueLine(line, *current, valueNames[current])) return false;
    }
  }
  return ended;
}

// ---------------------------------------------------------------------------
// Files.
// ---------------------------------------------------------------------------
// The store's status for a failed file call: the platform's errno mapping
// where it means access denied or a full disk; the store's own answers on top
// of it: a missing file or folder is a missing path, memory is
// ERROR_OUTOFMEMORY, and anything else is the caller's read or write fault.
LSTATUS Win32OfErrno(int e, LSTATUS fallback) {
  if (e == ENOENT || e == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  if (e == ENOMEM) return ERROR_OUTOFMEMORY;
  const DWORD mapped = vq::Win32ErrorFromErrno(e);
  return mapped == ERROR_ACCESS_DENIED || mapped == ERROR_DISK_FULL ? static_cast<LSTATUS>(mapped) : fallback;
}

struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;

  static FileStamp Of(const struct stat& st) {
    FileStamp s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    return s;
  }
  bool operator==(const FileStamp&) const = default;
};

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------
// The store.
// ---------------------------------------------------------------------------
class Store {
 public:
  // Runs op(tree, changed) with m_Mutex held and the tree brought up to date
  // with the file. A writer (write == true) also holds the file lock, and the
  // tree is saved when op succeeds and sets changed.
  template <class Op>
  LSTATUS Access(bool write, Op&& op) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    try {
      std::string path = vq::RegistryStorePath();
      if (path.empty()) return ERROR_PATH_NOT_FOUND;
      int lockFd = -1;
      if (write) {
        if (!MakeDirectories(DirectoryOf(path))) return Win32OfErrno(errno, ERROR_CANTWRITE);
        std::string lockPath = path + ".lock";
        lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd < 0) return Win32OfErrno(errno, ERROR_CANTWRITE);
        while (::flock(lockFd, LOCK_EX) != 0) {
          if (errno != EINTR) {
            ::close(lockFd);
            return ERROR_CANTWRITE;
          }
        }
      }
      LSTATUS status = Refresh(path);
      bool changed = false;
      if (status == ERROR_SUCCESS) status = op(m_Tree, changed);
      if (status == ERROR_SUCCESS && write && changed) {
        status = Save(path);
        if (status != ERROR_SUCCESS) m_Loaded = false;  // the tree no longer matches the file
      }
      if (lockFd >= 0) ::close(lockFd);  // releases the flock
      return status;
    } catch (const std::bad_alloc&) {
      m_Loaded = false;
      return ERROR_OUTOFMEMORY;
    } catch (...) {
      m_Loaded = false;
      return ERROR_GEN_FAILURE;
    }
  }

  // Handle bookkeeping; the caller holds m_Mutex (inside Access) or uses the
  // locked forms.
  HKEY NewHandle(KeyRef ref) {
    auto* handle = new KeyRef(std::move(ref));
    m_Handles.insert(handle);
    return reinterpret_cast<HKEY>(handle);
  }

  // The key an HKEY stands for; false for a handle that is not open.
  bool Resolve(HKEY hKey, KeyRef& out) {
    for (int i = 0; i < kRootCount; ++i) {
      if (hKey == PredefinedKey(i)) {
        out.root = i;
        out.path.clear();
        return true;
      }
    }
    auto* handle = reinterpret_cast<KeyRef*>(hKey);
    if (m_Handles.count(handle) == 0) return false;
    out = *handle;
    return true;
  }

  LSTATUS Close(HKEY hKey) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    for (int i = 0; i < kRootCount; ++i)
      if (hKey == PredefinedKey(i)) return ERROR_SUCCESS;
    auto* handle = reinterpret_cast<KeyRef*>(hKey);
    if (m_Handles.erase(handle) == 0) return ERROR_INVALID_HANDLE;
    delete handle;
    return ERROR_SUCCESS;
  }

  static HKEY PredefinedKey(int root) {
    switch (root) {
      case 0:
        return HKEY_CLASSES_ROOT;
      case 1:
        return HKEY_CURRENT_USER;
      default:
        return HKEY_LOCAL_MACHINE;
    }
  }

 private:
  LSTATUS Refresh(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return Win32OfErrno(errno, ERROR_CANTREAD);
      m_Tree.Clear();
      m_Path = path;
      m_Stamp = FileStamp{};
      m_Loaded = true;
      m_LoadStatus = ERROR_SUCCESS;
      return ERROR_SUCCESS;
    }
    if (m_Loaded && m_Path == path && m_Stamp == FileStamp::Of(st)) return m_LoadStatus;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Win32OfErrno(errno, ERROR_CANTREAD);
    LSTATUS status = ReadOpenFile(fd);
    ::close(fd);
    return status;
  }

  LSTATUS ReadOpenFile(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return ERROR_CANTREAD;
    if (!S_ISREG(st.st_mode)) return ERROR_BADDB;
    FileStamp stamp = FileStamp::Of(st);
    std::string text;
    LSTATUS status = ERROR_SUCCESS;
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
      status = ERROR_BADDB;
    } else {
      text.resize(static_cast<size_t>(st.st_size));
      size_t done = 0;
      while (done < text.size()) {
        ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ERROR_CANTREAD;
        if (n == 0) break;  // the file shrank under us: what we have is judged as it is
        done += static_cast<size_t>(n);
      }
      text.resize(done);
      if (!Parse(text, m_Tree)) status = ERROR_BADDB;
    }
    if (status != ERROR_SUCCESS) m_Tree.Clear();
    // A damaged file is remembered as damaged until it changes, so it is not
    // parsed again on every call.
    m_Stamp = stamp;
    m_Loaded = true;
    m_LoadStatus = status;
    return status;
  }

  LSTATUS Save(const std::string& path) {
    std::string text = Serialize(m_Tree);
    // A store that could not be read back is never written.
    if (text.size() > kMaxFileSize) return ERROR_NO_SYSTEM_RESOURCES;
    std::string tmpl = path + ".tmpXXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return Win32OfErrno(errno, ERROR_CANTWRITE);
    struct stat st;
    if (!WriteAll(fd, text) || ::fsync(fd) != 0 || ::fstat(fd, &st) != 0) {
      LSTATUS status = Win32OfErrno(errno, ERROR_CANTWRITE);
      ::close(fd);
      ::unlink(tmpl.c_str());
      return status;
    }
    ::close(fd);
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
      LSTATUS status = Win32OfErrno(errno, ERROR_CANTWRITE);
      ::unlink(tmpl.c_str());
      return status;
    }
    int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);  // makes the rename durable; a failure here loses nothing already visible
      ::close(dirFd);
    }
    m_Path = path;
    m_Stamp = FileStamp::Of(st);
    m_Loaded = true;
    m_LoadStatus = ERROR_SUCCESS;
    return ERROR_SUCCESS;
  }

  std::mutex m_Mutex;
  Tree m_Tree;                               // guarded by m_Mutex
  std::string m_Path;                        // the file m_Tree reflects
  FileStamp m_Stamp;                         // its identity when read
  bool m_Loaded = false;                     // m_Tree/m_LoadStatus are valid for m_Stamp
  LSTATUS m_LoadStatus = ERROR_SUCCESS;      // result of reading that file
  std::unordered_set<KeyRef*> m_Handles;     // open handles, guarded by m_Mutex
};

Store& TheStore() {
  // Never destroyed: handles may be closed from static destructors.
  static Store* store = new Store;
  return *store;
}

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

LSTATUS QueryValue(HKEY hKey, LPCWSTR name, DWORD& type, std::vector<BYTE>& data) {
  Store& store = TheStore();
  return store.Access(false, [&](Tree& tree, bool&) -> LSTATUS {
    KeyRef ref;
    RegKey* key = nullptr;
    LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
    if (status != ERROR_SUCCESS) return status;
    if (key == nullptr) return ERROR_KEY_DELETED;
    RegValue* v = key->FindValue(name == nullptr ? std::wstring() : std::wstring(name));
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
  Store& store = TheStore();
  return store.Access(true, [&](Tree& tree, bool& changed) -> LSTATUS {
    KeyRef ref;
    RegKey* key = nullptr;
    LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
    if (status != ERROR_SUCCESS) return status;
    if (key == nullptr) return ERROR_KEY_DELETED;
    RegValue* v = key->FindValue(valueName);
    if (v == nullptr) {
      key->values.push_back(RegValue{valueName, type, std::move(data)});
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

std::string vq::RegistryStorePath() {
  const char* env = std::getenv("VQ_REGISTRY");
  if (env != nullptr && *env != 0) return env;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/VQDataMatrixLib/registry";
  std::string home;
  const char* h = std::getenv("HOME");
  if (h != nullptr && *h != 0) {
    home = h;
  } else {
    struct passwd pw;
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result != nullptr && pw.pw_dir != nullptr)
      home = pw.pw_dir;
  }
  if (home.empty()) return {};
  return home + "/.local/share/VQDataMatrixLib/registry";
}

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
    Store& store = TheStore();
    std::wstring valueName = lpValueName == nullptr ? std::wstring() : std::wstring(lpValueName);
    return store.Access(true, [&](Tree& tree, bool& changed) -> LSTATUS {
      KeyRef ref;
      RegKey* key = nullptr;
      LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
      if (status != ERROR_SUCCESS) return status;
      if (key == nullptr) return ERROR_KEY_DELETED;
      for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->name, valueName)) {
          key->values.erase(it);
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
    Store& store = TheStore();
    return store.Access(true, [&](Tree& tree, bool& changed) -> LSTATUS {
      KeyRef ref;
      RegKey* key = nullptr;
      LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
      if (status != ERROR_SUCCESS) return status;
      if (key == nullptr) return ERROR_KEY_DELETED;
      changed = !key->subkeys.empty() || !key->values.empty();
      key->subkeys.clear();
      key->values.clear();
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

LSTATUS ReadKey(HKEY hKey, const std::function<LSTATUS(RegKey&)>& fn) {
  Store& store = TheStore();
  return store.Access(false, [&](Tree& tree, bool&) -> LSTATUS {
    KeyRef ref;
    RegKey* key = nullptr;
    LSTATUS status = Target(store, tree, hKey, nullptr, ref, &key);
    if (status != ERROR_SUCCESS) return status;
    if (key == nullptr) return ERROR_KEY_DELETED;
    return fn(*key);
  });
}
}  // namespace

STDAPI_(LSTATUS) RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                               LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return ReadKey(hKey, [&](RegKey& key) -> LSTATUS {
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
    return ReadKey(hKey, [&](RegKey& key) -> LSTATUS {
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
    return ReadKey(hKey, [&](RegKey& key) -> LSTATUS {
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
