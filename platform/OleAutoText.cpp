// WideCharToMultiByte / MultiByteToWideChar for Windows-1252 (the system ANSI
// code page here) and UTF-8.
#include <climits>
#include <cstring>

#include "VQKernel.h"
#include "VQOleAuto.h"

namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves
// unassigned map to the C1 control of the same value, as Windows maps them.
constexpr uint16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t Decode1252(unsigned char b) { return (b >= 0x80 && b < 0xA0) ? k1252High[b - 0x80] : b; }

// Returns the byte for code point c, or -1 when 1252 has none.
int Encode1252(uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (k1252High[i] == c) return 0x80 + i;
  return -1;
}

enum class Page { kAnsi, kUtf8, kUnknown };

Page Resolve(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP:
    case 1252:
      return Page::kAnsi;
    case CP_UTF8:
      return Page::kUtf8;
    default:
      return Page::kUnknown;
  }
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Appends the UTF-8 form of a valid code point; returns the byte count.
int EncodeUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// Decodes one UTF-8 character starting at p (n > 0 bytes available). Stores
// the code point (U+FFFD for a malformed sequence) and returns the bytes
// consumed: a malformed sequence consumes its longest valid beginning, at least
// one byte, so that decoding resynchronises at the next possible lead byte.
size_t DecodeUtf8(const unsigned char* p, size_t n, uint32_t& c, bool& valid) {
  valid = true;
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    c = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    c = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    c = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    valid = false;
    c = 0xFFFD;
    return 1;
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= n || p[i] < low || p[i] > high) {
      valid = false;
      c = 0xFFFD;
      return i;
    }
    c = (c << 6) | (p[i] & 0x3Fu);
    low = 0x80;
    high = 0xBF;
  }
  return i;
}

// Output collector that counts when there is no buffer and refuses to write
// past the end of one.
template <class Char>
class Sink {
 public:
  Sink(Char* buffer, int capacity) : m_Buffer(buffer), m_Capacity(capacity) {}
  bool Put(const Char* items, int count) {
    if (m_Count > INT_MAX - count) {
      m_TooLong = true;
      return false;
    }
    if (m_Capacity > 0) {
      if (m_Count + count > m_Capacity) return false;
      std::memcpy(m_Buffer + m_Count, items, static_cast<size_t>(count) * sizeof(Char));
    }
    m_Count += count;
    return true;
  }
  int Count() const { return m_Count; }
  // Why the last Put failed.
  DWORD Error() const { return m_TooLong ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER; }

 private:
  Char* m_Buffer;
  int m_Capacity;
  int m_Count = 0;
  bool m_TooLong = false;
};

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      (cbMultiByte > 0 && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))
    return Fail(ERROR_INVALID_PARAMETER);
  const Page page = Resolve(CodePage);
  if (page == Page::kUnknown) return Fail(ERROR_INVALID_PARAMETER);
  if (page == Page::kUtf8) {
    if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS);
  }
  const size_t length = cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  const char defaultChar = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
  bool usedDefault = false;
  Sink<char> sink(lpMultiByteStr, cbMultiByte);
  for (size_t i = 0; i < length; ++i) {
    auto c = static_cast<uint32_t>(lpWideCharStr[i]);
    char bytes[4];
    int count = 0;
    if (page == Page::kAnsi) {
      const int b = Encode1252(c);
      if (b < 0) {
        usedDefault = true;
        bytes[0] = defaultChar;
      } else {
        bytes[0] = static_cast<char>(b);
      }
      count = 1;
    } else {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
        const auto next = static_cast<uint32_t>(lpWideCharStr[i + 1]);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
          ++i;
        }
      }
      if (IsSurrogate(c) || c > 0x10FFFF) {
        if (dwFlags & WC_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        c = 0xFFFD;
      }
      count = EncodeUtf8(c, bytes);
    }
    if (!sink.Put(bytes, count)) return Fail(sink.Error());
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  return sink.Count();
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr) ||
      (cchWideChar > 0 && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))
    return Fail(ERROR_INVALID_PARAMETER);
  const Page page = Resolve(CodePage);
  if (page == Page::kUnknown) return Fail(ERROR_INVALID_PARAMETER);
  if (page == Page::kUtf8 && (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)))
    return Fail(ERROR_INVALID_FLAGS);
  const size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  Sink<WCHAR> sink(lpWideCharStr, cchWideChar);
  for (size_t i = 0; i < length;) {
    uint32_t c = 0;
    if (page == Page::kAnsi) {
      c = Decode1252(bytes[i]);
      ++i;
    } else {
      bool valid = true;
      i += DecodeUtf8(bytes + i, length - i, c, valid);
      if (!valid && (dwFlags & MB_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    const auto wc = static_cast<WCHAR>(c);
    if (!sink.Put(&wc, 1)) return Fail(sink.Error());
  }
  return sink.Count();
}
