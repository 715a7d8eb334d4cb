// VQDataFormat.cpp - writing and reading the stream form of a data item.
//
// Layout (little-endian; details and rationale in docs/VQDATA_FORMAT.md):
//   header   "VQDI", u16 major 1, u16 minor 0, u64 total bytes, u32 section
//            count, u32 flags 0                                    (24 bytes)
//   sections u32 tag, u64 payload bytes, payload  (INFO VALS AXIS ATTR IATT TAGS)
//   trailer  u32 CRC-32 of every byte before it
#include "vqdata/VQDataFormat.h"

#include "platform/VQCrcTables.h"

#if defined(VQ_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace vqdata {

static_assert(std::endian::native == std::endian::little,
              "the form stores values in the machine's layout, which must be little-endian");

namespace {

constexpr uint8_t kMagic[4] = {'V', 'Q', 'D', 'I'};
constexpr uint16_t kMajor = 1;
constexpr uint16_t kMinor = 0;
constexpr uint64_t kHeaderBytes = 24;
constexpr uint64_t kSectionHeadBytes = 12;
constexpr uint64_t kTrailerBytes = 4;
constexpr uint32_t kMaxSections = 64;
// Values plus a generous allowance for everything else.
constexpr uint64_t kMaxFormBytes = kMaxValueBytes + (uint64_t{1} << 36);
// Largest piece handed to one IStream call (the count is 32-bit).
constexpr uint32_t kChunk = 1u << 24;

constexpr uint32_t Tag(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t kTagInfo = Tag('I', 'N', 'F', 'O');
constexpr uint32_t kTagValues = Tag('V', 'A', 'L', 'S');
constexpr uint32_t kTagAxis = Tag('A', 'X', 'I', 'S');
constexpr uint32_t kTagAttributes = Tag('A', 'T', 'T', 'R');
constexpr uint32_t kTagIndexed = Tag('I', 'A', 'T', 'T');
constexpr uint32_t kTagTags = Tag('T', 'A', 'G', 'S');

// ---------------------------------------------------------------------------
// UTF-8.
// ---------------------------------------------------------------------------

// Wide characters that are not Unicode scalar values are written as U+FFFD.
void AppendUtf8(std::vector<uint8_t>& out, const std::wstring& text) {
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<uint8_t>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<uint8_t>(0xC0 | (c >> 6)));
      out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<uint8_t>(0xE0 | (c >> 12)));
      out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<uint8_t>(0xF0 | (c >> 18)));
      out.push_back(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    }
  }
}

size_t Utf8Length(const std::wstring& text) noexcept {
  size_t n = 0;
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    n += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  return n;
}

