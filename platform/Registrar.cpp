// The registry script interpreter and type library registration
// (VQRegistrar.h). A script is parsed into a tree of keys and values first,
// then the tree is walked against the store.
#include "VQRegistrar.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "VQOleAuto.h"

namespace {

std::wstring WideOfUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Utf8OfWide(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring GuidText(REFGUID guid) {
  OLECHAR text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// ---------------------------------------------------------------------------
// Parsing.
// ---------------------------------------------------------------------------

enum class KeyFlag { Normal, NoRemove, ForceRemove, Delete };

struct Node {
  bool isValue = false;
  KeyFlag flag = KeyFlag::Normal;
  std::wstring name;
  bool hasData = false;
  DWORD type = REG_NONE;
  std::wstring text;  // REG_SZ text
  DWORD number = 0;   // REG_DWORD value
  std::vector<Node> children;
};

struct Root {
  HKEY hkey = nullptr;
  std::vector<Node> children;
};

struct Token {
  enum Kind { End, Open, Close, Equals, Word } kind = End;
  std::string text;
  bool quoted = false;
  int line = 1;
};

class ScriptError {
 public:
  ScriptError(int line, std::string what) : m_Line(line), m_What(std::move(what)) {}
  std::string Text() const { return "line " + std::to_string(m_Line) + ": " + m_What; }

 private:
  int m_Line;
  std::string m_What;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

class Tokenizer {
 public:
  explicit Tokenizer(const char* text) : m_P(text) {}

  Token Next() {
    SkipBlanks();
    Token t;
    t.line = m_Line;
    char c = *m_P;
    if (c == '\0') return t;
    if (c == '{' && (m_P[1] == '\0' || IsSpace(m_P[1]))) {
      ++m_P;
      t.kind = Token::Open;
      return t;
    }
    if (c == '}') {
      ++m_P;
      t.kind = Token::Close;
      return t;
    }
    if (c == '=') {
      ++m_P;
      t.kind = Token::Equals;
      return t;
    }
    t.kind = Token::Word;
    if (c == '\'') {
      t.quoted = true;
      ++m_P;
      for (;;) {
        if (*m_P == '\0') throw ScriptError(t.line, "unterminated quoted text");
        if (*m_P == '\'') {
          if (m_P[1] == '\'') {
            t.text += '\'';
            m_P += 2;
            continue;
          }
          ++m_P;
          break;
        }
        if (*m_P == '\n') ++m_Line;
        t.text += *m_P++;
      }
      return t;
    }
    if (c == '{') {
      // A braced identifier runs to its closing brace.
      while (*m_P != '\0' && *m_P != '}' && !IsSpace(*m_P)) t.text += *m_P++;
      if (*m_P != '}') throw ScriptError(t.line, "unterminated braced name");
      t.text += *m_P++;
      return t;
    }
    while (*m_P != '\0' && !IsSpace(*m_P) && *m_P != '{' && *m_P != '}' && *m_P != '=' && *m_P != '\'') {
      t.text += *m_P++;
    }
    return t;
  }

 private:
  void SkipBlanks() {
    for (;;) {
      while (IsSpace(*m_P)) {
        if (*m_P == '\n') {
          ++m_Line;
          m_AtLineStart = true;
        }
        ++m_P;
      }
      if (m_AtLineStart && (*m_P == ';' || (m_P[0] == '/' && m_P[1] == '/'))) {
        while (*m_P != '\0' && *m_P != '\n') ++m_P;
        continue;
      }
      m_AtLineStart = false;
      return;
    }
  }

  const char* m_P;
  int m_Line = 1;
  bool m_AtLineStart = true;
};

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

class Parser {
 public:
  Parser(const char* text, const std::vector<vq::ScriptReplacement>& replacements)
      : m_Tokens(text), m_Replacements(replacements) {
    Advance();
  }

  std::vector<Root> Parse() {
    std::vector<Root> roots;
    while (m_Token.kind != Token::End) {
      if (m_Token.kind != Token::Word) throw ScriptError(m_Token.line, "expected a root key name");
      Root root;
      root.hkey = RootOf(m_Token);
      Advance();
      Expect(Token::Open, "expected '{' after the root key");
      while (m_Token.kind != Token::Close) root.children.push_back(ParseItem(0));
      Advance();
      roots.push_back(std::move(root));
    }
    return roots;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void Advance() { m_Token = m_Tokens.Next(); }

  void Expect(Token::Kind kind, const char* what) {
    if (m_Token.kind != kind) throw ScriptError(m_Token.line, what);
    Advance();
  }

  static HKEY RootOf(const Token& t) {
    if (!t.quoted) {
      if (EqualsNoCase(t.text, "HKCR") || EqualsNoCase(t.text, "HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
      if (EqualsNoCase(t.text, "HKCU") || EqualsNoCase(t.text, "HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
      if (EqualsNoCase(t.text, "HKLM") || EqualsNoCase(t.text, "HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
    }
    throw ScriptError(t.line, "unknown root key '" + t.text + "'");
  }

  std::wstring Expand(const Token& t) const {
    const std::string& s = t.text;
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '%') {
        out += s[i];
        continue;
      }
      size_t end = s.find('%', i + 1);
      if (end == std::string::npos) throw ScriptError(t.line, "unpaired '%' in '" + s + "'");
      if (end == i + 1) {
        out += '%';
      } else {
        std::wstring name = WideOfUtf8(s.substr(i + 1, end - i - 1));
        const vq::ScriptReplacement* found = nullptr;
        for (const auto& r : m_Replacements) {
          if (r.first == name) found = &r;
        }
        if (found == nullptr) throw ScriptError(t.line, "no replacement for '" + s.substr(i, end - i + 1) + "'");
        out += Utf8OfWide(found->second);
      }
      i = end;
    }
    return WideOfUtf8(out);
  }

  std::wstring Name(const char* what) {
    if (m_Token.kind != Token::Word) throw ScriptError(m_Token.line, what);
    std::wstring name = Expand(m_Token);
    if (name.empty() || name.size() > VQ_REG_MAX_KEY_NAME) throw ScriptError(m_Token.line, "bad name length");
    Advance();
    return name;
  }

  void ParseData(Node& node) {
    if (m_Token.kind != Token::Word || m_Token.quoted) throw ScriptError(m_Token.line, "expected a type (s or d)");
    int line = m_Token.line;
    bool isString = EqualsNoCase(m_Token.text, "s");
    bool isNumber = EqualsNoCase(m_Token.text, "d");
    if (!isString && !isNumber) throw ScriptError(line, "unknown type '" + m_Token.text + "'");
    Advance();
    if (m_Token.kind != Token::Word) throw ScriptError(m_Token.line, "expected the data");
    node.hasData = true;
    if (isString) {
      node.type = REG_SZ;
      node.text = Expand(m_Token);
    } else {
      node.type = REG_DWORD;
      const std::string& s = m_Token.text;
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(s.c_str(), &end, 0);
      if (s.empty() || s[0] == '-' || end == nullptr || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) {
        throw ScriptError(m_Token.line, "bad number '" + s + "'");
      }
      node.number = static_cast<DWORD>(v);
      node.text = std::to_wstring(node.number);
    }
    Advance();
  }

  Node ParseItem(int depth) {
    if (depth > kMaxDepth) throw ScriptError(m_Token.line, "keys nested too deeply");
    if (m_Token.kind != Token::Word) throw ScriptError(m_Token.line, "expected a key or 'val'");
    Node node;
    if (!m_Token.quoted && EqualsNoCase(m_Token.text, "val")) {
      Advance();
      node.isValue = true;
      node.name = Name("expected a value name");
      Expect(Token::Equals, "expected '=' after the value name");
      ParseData(node);
      return node;
    }
    if (!m_Token.quoted) {
      if (EqualsNoCase(m_Token.text, "NoRemove")) node.flag = KeyFlag::NoRemove;
      if (EqualsNoCase(m_Token.text, "ForceRemove")) node.flag = KeyFlag::ForceRemove;
      if (EqualsNoCase(m_Token.text, "Delete")) node.flag = KeyFlag::Delete;
      if (node.flag != KeyFlag::Normal) Advance();
    }
    node.name = Name("expected a key name");
    if (m_Token.kind == Token::Equals) {
      Advance();
      ParseData(node);
    }
    if (m_Token.kind == Token::Open) {
      Advance();
      while (m_Token.kind != Token::Close) {
        if (m_Token.kind == Token::End) throw ScriptError(m_Token.line, "missing '}'");
        node.children.push_back(ParseItem(depth + 1));
      }
      Advance();
    }
    return node;
  }

  Tokenizer m_Tokens;
  const std::vector<vq::ScriptReplacement>& m_Replacements;
  Token m_Token;
};

// Parses or reports; E_INVALIDARG with *error for a malformed script.
HRESULT ParseScript(const char* script, const std::vector<vq::ScriptReplacement>& replacements,
                    std::vector<Root>* roots, std::string* error) {
  if (script == nullptr) return E_INVALIDARG;
  try {
    *roots = Parser(script, replacements).Parse();
    return S_OK;
  } catch (const ScriptError& e) {
    if (error != nullptr) *error = e.Text();
    return E_INVALIDARG;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void ListEntries(HKEY root, const std::wstring& parent, const Node& node, std::vector<vq::ScriptEntry>* out) {
  const std::wstring path = parent.empty() ? node.name : parent + L"\\" + node.name;
  if (node.flag == KeyFlag::Delete) return;
  vq::ScriptEntry key;
  key.root = root;
  key.key = path;
  key.hasValue = node.hasData;
  key.type = node.type;
  key.text = node.text;
  out->push_back(key);
  for (const Node& child : node.children) {
    if (child.isValue) {
      vq::ScriptEntry value;
      value.root = root;
      value.key = path;
      value.hasValue = true;
      value.name = child.name;
      value.type = child.type;
      value.text = child.text;
      out->push_back(value);
    } else {
      ListEntries(root, path, child, out);
    }
  }
}

// ---------------------------------------------------------------------------
// Applying.
// ---------------------------------------------------------------------------

LSTATUS SetData(HKEY key, const wchar_t* name, const Node& node) {
  if (node.type == REG_DWORD) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&node.number), sizeof(DWORD));
  }
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(node.text.c_str()),
                        static_cast<DWORD>((node.text.size() + 1) * sizeof(wchar_t)));
}

bool Missing(LSTATUS s) { return s == ERROR_FILE_NOT_FOUND || s == ERROR_KEY_DELETED; }

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (m_Key != nullptr) RegCloseKey(m_Key);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HKEY* put() { return &m_Key; }
  HKEY get() const { return m_Key; }

 private:
  HKEY m_Key = nullptr;
};

LSTATUS Register(HKEY parent, const Node& node) {
  if (node.flag == KeyFlag::ForceRemove || node.flag == KeyFlag::Delete) {
    LSTATUS s = RegDeleteTreeW(parent, node.name.c_str());
    if (s != ERROR_SUCCESS && !Missing(s)) return s;
    if (node.flag == KeyFlag::Delete) return ERROR_SUCCESS;
  }
  KeyHandle key;
  LSTATUS s = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr);
  if (s != ERROR_SUCCESS) return s;
  if (node.hasData && (s = SetData(key.get(), nullptr, node)) != ERROR_SUCCESS) return s;
  for (const Node& child : node.children) {
    s = child.isValue ? SetData(key.get(), child.name.c_str(), child) : Register(key.get(), child);
    if (s != ERROR_SUCCESS) return s;
  }
  return ERROR_SUCCESS;
}

LSTATUS Unregister(HKEY parent, const Node& node) {
  if (node.flag == KeyFlag::Delete) return ERROR_SUCCESS;
  if (node.flag == KeyFlag::ForceRemove) {
    LSTATUS s = RegDeleteTreeW(parent, node.name.c_str());
    return Missing(s) ? ERROR_SUCCESS : s;
  }
  DWORD subKeys = 0;
  {
    KeyHandle key;
    LSTATUS s = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_ALL_ACCESS, key.put());
    if (Missing(s)) return ERROR_SUCCESS;
    if (s != ERROR_SUCCESS) return s;
    for (const Node& child : node.children) {
      if (child.isValue) {
        s = RegDeleteValueW(key.get(), child.name.c_str());
        if (Missing(s)) s = ERROR_SUCCESS;
      } else {
        s = Unregister(key.get(), child);
      }
      if (s != ERROR_SUCCESS) return s;
    }
    if (node.flag == KeyFlag::NoRemove) return ERROR_SUCCESS;
    s = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
    if (Missing(s)) return ERROR_SUCCESS;
    if (s != ERROR_SUCCESS) return s;
  }
  if (subKeys != 0) return ERROR_SUCCESS;
  LSTATUS s = RegDeleteKeyW(parent, node.name.c_str());
  return Missing(s) ? ERROR_SUCCESS : s;
}

// Holds an exclusive lock that serialises script applications between
// processes. Without a lock file (no store directory yet) the changes still
// happen one atomic store update at a time.
class ScriptLock {
 public:
  ScriptLock() {
    std::string store = vq::RegistryStorePath();
    if (store.empty()) return;
    std::string path = store + ".script.lock";
    m_Fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_Fd < 0) return;
    while (flock(m_Fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(m_Fd);
        m_Fd = -1;
        return;
      }
    }
  }
  ~ScriptLock() {
    if (m_Fd >= 0) close(m_Fd);  // closing drops the lock
  }
  ScriptLock(const ScriptLock&) = delete;
  ScriptLock& operator=(const ScriptLock&) = delete;

 private:
  int m_Fd = -1;
};

std::string Quoted(const std::wstring& text) {
  std::string out = "'";
  for (char c : Utf8OfWide(text)) {
    if (c == '\'') out += '\'';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "'";
}

}  // namespace

HRESULT vq::ParseRegistryScript(const char* script, const std::vector<ScriptReplacement>& replacements,
                                std::vector<ScriptEntry>* entries, std::string* error) {
  if (entries == nullptr) return E_INVALIDARG;
  try {
    entries->clear();
    std::vector<Root> roots;
    HRESULT hr = ParseScript(script, replacements, &roots, error);
    if (FAILED(hr)) return hr;
    for (const Root& root : roots) {
      for (const Node& node : root.children) {
        if (node.isValue) continue;  // a value directly under a root has no key to live in
        ListEntries(root.hkey, std::wstring(), node, entries);
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT vq::UpdateRegistryFromScript(const char* script, const std::vector<ScriptReplacement>& replacements,
                                     bool registering, std::string* error) {
  try {
    std::vector<Root> roots;
    HRESULT hr = ParseScript(script, replacements, &roots, error);
    if (FAILED(hr)) return hr;
    for (const Root& root : roots) {
      for (const Node& node : root.children) {
        if (node.isValue) {
          if (error != nullptr) *error = "a value directly under a root key";
          return E_INVALIDARG;
        }
      }
    }
    ScriptLock lock;
    for (const Root& root : roots) {
      for (const Node& node : root.children) {
        LSTATUS s = registering ? Register(root.hkey, node) : Unregister(root.hkey, node);
        if (s != ERROR_SUCCESS) {
          if (error != nullptr) *error = "registry store error " + std::to_string(s);
          return HRESULT_FROM_WIN32(s);
        }
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::string vq::TypeLibScript(const TypeLibRegistration& typeLib) {
  try {
    char version[32];
    std::snprintf(version, sizeof version, "%x.%x", typeLib.majorVersion, typeLib.minorVersion);
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(typeLib.lcid));
    const std::string libid = Utf8OfWide(GuidText(typeLib.libid));
    const std::string marshaler = "'{00020424-0000-0000-C000-000000000046}'";
    std::string s;
    s += "HKCR\n{\n";
    s += "  NoRemove TypeLib\n  {\n";
    s += "    '" + libid + "'\n    {\n";
    s += "      ForceRemove '" + std::string(version) + "' = s " + Quoted(typeLib.helpString) + "\n      {\n";
    s += "        FLAGS = s '0'\n";
    s += "        HELPDIR = s '%MODULEDIR%'\n";
    s += "        '" + std::string(lcid) + "'\n        {\n";
    s += "          linux64 = s '%MODULE%'\n";
    s += "        }\n      }\n    }\n  }\n";
    s += "  NoRemove Interface\n  {\n";
    for (const auto& [iid, name] : typeLib.interfaces) {
      s += "    ForceRemove '" + Utf8OfWide(GuidText(iid)) + "' = s " + Quoted(name) + "\n    {\n";
      s += "      ProxyStubClsid = s " + marshaler + "\n";
      s += "      ProxyStubClsid32 = s " + marshaler + "\n";
      s += "      TypeLib = s '" + libid + "'\n      {\n";
      s += "        val Version = s '" + std::string(version) + "'\n      }\n    }\n";
    }
    s += "  }\n}\n";
    return s;
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

HRESULT vq::RegisterTypeLibKeys(const TypeLibRegistration& typeLib, bool registering) {
  if (typeLib.path.empty()) return E_INVALIDARG;
  try {
    std::string script = TypeLibScript(typeLib);
    if (script.empty()) return E_OUTOFMEMORY;
    std::wstring dir = typeLib.path;
    size_t slash = dir.find_last_of(L'/');
    dir = slash == std::wstring::npos ? std::wstring(L".") : dir.substr(0, slash == 0 ? 1 : slash);
    return UpdateRegistryFromScript(script.c_str(), {{L"MODULE", typeLib.path}, {L"MODULEDIR", dir}}, registering);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
