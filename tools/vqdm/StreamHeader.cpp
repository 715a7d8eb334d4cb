#include "tools/vqdm/StreamHeader.h"

#include <cstring>
#include <vector>

namespace vqdm {
namespace {

class Reader {
 public:
  explicit Reader(IStream* stream) : m_Stream(stream) {}

  HRESULT Bytes(void* data, ULONG size) {
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
      ULONG got = 0;
      const HRESULT hr = m_Stream->Read(p, size, &got);
      if (FAILED(hr)) return hr;
      if (got == 0) return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
      if (got > size) return E_UNEXPECTED;
      p += got;
      size -= got;
      m_Count += got;
    }
    return S_OK;
  }

  HRESULT Int32(int32_t* value) {
    unsigned char b[4];
    const HRESULT hr = Bytes(b, 4);
    if (SUCCEEDED(hr)) {
      *value = static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                    uint32_t(b[3]) << 24);
    }
    return hr;
  }

  HRESULT Float64(double* value) {
    unsigned char b[8];
    const HRESULT hr = Bytes(b, 8);
    if (SUCCEEDED(hr)) {
      uint64_t bits = 0;
      for (int i = 7; i >= 0; --i) bits = bits << 8 | b[i];
      std::memcpy(value, &bits, sizeof bits);
    }
    return hr;
  }

  // Counted Windows-1252 text up to its first zero byte, as UTF-8.
  HRESULT Text(std::string* text) {
    int32_t count = 0;
    HRESULT hr = Int32(&count);
    if (FAILED(hr)) return hr;
    text->clear();
    if (count <= 0) return S_OK;
    if (count > kMaxStreamText) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    std::vector<char> bytes(static_cast<size_t>(count));
    hr = Bytes(bytes.data(), static_cast<ULONG>(count));
    if (FAILED(hr)) return hr;
    *text = Utf8FromWindows1252(bytes.data(), bytes.size());
    return S_OK;
  }

  uint64_t Count() const { return m_Count; }

 private:
  IStream* m_Stream;
  uint64_t m_Count = 0;
};

}  // namespace

std::string Utf8FromWindows1252(const char* bytes, size_t count) {
  const int length = static_cast<int>(strnlen(bytes, count));
  if (length == 0) return std::string();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(1252, 0, bytes, length, wide.data(), length);
  const int utf8 = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(utf8 > 0 ? utf8 : 0), '\0');
  if (utf8 > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), utf8, nullptr, nullptr);
  return text;
}

HRESULT ReadStreamHeader(IStream* stream, StreamHeader* header) {
  if (stream == nullptr || header == nullptr) return E_POINTER;
  StreamHeader h;
  Reader in(stream);
  HRESULT hr = in.Int32(&h.version);
  if (SUCCEEDED(hr)) hr = in.Int32(&h.dimensions);
  if (SUCCEEDED(hr) && h.dimensions != 4) hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  if (SUCCEEDED(hr) && h.version >= 2) {
    h.hasLabel = true;
    hr = in.Text(&h.label);
  }
  if (SUCCEEDED(hr) && h.version >= 3) {
    h.hasAllocation = true;
    hr = in.Int32(&h.type);
    if (SUCCEEDED(hr)) hr = in.Int32(&h.format);
    if (SUCCEEDED(hr)) hr = in.Int32(&h.xSize);
    if (SUCCEEDED(hr)) hr = in.Int32(&h.zSize);
  }
  if (SUCCEEDED(hr) && h.version >= 4) {
    h.hasPriority = true;
    hr = in.Int32(&h.priority);
  }
  for (int d = 0; d < 4 && SUCCEEDED(hr); ++d) {
    hr = in.Int32(&h.dimension[d].size);
    if (SUCCEEDED(hr)) hr = in.Float64(&h.dimension[d].first);
    if (SUCCEEDED(hr)) hr = in.Float64(&h.dimension[d].step);
    if (SUCCEEDED(hr)) hr = in.Text(&h.dimension[d].unit);
  }
  if (FAILED(hr)) return hr;
  h.headerBytes = in.Count();
  *header = std::move(h);
  return S_OK;
}

std::string MatrixTypeName(int32_t type) {
  switch (type) {
    case matrixSingleObject:
      return "single object";
    case matrixMultipleObjects:
      return "multiple objects";
    default:
      return std::to_string(type);
  }
}

std::string PriorityName(int32_t priority) {
  switch (priority) {
    case elementPriorityFifo:
      return "FIFO";
    case elementPriorityLifo:
      return "LIFO";
    default:
      return std::to_string(priority);
  }
}

std::string FormatName(int32_t format) {
  static const char* const kNames[] = {"int32", "float64", "complex128", "int16", "int64", "float32", "complex64"};
  if (format >= 0 && format <= 6) return kNames[format];
  return std::to_string(format);
}

}  // namespace vqdm