// Strict decoding: no overlong forms, no surrogates, nothing above U+10FFFF.
bool DecodeUtf8(const uint8_t* p, size_t n, std::wstring* out) {
  out->clear();
  out->reserve(n);
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (n - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t cb = p[i + k];
      if ((cb & 0xC0) != 0x80) return false;
      c = (c << 6) | (cb & 0x3F);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out->push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Encoding into memory.
// ---------------------------------------------------------------------------

class Buffer {
 public:
  std::vector<uint8_t> bytes;
  void Raw(const void* p, size_t n) {
    auto b = static_cast<const uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  }
  template <class T>
  void Put(T v) {
    Raw(&v, sizeof v);
  }
  void Text(const std::wstring& text) {
    Put<uint32_t>(static_cast<uint32_t>(Utf8Length(text)));
    AppendUtf8(bytes, text);
  }
};

size_t VariantPayload(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return 0;
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
      return 8;
    default:
      return SIZE_MAX;  // VT_BSTR and types that cannot be stored
  }
}

void PutVariant(Buffer& b, const VARIANT& v) {
  b.Put<uint16_t>(v.vt);
  if (v.vt == VT_BSTR) {
    b.Text(FromBstr(v.bstrVal));
    return;
  }
  size_t n = VariantPayload(v.vt);
  // The union's first bytes hold every scalar member (little-endian).
  if (n != SIZE_MAX && n > 0) b.Raw(&v.ullVal, n);
}

void PutGroupList(Buffer& b, const GroupList& list) {
  b.Put<uint32_t>(static_cast<uint32_t>(list.size()));
  for (const auto& g : list) {
    b.Text(g->name);
    b.Text(g->secondName);
    b.Put<uint32_t>(static_cast<uint32_t>(g->attributes.size()));
    for (const auto& a : g->attributes) {
      b.Text(a->name);
      PutVariant(b, a->value.get());
    }
  }
}

void PutSection(Buffer& out, uint32_t tag, const Buffer& payload) {
  out.Put<uint32_t>(tag);
  out.Put<uint64_t>(payload.bytes.size());
  out.Raw(payload.bytes.data(), payload.bytes.size());
}

// The parts of a form: head (header, INFO, VALS head), the values, tail (the
// remaining sections; the trailer is added by the writer).
struct Parts {
  Buffer head;
  Buffer tail;
  uint64_t total = 0;
};

bool BuildParts(const ItemView& v, Parts* parts) {
  Buffer info;
  info.Text(*v.name);
  info.Text(*v.description);

  Buffer axis;
  const AxisDefinition& a = *v.axis;
  axis.Put<int32_t>(a.kind);
  axis.Put<int32_t>(a.size);
  axis.Put<uint8_t>(a.isDefault ? 1 : 0);
  axis.Put<uint8_t>(0);
  axis.Put<uint16_t>(0);
  axis.Put<double>(a.firstValue);
  axis.Put<double>(a.delta);
  axis.Put<int32_t>(a.firstBand);
  axis.Put<int32_t>(a.fraction);
  axis.Text(a.unit);
  axis.Put<uint32_t>(static_cast<uint32_t>(a.values.size()));
  axis.Raw(a.values.data(), a.values.size() * sizeof(double));

  Buffer attributes;
  PutGroupList(attributes, v.attributes->plain);

  Buffer indexed;
  indexed.Put<uint32_t>(static_cast<uint32_t>(v.attributes->indexed.size()));
  for (const auto& [record, list] : v.attributes->indexed) {
    indexed.Put<int32_t>(record);
    PutGroupList(indexed, list);
  }

  Buffer tags;
  for (const auto* t : v.tags) {
    tags.Put<uint32_t>(static_cast<uint32_t>(t->size()));
    tags.Raw(t->data(), t->size() * sizeof(double));
  }

  Buffer& head = parts->head;
  Buffer& tail = parts->tail;
  PutSection(tail, kTagAxis, axis);
  PutSection(tail, kTagAttributes, attributes);
  PutSection(tail, kTagIndexed, indexed);
  PutSection(tail, kTagTags, tags);

  uint64_t valuesPayload = 16 + v.valueBytes;
  uint64_t total = kHeaderBytes + kSectionHeadBytes + info.bytes.size() + kSectionHeadBytes + valuesPayload +
                   tail.bytes.size() + kTrailerBytes;
  if (total > kMaxFormBytes) return false;
  head.Raw(kMagic, 4);
  head.Put<uint16_t>(kMajor);
  head.Put<uint16_t>(kMinor);
  head.Put<uint64_t>(total);
  head.Put<uint32_t>(6);
  head.Put<uint32_t>(0);
  PutSection(head, kTagInfo, info);
  head.Put<uint32_t>(kTagValues);
  head.Put<uint64_t>(valuesPayload);
  head.Put<int32_t>(v.format);
  head.Put<int32_t>(v.xSize);
  head.Put<int32_t>(v.zSize);
  head.Put<uint32_t>(0);
  parts->total = total;
  return true;
}

HRESULT WriteAll(IStream* stream, const void* data, uint64_t size) {
  auto p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ULONG n = static_cast<ULONG>(std::min<uint64_t>(size, kChunk));
    ULONG written = 0;
    HRESULT hr = stream->Write(p, n, &written);
    if (FAILED(hr)) return hr;
    if (written != n) return STG_E_MEDIUMFULL;
    p += n;
    size -= n;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------

struct FormError {
  HRESULT hr;
  std::string why;
};

// Reads from the stream within the form's bounds, keeping the CRC.
class StreamReader {
 public:
  StreamReader(IStream* stream, uint64_t left, bool streamLeftKnown, uint32_t crc)
      : m_Stream(stream), m_Left(left), m_Known(streamLeftKnown), m_Crc(crc) {}

  uint64_t left() const { return m_Left; }

  // Reads exactly n bytes into p (n already checked against left()).
  void Read(void* p, uint64_t n) {
    if (n > m_Left) throw FormError{kFormCorrupt, "a section runs past the end of the form"};
    ReadRaw(p, n);
    m_Crc = Crc32(m_Crc, p, static_cast<size_t>(n));
    m_Left -= n;
  }
  // Reads n bytes into a vector that grows only as the bytes arrive, unless
  // the stream is known to hold them.
  void ReadVector(uint64_t n, std::vector<uint8_t>* out) {
    if (n > m_Left) throw FormError{kFormCorrupt, "a section runs past the end of the form"};
    out->clear();
    if (m_Known) {
      out->resize(static_cast<size_t>(n));
      Read(out->data(), n);
      return;
    }
    while (out->size() < n) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(n - out->size(), kChunk));
      size_t at = out->size();
      out->resize(at + piece);
      Read(out->data() + at, piece);
    }
  }
  bool StreamSizeKnown() const { return m_Known; }
  uint32_t crc() const { return m_Crc; }
  // The trailer, outside the CRC and the form's left count.
  uint32_t ReadTrailer() {
    uint32_t v = 0;
    ReadRaw(&v, 4);
    return v;
  }

 private:
  void ReadRaw(void* p, uint64_t n) {
    auto b = static_cast<uint8_t*>(p);
    while (n > 0) {
      ULONG piece = static_cast<ULONG>(std::min<uint64_t>(n, kChunk));
      ULONG got = 0;
      HRESULT hr = m_Stream->Read(b, piece, &got);
      if (FAILED(hr)) throw FormError{hr, "the stream could not be read"};
      if (got > piece) throw FormError{E_UNEXPECTED, "the stream reported more bytes than asked for"};
      if (got == 0) throw FormError{kFormTruncated, "the stream ends inside the form"};
      b += got;
      n -= got;
    }
  }

  IStream* m_Stream;
  uint64_t m_Left;
  bool m_Known;
  uint32_t m_Crc;
};

