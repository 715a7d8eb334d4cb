#include "tools/vqdm/StreamScan.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/vqdm/Common.h"

namespace vqdm {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;
// The data item's form (docs/VQDATA_FORMAT.md): a header, sections of a head
// and a payload, a checksum.
constexpr uint64_t kFormHeader = 24, kSectionHead = 12, kTrailer = 4;
constexpr uint32_t kMaxSections = 64;
constexpr const char* kSections[] = {"INFO", "VALS", "AXIS", "ATTR", "IATT", "TAGS"};
constexpr int kValuesSection = 1;
// The shortest element record, as the matrix's reader counts it: ID, label
// count and the shortest form (a header, six sections, the checksum).
constexpr uint64_t kMinRecord = 4 + 4 + kFormHeader + 6 * kSectionHead + kTrailer;

const HRESULT kInvalid = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
const HRESULT kEnds = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

uint32_t U32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t U64(const unsigned char* p) { return uint64_t(U32(p)) | uint64_t(U32(p + 4)) << 32; }
int32_t I32(const unsigned char* p) { return static_cast<int32_t>(U32(p)); }

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

HRESULT StreamScanner::Fail(HRESULT hr, std::string problem) {
  if (hr != kInvalid && hr != kEnds) problem += ": " + DescribeHResult(hr);
  m_Failure = hr;
  m_Problem = std::move(problem);
  return hr;
}

HRESULT StreamScanner::Open(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  m_Stream = stream;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULARGE_INTEGER at;
  at.QuadPart = 0;
  STATSTG st;
  std::memset(&st, 0, sizeof st);
  if (FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &at)) || FAILED(stream->Stat(&st, STATFLAG_NONAME)) ||
      st.cbSize.QuadPart < at.QuadPart) {
    if (st.pwcsName != nullptr) CoTaskMemFree(st.pwcsName);
    return Fail(E_NOTIMPL, "the stream cannot tell its length");
  }
  if (st.pwcsName != nullptr) CoTaskMemFree(st.pwcsName);
  m_End = st.cbSize.QuadPart;
  HRESULT hr = ReadStreamHeader(stream, &m_Header);
  if (hr == kEnds) return Fail(hr, "the file ends inside the header");
  if (hr == kInvalid) return Fail(hr, "the header is malformed (a dimension count other than 4 or an overlong text)");
  if (FAILED(hr)) return Fail(hr, "the header cannot be read");
  m_Pos = at.QuadPart + m_Header.headerBytes;

  // The checks of the matrix's reader, so that the tool calls a stream
  // malformed exactly when the library would refuse it.
  const StreamHeader& h = m_Header;
  uint64_t elements = 1;
  for (int d = 0; d < 4; ++d) {
    if (h.dimension[d].size < 1) return Fail(kInvalid, Printf("d%d has size %d", d + 1, h.dimension[d].size));
    elements *= static_cast<uint64_t>(h.dimension[d].size);
    if (elements > UINT32_MAX) return Fail(kInvalid, "the sizes give more than 2^32 - 1 elements");
  }
  if (h.hasAllocation) {
    if (h.type != matrixSingleObject && h.type != matrixMultipleObjects)
      return Fail(kInvalid, Printf("matrix type %d is neither 0 nor 1", h.type));
    if (VQDataBytesPerValue(h.format) == 0) return Fail(kInvalid, Printf("value format %d is unknown", h.format));
    if (h.xSize < 0 || h.zSize < 0) return Fail(kInvalid, Printf("element shape %d x %d", h.xSize, h.zSize));
    if (uint64_t(h.xSize) * uint64_t(h.zSize) * uint64_t(VQDataBytesPerValue(h.format)) > UINT32_MAX)
      return Fail(kInvalid, Printf("elements of %d x %d values are beyond 32 bits", h.xSize, h.zSize));
    if (h.type == matrixMultipleObjects && (h.xSize == 0 || h.zSize == 0))
      return Fail(kInvalid, "a multiple-objects matrix without an element shape");
  }
  if (h.hasPriority && h.priority != elementPriorityFifo && h.priority != elementPriorityLifo)
    return Fail(kInvalid, Printf("swap priority %d is neither 0 nor 1", h.priority));
  if (m_Pos > m_End || elements > (m_End - m_Pos) / kMinRecord) {
    return Fail(kInvalid, Printf("%llu elements cannot fit in the %llu bytes after the header",
                                 static_cast<unsigned long long>(elements),
                                 static_cast<unsigned long long>(m_Pos > m_End ? 0 : m_End - m_Pos)));
  }
  m_Elements = elements;
  return S_OK;
}

