// RegistryFormat.cpp - the text form of the registry store: the in-memory
// tree (RegistryInternal.h) written out as one file and read back.
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
// time and memory: key names of 255 characters, 512 levels of keys, values of
// VQ_REG_MAX_VALUE_SIZE bytes (the size of the whole file is the store's
// check). Contents that break any rule are rejected as a whole.
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "RegistryInternal.h"

namespace vq::registry {
namespace {

constexpr const char kHeader[] = "VQRegistry 1";
constexpr const char kTrailer[] = "END";

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
}  // namespace

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
namespace {

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
}  // namespace

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

}  // namespace vq::registry