// Bounds-checked reading of a section payload held in memory.
class Span {
 public:
  Span(const uint8_t* p, size_t n, const char* section) : m_P(p), m_N(n), m_Section(section) {}
  size_t left() const { return m_N; }
  [[noreturn]] void Bad(const char* what) const {
    throw FormError{kFormCorrupt, std::string(m_Section) + ": " + what};
  }
  const uint8_t* Take(size_t n) {
    if (n > m_N) Bad("the section ends early");
    const uint8_t* p = m_P;
    m_P += n;
    m_N -= n;
    return p;
  }
  template <class T>
  T Get() {
    T v;
    std::memcpy(&v, Take(sizeof v), sizeof v);
    return v;
  }
  // A count of entries each at least minBytes long, checked against both the
  // limit and the bytes left.
  uint32_t Count(uint64_t limit, uint64_t minBytes, const char* what) {
    uint32_t n = Get<uint32_t>();
    if (n > limit || static_cast<uint64_t>(n) * minBytes > m_N) Bad(what);
    return n;
  }
  std::wstring Text() {
    uint32_t n = Count(4 * kMaxTextChars, 1, "a text is too long");
    std::wstring text;
    if (!DecodeUtf8(Take(n), n, &text)) Bad("a text is not valid UTF-8");
    if (text.size() > kMaxTextChars) Bad("a text is too long");
    return text;
  }
  void End() const {
    if (m_N != 0) Bad("the section holds bytes beyond its contents");
  }

 private:
  const uint8_t* m_P;
  size_t m_N;
  const char* m_Section;
};