HRESULT StreamScanner::Read(void* data, size_t size) {
  if (size > m_End - m_Pos) return kEnds;
  auto* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    if (m_Pos >= m_BufferAt && m_Pos < m_BufferAt + m_Filled) {
      const size_t at = static_cast<size_t>(m_Pos - m_BufferAt), n = std::min(size, m_Filled - at);
      std::memcpy(out, m_Buffer.data() + at, n);
      out += n;
      size -= n;
      m_Pos += n;
      continue;
    }
    // The stream's position is not ours between calls (elements are loaded
    // from the same stream), so every refill seeks first.
    if (m_Buffer.empty()) m_Buffer.resize(kBufferBytes);
    m_Filled = 0;
    m_BufferAt = m_Pos;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(m_Pos);
    HRESULT hr = m_Stream->Seek(to, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    const ULONG want = static_cast<ULONG>(std::min<uint64_t>(kBufferBytes, m_End - m_Pos));
    ULONG got = 0;
    hr = m_Stream->Read(m_Buffer.data(), want, &got);
    if (FAILED(hr)) return hr;
    if (got == 0) return kEnds;  // the file shrank since it told its length
    if (got > want) return E_UNEXPECTED;
    m_Filled = got;
  }
  return S_OK;
}

HRESULT StreamScanner::Int32(int32_t* value) {
  unsigned char b[4];
  const HRESULT hr = Read(b, 4);
  if (SUCCEEDED(hr)) *value = I32(b);
  return hr;
}

HRESULT StreamScanner::Next(ElementRecord* record) {
  if (record == nullptr) return E_POINTER;
  if (FAILED(m_Failure)) return m_Failure;
  if (m_Stream == nullptr) return E_UNEXPECTED;
  if (m_Next >= m_Elements) return S_FALSE;
  return Scan(record);
}

HRESULT StreamScanner::Scan(ElementRecord* record) {
  ElementRecord r;
  r.index = m_Next;
  const std::string where = Printf("element %llu (byte %llu): ", static_cast<unsigned long long>(m_Next),
                                   static_cast<unsigned long long>(m_Pos));
  HRESULT hr = Int32(&r.id);
  if (FAILED(hr)) return Fail(hr, where + "the file ends inside its ID");
  int32_t count = 0;
  hr = Int32(&count);
  if (FAILED(hr)) return Fail(hr, where + "the file ends inside its label");
  if (count > kMaxStreamText) return Fail(kInvalid, where + Printf("a label of %d bytes", count));
  if (count > 0) {
    char text[kMaxStreamText];
    hr = Read(text, static_cast<size_t>(count));
    if (FAILED(hr)) return Fail(hr, where + "the file ends inside its label");
    r.label = Utf8FromWindows1252(text, static_cast<size_t>(count));
  }
  r.formOffset = m_Pos;
  hr = OutlineForm(&r);
  if (FAILED(hr)) {
    m_Problem.insert(0, where);
    return hr;
  }
  const StreamHeader& h = m_Header;
  if (h.hasAllocation && h.type == matrixMultipleObjects &&
      (r.format != h.format || r.xSize != h.xSize || r.zSize != h.zSize)) {
    return Fail(kInvalid, where + Printf("%d x %d values of %s where the header says %d x %d of %s", r.xSize, r.zSize,
                                         FormatName(r.format).c_str(), h.xSize, h.zSize, FormatName(h.format).c_str()));
  }
  m_Pos = r.formOffset + r.formBytes;
  ++m_Next;
  *record = std::move(r);
  return S_OK;
}