void GetVariant(Span& s, OwnedVariant* out) {
  uint16_t vt = s.Get<uint16_t>();
  VARIANT* v = out->put();
  if (vt == VT_BSTR) {
    std::wstring text = s.Text();
    BSTR b = ToBstr(text);
    if (b == nullptr) throw std::bad_alloc();
    v->vt = VT_BSTR;
    v->bstrVal = b;
    return;
  }
  size_t n = VariantPayload(vt);
  if (n == SIZE_MAX) s.Bad("an attribute value has a type that cannot be stored");
  v->ullVal = 0;
  if (n > 0) std::memcpy(&v->ullVal, s.Take(n), n);
  v->vt = vt;
}

// Smallest encodings, for the count checks.
constexpr uint64_t kMinGroupBytes = 4 + 4 + 4;
constexpr uint64_t kMinAttributeBytes = 4 + 2;

void GetGroupList(Span& s, GroupList* list) {
  uint32_t groups = s.Count(kMaxGroups, kMinGroupBytes, "too many groups");
  list->reserve(groups);
  for (uint32_t g = 0; g < groups; ++g) {
    auto group = std::make_shared<GroupNode>();
    group->name = s.Text();
    group->secondName = s.Text();
    uint32_t count = s.Count(kMaxAttributesPerGroup, kMinAttributeBytes, "too many attributes");
    group->attributes.reserve(count);
    for (uint32_t a = 0; a < count; ++a) {
      auto attribute = std::make_shared<AttributeNode>();
      attribute->name = s.Text();
      GetVariant(s, &attribute->value);
      group->attributes.push_back(std::move(attribute));
    }
    list->push_back(std::move(group));
  }
}

void ParseInfo(Span s, ItemContents* out) {
  out->name = s.Text();
  out->description = s.Text();
  s.End();
}

void ParseAxis(Span s, ItemContents* out) {
  AxisDefinition a;
  a.kind = s.Get<int32_t>();
  a.size = s.Get<int32_t>();
  uint8_t isDefault = s.Get<uint8_t>();
  if (isDefault > 1 || s.Get<uint8_t>() != 0 || s.Get<uint16_t>() != 0) s.Bad("reserved bytes are not zero");
  a.isDefault = isDefault == 1;
  a.firstValue = s.Get<double>();
  a.delta = s.Get<double>();
  a.firstBand = s.Get<int32_t>();
  a.fraction = s.Get<int32_t>();
  a.unit = s.Text();
  uint32_t count = s.Count(INT32_MAX, sizeof(double), "too many axis values");
  if (count != 0 && a.kind != axisKindValues) s.Bad("values on an axis of a kind without them");
  a.values.resize(count);
  if (count > 0) std::memcpy(a.values.data(), s.Take(count * sizeof(double)), count * sizeof(double));
  s.End();
  const char* why = nullptr;
  if (!ValidateAxis(a, &why)) s.Bad(why);
  out->axis = std::move(a);
}

void ParseAttributes(Span s, ItemContents* out) {
  GetGroupList(s, &out->attributes.plain);
  s.End();
}

void ParseIndexed(Span s, ItemContents* out) {
  uint32_t records = s.Count(INT32_MAX, 4 + 4, "too many records");
  LONG previous = 0;
  for (uint32_t r = 0; r < records; ++r) {
    LONG record = s.Get<int32_t>();
    if (record <= previous) s.Bad("record numbers must rise from 1");
    previous = record;
    GroupList& list = out->attributes.indexed[record];
    GetGroupList(s, &list);
    if (list.empty()) s.Bad("a record without groups");
  }
  s.End();
}

void ParseTags(Span s, ItemContents* out) {
  for (auto& t : out->tags) {
    uint32_t n = s.Count(CVQTagVector::kMaxValues, sizeof(double), "too many tag values");
    t.resize(n);
    if (n > 0) std::memcpy(t.data(), s.Take(n * sizeof(double)), n * sizeof(double));
  }
  s.End();
}

void ReadValues(StreamReader& r, uint64_t payload, ItemContents* out) {
  if (payload < 16) throw FormError{kFormCorrupt, "VALS: the section is too short"};
  uint8_t head[16];
  r.Read(head, 16);
  Span s(head, 16, "VALS");
  LONG format = s.Get<int32_t>();
  LONG x = s.Get<int32_t>();
  LONG z = s.Get<int32_t>();
  if (s.Get<uint32_t>() != 0) s.Bad("reserved bytes are not zero");
  uint64_t bytes = 0;
  if (!ValueBytes(x, z, format, &bytes)) s.Bad("the shape or format is invalid");
  if (bytes != payload - 16) s.Bad("the byte count does not match the shape");
  if (bytes > r.left()) s.Bad("the values run past the end of the form");
  if (r.StreamSizeKnown() || bytes <= kChunk) {
    if (FAILED(out->values.Allocate(bytes, true))) throw FormError{E_OUTOFMEMORY, "VALS: out of memory"};
    if (bytes > 0) r.Read(out->values.data(), bytes);
  } else {
    // The stream cannot say how much it holds: take the bytes as they come,
    // so a lying count costs no more memory than the bytes that arrived.
    std::vector<uint8_t> staged;
    r.ReadVector(bytes, &staged);
    if (FAILED(out->values.Allocate(bytes, true))) throw FormError{E_OUTOFMEMORY, "VALS: out of memory"};
    std::memcpy(out->values.data(), staged.data(), staged.size());
  }
  out->format = format;
  out->xSize = x;
  out->zSize = z;
}

void ReadFormOrThrow(IStream* stream, ItemContents* out) {
  // How much the stream holds, when it can say.
  uint64_t streamLeft = 0;
  bool known = false;
  {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ULARGE_INTEGER pos;
    pos.QuadPart = 0;
    STATSTG st;
    std::memset(&st, 0, sizeof st);
    if (SUCCEEDED(stream->Seek(zero, STREAM_SEEK_CUR, &pos)) && SUCCEEDED(stream->Stat(&st, STATFLAG_NONAME))) {
      if (st.pwcsName != nullptr) CoTaskMemFree(st.pwcsName);
      if (st.cbSize.QuadPart >= pos.QuadPart) {
        streamLeft = st.cbSize.QuadPart - pos.QuadPart;
        known = true;
      }
    }
  }

  uint8_t header[kHeaderBytes];
  StreamReader headerReader(stream, kHeaderBytes, known, 0);
  if (known && streamLeft < kHeaderBytes) throw FormError{kFormTruncated, "the stream ends inside the header"};
  headerReader.Read(header, kHeaderBytes);
  Span h(header, kHeaderBytes, "header");
  if (std::memcmp(h.Take(4), kMagic, 4) != 0) h.Bad("this is not a saved data item");
  uint16_t major = h.Get<uint16_t>();
  h.Get<uint16_t>();  // a higher minor version only adds sections, which are skipped
  if (major != kMajor) throw FormError{kFormUnsupported, "header: unknown major version"};
  uint64_t total = h.Get<uint64_t>();
  uint32_t sections = h.Get<uint32_t>();
  if (h.Get<uint32_t>() != 0) h.Bad("unknown flags");
  if (total < kHeaderBytes + kTrailerBytes || total > kMaxFormBytes) h.Bad("the total length is impossible");
  if (sections > kMaxSections) h.Bad("too many sections");
  if (known && total - kHeaderBytes > streamLeft - kHeaderBytes)
    throw FormError{kFormTruncated, "the stream is shorter than the form"};

  StreamReader r(stream, total - kHeaderBytes - kTrailerBytes, known, headerReader.crc());
  unsigned seen = 0;
  std::vector<uint8_t> payload;
  for (uint32_t i = 0; i < sections; ++i) {
    uint8_t sh[kSectionHeadBytes];
    r.Read(sh, kSectionHeadBytes);
    Span hs(sh, kSectionHeadBytes, "section");
    uint32_t tag = hs.Get<uint32_t>();
    uint64_t length = hs.Get<uint64_t>();
    if (length > r.left()) hs.Bad("a section runs past the end of the form");
    unsigned bit = tag == kTagInfo ? 1u : tag == kTagValues ? 2u : tag == kTagAxis ? 4u
                 : tag == kTagAttributes ? 8u : tag == kTagIndexed ? 16u : tag == kTagTags ? 32u : 0u;
    if (bit != 0 && (seen & bit) != 0) hs.Bad("a section appears twice");
    seen |= bit;
    if (tag == kTagValues) {
      ReadValues(r, length, out);
      continue;
    }
    r.ReadVector(length, &payload);
    switch (tag) {
      case kTagInfo:
        ParseInfo(Span(payload.data(), payload.size(), "INFO"), out);
        break;
      case kTagAxis:
        ParseAxis(Span(payload.data(), payload.size(), "AXIS"), out);
        break;
      case kTagAttributes:
        ParseAttributes(Span(payload.data(), payload.size(), "ATTR"), out);
        break;
      case kTagIndexed:
        ParseIndexed(Span(payload.data(), payload.size(), "IATT"), out);
        break;
      case kTagTags:
        ParseTags(Span(payload.data(), payload.size(), "TAGS"), out);
        break;
      default:
        break;  // a section of a later minor version
    }
  }
  if (seen != 63u) throw FormError{kFormCorrupt, "a required section is missing"};
  if (r.left() != 0) throw FormError{kFormCorrupt, "bytes between the last section and the checksum"};
  uint32_t stored = r.ReadTrailer();
  if (stored != r.crc()) throw FormError{kFormCorrupt, "checksum mismatch"};
}

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size) noexcept {
#if defined(VQ_HAVE_ISAL)
  // The storage-acceleration library folds 64 bytes a step with carry-less
  // multiplication (about 5x the table below); same polynomial and
  // conventions as zlib's crc32.
  return data == nullptr ? crc : crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
#else
  return Crc32Portable(crc, data, size);
#endif
}