HRESULT StreamScanner::OutlineForm(ElementRecord* r) {
  unsigned char head[kFormHeader];
  HRESULT hr = Read(head, sizeof head);
  if (FAILED(hr)) return Fail(hr, "the file ends inside its data item's header");
  if (std::memcmp(head, "VQDI", 4) != 0) return Fail(kInvalid, "no data item follows its label");
  if (head[4] != 1 || head[5] != 0) return Fail(kInvalid, "its data item has another major version than 1");
  const uint64_t total = U64(head + 8);
  const uint32_t sections = U32(head + 16);
  if (U32(head + 20) != 0) return Fail(kInvalid, "its data item has unknown flags");
  if (sections > kMaxSections) return Fail(kInvalid, Printf("its data item has %u sections", sections));
  if (total < kFormHeader + kTrailer) return Fail(kInvalid, "its data item's length is impossible");
  if (total > m_End - r->formOffset) {
    return Fail(kEnds, Printf("its data item of %llu bytes runs past the end of the file",
                              static_cast<unsigned long long>(total)));
  }
  const uint64_t sectionsEnd = r->formOffset + total - kTrailer;
  unsigned seen = 0;
  for (uint32_t i = 0; i < sections; ++i) {
    unsigned char sh[kSectionHead];
    if (sectionsEnd - m_Pos < kSectionHead) return Fail(kInvalid, "its data item's sections run past its end");
    hr = Read(sh, sizeof sh);
    if (FAILED(hr)) return Fail(hr, "its data item cannot be read");
    const uint64_t length = U64(sh + 4);
    if (length > sectionsEnd - m_Pos) return Fail(kInvalid, "its data item's sections run past its end");
    const uint64_t next = m_Pos + length;
    const auto known = std::find_if(std::begin(kSections), std::end(kSections),
                                    [&](const char* tag) { return std::memcmp(sh, tag, 4) == 0; });
    const int section = known == std::end(kSections) ? -1 : static_cast<int>(known - std::begin(kSections));
    if (section >= 0) {
      if ((seen & 1u << section) != 0) return Fail(kInvalid, "a section of its data item appears twice");
      seen |= 1u << section;
    }
    if (section == kValuesSection) {
      unsigned char v[16];
      if (length < sizeof v) return Fail(kInvalid, "its data item's values section is too short");
      hr = Read(v, sizeof v);
      if (FAILED(hr)) return Fail(hr, "its data item cannot be read");
      r->format = I32(v);
      r->xSize = I32(v + 4);
      r->zSize = I32(v + 8);
      const uint64_t bytesPerValue = static_cast<uint64_t>(VQDataBytesPerValue(r->format));
      const uint64_t values = uint64_t(uint32_t(r->xSize)) * uint64_t(uint32_t(r->zSize));
      if (U32(v + 12) != 0 || bytesPerValue == 0 || r->xSize < 0 || r->zSize < 0 ||
          values > (length - sizeof v) / bytesPerValue || values * bytesPerValue != length - sizeof v)
        return Fail(kInvalid, "its data item's values do not match their shape");
    }
    m_Pos = next;
  }
  if (seen != (1u << std::size(kSections)) - 1) return Fail(kInvalid, "its data item lacks a section");
  if (m_Pos != sectionsEnd) return Fail(kInvalid, "its data item has bytes after its last section");
  r->formBytes = total;
  return S_OK;
}

HRESULT LoadElement(IStream* stream, uint64_t formOffset, vq::ComPtr<IVQData>* item) {
  if (stream == nullptr || item == nullptr) return E_POINTER;
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(formOffset);
  HRESULT hr = stream->Seek(to, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  vq::ComPtr<IVQData> fresh;
  hr = CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, fresh.put_void());
  if (FAILED(hr)) return hr;
  vq::ComPtr<IVQDataPersist> persist = fresh.query<IVQDataPersist>();
  if (!persist) return E_NOINTERFACE;
  hr = persist->LoadFromStream(stream);
  if (SUCCEEDED(hr)) *item = std::move(fresh);
  return hr;
}

StreamFile::StreamFile(const std::string& path) : m_Path(path), m_Stream(OpenForReading(path)) {
  const HRESULT hr = m_Scanner.Open(m_Stream.get());
  if (FAILED(hr)) throw ToolError(path + " is not a matrix stream: " + m_Scanner.Problem());
}

bool StreamFile::Next(ElementRecord* record) {
  const HRESULT hr = m_Scanner.Next(record);
  if (FAILED(hr)) {
    const bool malformed = hr == kInvalid || hr == kEnds;
    throw ToolError((malformed ? m_Path + " is not a matrix stream: " : "cannot read " + m_Path + ": ") +
                    m_Scanner.Problem());
  }
  return hr == S_OK;
}

vq::ComPtr<IVQData> StreamFile::Load(uint64_t index, uint64_t formOffset) {
  vq::ComPtr<IVQData> item;
  const HRESULT hr = LoadElement(m_Stream.get(), formOffset, &item);
  if (FAILED(hr)) {
    // The item's reader says what is wrong with the form in its error
    // information; the code alone would only say "invalid data".
    std::string why = DescribeHResult(hr);
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
      BSTR description = nullptr;
      if (SUCCEEDED(info->GetDescription(&description)) && SysStringLen(description) != 0) why = Utf8(description);
      SysFreeString(description);
      info->Release();
    }
    const bool malformed = hr == kInvalid || hr == kEnds || hr == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    throw ToolError(
        (malformed ? m_Path + " is not a matrix stream: element " : "cannot read " + m_Path + ": element ") +
        std::to_string(index) + ": " + why);
  }
  return item;
}

}  // namespace vqdm