bool Crc32Accelerated() noexcept {
#if defined(VQ_HAVE_ISAL)
  return true;
#else
  return false;
#endif
}

uint32_t Crc32Portable(uint32_t crc, const void* data, size_t size) noexcept {
  static const vq::CrcTables table = vq::MakeCrcTables(0xEDB88320u);
  return vq::CrcSlicing8(table, crc, data, size);
}

bool FormSize(const ItemView& view, uint64_t* bytes) noexcept {
  try {
    Parts parts;
    if (!BuildParts(view, &parts)) return false;
    *bytes = parts.total;
    return true;
  } catch (...) {
    return false;
  }
}

HRESULT WriteForm(IStream* stream, const ItemView& view, std::string* why) noexcept {
  try {
    Parts parts;
    if (!BuildParts(view, &parts)) {
      *why = "the item is too large to save";
      return E_INVALIDARG;
    }
    uint32_t crc = Crc32(0, parts.head.bytes.data(), parts.head.bytes.size());
    crc = Crc32(crc, view.values, static_cast<size_t>(view.valueBytes));
    crc = Crc32(crc, parts.tail.bytes.data(), parts.tail.bytes.size());
    parts.tail.Put<uint32_t>(crc);
    HRESULT hr = WriteAll(stream, parts.head.bytes.data(), parts.head.bytes.size());
    if (SUCCEEDED(hr)) hr = WriteAll(stream, view.values, view.valueBytes);
    if (SUCCEEDED(hr)) hr = WriteAll(stream, parts.tail.bytes.data(), parts.tail.bytes.size());
    if (FAILED(hr))
      *why = hr == STG_E_MEDIUMFULL ? "the stream took fewer bytes than given" : "the stream refused a write";
    return hr;
  } catch (...) {
    *why = "out of memory";
    return E_OUTOFMEMORY;
  }
}

HRESULT ReadForm(IStream* stream, ItemContents* out, std::string* why) noexcept {
  try {
    ItemContents contents;
    ReadFormOrThrow(stream, &contents);
    *out = std::move(contents);
    return S_OK;
  } catch (const FormError& e) {
    try {
      *why = e.why;
    } catch (...) {
    }
    return e.hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace vqdata
