// Write and Read of whole matrices: round trips of both storage kinds, the
// exact bytes of a small matrix, older versions, and hostile streams.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "persistence/fuzz/ReadFuzzOne.h"
#include "support/MatrixFixture.h"
#include "support/TraceCapture.h"

namespace {

using vq::persist::fuzz::ReadAll;
using vq::persist::fuzz::StreamBytes;
using vq::persist::fuzz::WriteAll;
using Bytes = std::vector<uint8_t>;

const HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
const HRESULT kEof = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

// Builds streams field by field, as an older writer would have.
struct Builder {
  Bytes b;
  void I32(int32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
  }
  void F64(double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
  }
  void Text(const std::string& s) {
    I32(static_cast<int32_t>(s.size() + 1));
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
  }
  void Raw(const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
};

Bytes ItemForm(IVQData* item) {
  vq::ComPtr<IVQDataPersist> persist = vq::ComPtr<IVQData>(item).query<IVQDataPersist>();
  vq::ComPtr<IStream> s;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
  EXPECT_EQ(persist->SaveToStream(s.get()), S_OK);
  return StreamBytes(s.get());
}

std::wstring Str(BSTR b) {
  std::wstring s = b != nullptr ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

// A stream that takes `limit` bytes and then fails every write.
class FailingStream final : public vq::ForwardStream<FailingStream> {
 public:
  explicit FailingStream(size_t limit) : m_Limit(limit) {}
  STDMETHODIMP Write(const void*, ULONG cb, ULONG* written) override {
    if (m_Taken + cb > m_Limit) return STG_E_WRITEFAULT;
    m_Taken += cb;
    if (written != nullptr) *written = cb;
    return S_OK;
  }

 private:
  size_t m_Limit;
  size_t m_Taken = 0;
};

class StreamTest : public vq::test::MatrixTest {
 protected:
  // A 2 x 1 x 1 x 1 matrix labelled "M", four values per element, with
  // element labels and a unit, used by the sweeps.
  static Bytes SmallStream() {
    auto m = NewMatrix();
    EXPECT_EQ(m->Initialize2(2, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject), S_OK);
    _bstr_t label(L"M"), unit(L"s"), a(L"a");
    EXPECT_EQ(m->put_MatrixLabel(label), S_OK);
    EXPECT_EQ(m->InitializeAxis(0, 1.0, 0.5, unit), S_OK);
    EXPECT_EQ(m->put_Label(1, 0, 0, 0, a), S_OK);
    EXPECT_EQ(m->put_ID(0, 0, 0, 0, 7), S_OK);
    Fill(m.get());
    Bytes bytes;
    EXPECT_TRUE(WriteAll(m.get(), &bytes));
    return bytes;
  }

  // Offsets of every int32 field outside the items' own forms in a version 4
  // stream (the forms are skipped by the length in their header).
  static std::vector<size_t> Int32Fields(const Bytes& s) {
    std::vector<size_t> at;
    size_t p = 0;
    auto i32 = [&]() {
      int32_t v;
      std::memcpy(&v, &s[p], 4);
      at.push_back(p);
      p += 4;
      return v;
    };
    auto text = [&]() { p += static_cast<size_t>(std::max(i32(), 0)); };
    i32();
    const int32_t dims = i32();
    text();
    for (int i = 0; i < 5; ++i) i32();
    int64_t count = 1;
    for (int d = 0; d < dims; ++d) {
      count *= i32();
      p += 16;
      text();
    }
    for (int64_t e = 0; e < count; ++e) {
      i32();
      text();
      uint64_t total;
      std::memcpy(&total, &s[p + 8], 8);
      p += static_cast<size_t>(total);
    }
    EXPECT_EQ(p, s.size());
    return at;
  }

  // A stream that failed to read leaves a matrix that is released cleanly; one
  // that read is a working matrix.
  static void ExpectErrorOrValid(const Bytes& bytes, const std::string& what) {
    vq::ComPtr<IVQDataMatrix> m;
    HRESULT hr = ReadAll(bytes, &m);
    if (hr == S_OK) {
      LONG dims = 0;
      EXPECT_EQ(m->get_Dimensions(&dims), S_OK) << what;
      EXPECT_EQ(dims, 4) << what;
      Bytes again;
      EXPECT_TRUE(WriteAll(m.get(), &again)) << what;
    } else {
      EXPECT_TRUE(FAILED(hr)) << what << " hr=" << std::hex << hr;
    }
  }
};

// ---------------------------------------------------------------------------
// Round trips, for both storage kinds.
// ---------------------------------------------------------------------------

class RoundTripTest : public StreamTest, public ::testing::WithParamInterface<matrixType> {};

TEST_P(RoundTripTest, KeepsEverythingTheMatrixHolds) {
  const matrixType kind = GetParam();
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(3, 2, 2, 2, 5, 2, dataFormatFloat64, kind), S_OK);
  _bstr_t label(L"Run \u00e9\u20ac 7");  // both characters exist in Windows-1252
  ASSERT_EQ(m->put_MatrixLabel(label), S_OK);
  ASSERT_EQ(m->SetElementPriority(elementPriorityLifo), S_OK);
  const wchar_t* units[4] = {L"Hz", L"", L"rpm", L"\u00b0C"};
  for (LONG d = 0; d < 4; ++d) {
    ASSERT_EQ(m->InitializeAxis(d, 1.5 * d - 2.0, 0.25 + d, _bstr_t(units[d])), S_OK);
  }
  for (LONG d4 = 0; d4 < 2; ++d4)
    for (LONG d3 = 0; d3 < 2; ++d3)
      for (LONG d2 = 0; d2 < 2; ++d2)
        for (LONG d1 = 0; d1 < 3; ++d1) {
          const LONG id = 1000 + d1 + 10 * d2 + 100 * d3 + 1000 * d4;
          ASSERT_EQ(m->put_ID(d1, d2, d3, d4, id), S_OK);
          ASSERT_EQ(m->put_Label(d1, d2, d3, d4, _bstr_t(("e" + std::to_string(id)).c_str())), S_OK);
        }
  Fill(m.get(), 0.5);
  {
    auto item = Get(m.get(), 1, 1, 0, 1);
    _variant_t value(42L);
    ASSERT_EQ(item->AddAttribute(_bstr_t(L"grp"), _bstr_t(L"speed"), _bstr_t(L""), value), S_OK);
  }
  auto carrier = NewItem(1, 1);
  {
    vq::ComPtr<IVQTagVector> tag;
    ASSERT_EQ(carrier->GetTagVector(2, tag.put()), S_OK);
    const double values[3] = {1.0, -2.5, 1e300};
    ASSERT_EQ(tag->SetValues(3, values), S_OK);
    ASSERT_EQ(m->PutTagVectorsData(carrier.get()), S_OK);
  }

  Bytes written;
  ASSERT_TRUE(WriteAll(m.get(), &written));
  vq::ComPtr<IVQDataMatrix> r;
  ASSERT_EQ(ReadAll(written, &r), S_OK);

  for (LONG d = 0; d <= 4; ++d) {
    LONG a = 0, b = 0;
    ASSERT_EQ(m->get_Size(d, &a), S_OK);
    ASSERT_EQ(r->get_Size(d, &b), S_OK);
    EXPECT_EQ(a, b) << "dimension " << d;
  }
  BSTR rl = nullptr;
  ASSERT_EQ(r->get_MatrixLabel(&rl), S_OK);
  EXPECT_EQ(Str(rl), std::wstring(L"Run \u00e9\u20ac 7"));
  CVQDataMatrix* impl = Impl(r.get());
  EXPECT_EQ(impl->Priority().GetPriorityType(), elementPriorityLifo);
  for (LONG d = 0; d < 4; ++d) {
    double first = 0, step = 0;
    BSTR unit = nullptr;
    ASSERT_EQ(r->GetAxis(d, &first, &step, &unit), S_OK);
    EXPECT_EQ(first, 1.5 * d - 2.0);
    EXPECT_EQ(step, 0.25 + d);
    EXPECT_EQ(Str(unit), std::wstring(units[d]));
  }
  LONG id = 0;
  ASSERT_EQ(r->get_ID(2, 1, 1, 1, &id), S_OK);
  EXPECT_EQ(id, 2112);
  BSTR el = nullptr;
  ASSERT_EQ(r->get_Label(2, 1, 1, 1, &el), S_OK);
  EXPECT_EQ(Str(el), L"e2112");
  Verify(r.get(), 0.5);
  {
    auto item = Get(r.get(), 1, 1, 0, 1, false);
    vq::ComPtr<IVQAttributeGroups> groups;
    ASSERT_EQ(item->GetAttributes(groups.put()), S_OK);
    LONG count = 0;
    ASSERT_EQ(groups->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);
  }
  {
    // The tag vectors came back with element 0 and leave the matrix with
    // every item taken from position 0.
    auto outside = NewItem();
    ASSERT_EQ(r->GetTagVectorsData(outside.get()), S_OK);
    vq::ComPtr<IVQTagVector> tag;
    ASSERT_EQ(outside->GetTagVector(2, tag.put()), S_OK);
    LONG count = 0;
    ASSERT_EQ(tag->GetCount(&count), S_OK);
    ASSERT_EQ(count, 3);
    double v[3] = {};
    ASSERT_EQ(tag->GetValues(0, 3, v), S_OK);
    EXPECT_EQ(v[1], -2.5);
    EXPECT_EQ(v[2], 1e300);
  }
  // The read matrix writes the same bytes again: type, format, sizes and
  // every item's own form included.
  Bytes again;
  ASSERT_TRUE(WriteAll(r.get(), &again));
  EXPECT_EQ(again, written);
  // The type follows version, count and the label (count 9: eight
  // characters and the zero).
  EXPECT_EQ(static_cast<LONG>(again[8 + 4 + 9]), static_cast<LONG>(kind));
}

TEST_P(RoundTripTest, WriteBringsSwappedElementsBackUnchanged) {
  vq::test::MemoryHook memory(vq::test::kPlenty);
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(4, 1, 1, 1, 64, 1, dataFormatFloat64, GetParam()), S_OK);
  Fill(m.get());
  Bytes before;
  ASSERT_TRUE(WriteAll(m.get(), &before));
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  Bytes after;
  ASSERT_TRUE(WriteAll(m.get(), &after));
  EXPECT_EQ(before, after);
}

INSTANTIATE_TEST_SUITE_P(SingleObject, RoundTripTest, ::testing::Values(matrixSingleObject));
INSTANTIATE_TEST_SUITE_P(MultipleObjects, RoundTripTest, ::testing::Values(matrixMultipleObjects));

// ---------------------------------------------------------------------------
// The layout.
// ---------------------------------------------------------------------------

TEST_F(StreamTest, SmallMatrixWritesTheDocumentedBytes) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(2, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  ASSERT_EQ(m->put_MatrixLabel(_bstr_t(L"M")), S_OK);
  Bytes s;
  ASSERT_TRUE(WriteAll(m.get(), &s));
  Builder x;
  x.I32(4);
  x.I32(4);
  x.Text("M");
  x.I32(0);
  x.I32(1);
  x.I32(4);
  x.I32(1);
  x.I32(0);
  for (int32_t size : {2, 1, 1, 1}) {
    x.I32(size);
    x.F64(0.0);
    x.F64(0.0);
    x.Text("");
  }
  const Bytes head = {0x04, 0, 0, 0, 0x04, 0, 0, 0, 0x02, 0, 0, 0, 0x4D, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0,
                      0, 0, 0, 0, 0x02, 0, 0, 0};
  ASSERT_GE(s.size(), x.b.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), s.begin()));
  EXPECT_TRUE(std::equal(x.b.begin(), x.b.end(), s.begin()));
  // Then element 0: ID -1, empty label, and the item's own form.
  Builder e;
  e.I32(-1);
  e.Text("");
  e.Raw(ItemForm(Get(m.get(), 0, 0, 0, 0, false).get()));
  ASSERT_GE(s.size(), x.b.size() + e.b.size());
  EXPECT_TRUE(std::equal(e.b.begin(), e.b.end(), s.begin() + static_cast<ptrdiff_t>(x.b.size())));
}

TEST_F(StreamTest, TracesTheHeaderFields) {
  vq::test::TraceCapture trace;
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(1, 1, 1, 1, 2, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  Bytes s;
  ASSERT_TRUE(WriteAll(m.get(), &s));
  vq::ComPtr<IVQDataMatrix> r;
  ASSERT_EQ(ReadAll(s, &r), S_OK);
  for (const char* line : {"Entering Write", "Write: Version = 4", "Write: Dimensions = 4", "Write: Label = \"\"",
                           "Write: XSize = 2", "Write: Priority(0=FIFO, 1=LIFO) = 0", "Leaving Write",
                           "Entering Read", "Read: Version = 4", "Read: ZSize = 1", "Leaving Read"}) {
    EXPECT_TRUE(trace.Contains(line)) << line;
  }
}

// ---------------------------------------------------------------------------
// Older and newer versions.
// ---------------------------------------------------------------------------

// A stream of one 2 x 1 x 1 x 1 matrix in `version`'s layout whose two items
// hold three values each; XSize and ZSize of the header as given.
Bytes VersionStream(int32_t version, int32_t xSize, int32_t zSize, const Bytes& form0, const Bytes& form1) {
  Builder x;
  x.I32(version);
  x.I32(4);
  if (version >= 2) x.Text("Old");
  if (version >= 3) {
    x.I32(0);
    x.I32(1);
    x.I32(xSize);
    x.I32(zSize);
  }
  if (version >= 4) x.I32(1);
  for (int32_t size : {2, 1, 1, 1}) {
    x.I32(size);
    x.F64(size * 10.0);
    x.F64(0.5);
    x.Text("u");
  }
  x.I32(11);
  x.Text("first");
  x.Raw(form0);
  x.I32(12);
  x.Text("");
  x.Raw(form1);
  return x.b;
}

class VersionTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    for (int i = 0; i < 2; ++i) {
      auto item = NewItem(3, 1);
      VQDataBuffer b{};
      ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
      for (int k = 0; k < 3; ++k) b.pDouble[k] = 10.0 * i + k;
      forms[i] = ItemForm(item.get());
    }
  }
  void ExpectContents(IVQDataMatrix* r) {
    LONG id = 0;
    ASSERT_EQ(r->get_ID(1, 0, 0, 0, &id), S_OK);
    EXPECT_EQ(id, 12);
    BSTR label = nullptr;
    ASSERT_EQ(r->get_Label(0, 0, 0, 0, &label), S_OK);
    EXPECT_EQ(Str(label), L"first");
    double first = 0, step = 0;
    BSTR unit = nullptr;
    ASSERT_EQ(r->GetAxis(0, &first, &step, &unit), S_OK);
    EXPECT_EQ(first, 20.0);
    EXPECT_EQ(step, 0.5);
    EXPECT_EQ(Str(unit), L"u");
    auto item = Get(r, 1, 0, 0, 0, false);
    VQDataBuffer b{};
    ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
    ASSERT_EQ(b.XSize, 3);
    EXPECT_EQ(b.pDouble[2], 12.0);
  }
  Bytes forms[2];
};

TEST_F(VersionTest, VersionOneKeepsTheLabelAndReadsFifo) {
  auto r = NewMatrix();
  ASSERT_EQ(r->put_MatrixLabel(_bstr_t(L"kept")), S_OK);
  ASSERT_EQ(r->SetElementPriority(elementPriorityLifo), S_OK);
  vq::ComPtr<IStream> s;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
  const Bytes v1 = VersionStream(1, 0, 0, forms[0], forms[1]);
  ASSERT_EQ(s->Write(v1.data(), static_cast<ULONG>(v1.size()), nullptr), S_OK);
  LARGE_INTEGER zero{};
  ASSERT_EQ(s->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(r->Read(s.get()), S_OK);
  ExpectContents(r.get());
  BSTR label = nullptr;
  ASSERT_EQ(r->get_MatrixLabel(&label), S_OK);
  EXPECT_EQ(Str(label), L"kept");
  EXPECT_EQ(Impl(r.get())->Priority().GetPriorityType(), elementPriorityFifo);
  // Nothing is left over: the items consumed exactly their forms.
  ULARGE_INTEGER at{};
  ASSERT_EQ(s->Seek(zero, STREAM_SEEK_CUR, &at), S_OK);
  EXPECT_EQ(at.QuadPart, v1.size());
}

TEST_F(VersionTest, VersionThreeAllocatesOnlyWithBothSizes) {
  {
    vq::test::TraceCapture trace;
    vq::ComPtr<IVQDataMatrix> r;
    ASSERT_EQ(ReadAll(VersionStream(3, 3, 1, forms[0], forms[1]), &r), S_OK);
    ExpectContents(r.get());
    EXPECT_TRUE(trace.Contains("Initialize2("));
    BSTR label = nullptr;
    ASSERT_EQ(r->get_MatrixLabel(&label), S_OK);
    EXPECT_EQ(Str(label), L"Old");
  }
  {
    vq::test::TraceCapture trace;
    vq::ComPtr<IVQDataMatrix> z;
    ASSERT_EQ(ReadAll(VersionStream(3, 3, 0, forms[0], forms[1]), &z), S_OK);
    ExpectContents(z.get());
    EXPECT_FALSE(trace.Contains("Initialize2("));
    EXPECT_EQ(Impl(z.get())->Priority().GetPriorityType(), elementPriorityFifo);
  }
}

TEST_F(VersionTest, VersionNineReadsAsFour) {
  vq::ComPtr<IVQDataMatrix> r;
  Bytes nine = VersionStream(9, 3, 1, forms[0], forms[1]);
  ASSERT_EQ(ReadAll(nine, &r), S_OK);
  ExpectContents(r.get());
  EXPECT_EQ(Impl(r.get())->Priority().GetPriorityType(), elementPriorityLifo);
  Bytes written;
  ASSERT_TRUE(WriteAll(r.get(), &written));
  nine[0] = 4;
  EXPECT_EQ(written, nine);
}

// ---------------------------------------------------------------------------
// Refusals.
// ---------------------------------------------------------------------------

TEST_F(StreamTest, NullStreamAndInitialisedMatrix) {
  auto m = NewMatrix();
  EXPECT_EQ(m->Write(nullptr), E_POINTER);
  EXPECT_EQ(m->Read(nullptr), E_POINTER);
  const Bytes s = SmallStream();
  ASSERT_EQ(m->Initialize(1, 3, 1, 1, 1), S_OK);
  vq::ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  ASSERT_EQ(stream->Write(s.data(), static_cast<ULONG>(s.size()), nullptr), S_OK);
  LARGE_INTEGER zero{};
  ASSERT_EQ(stream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(m->Read(stream.get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
  // Nothing was read or stored: sizes and label are the matrix's own.
  LONG size = 0;
  ASSERT_EQ(m->get_Size(1, &size), S_OK);
  EXPECT_EQ(size, 3);
  BSTR label = nullptr;
  ASSERT_EQ(m->get_MatrixLabel(&label), S_OK);
  EXPECT_EQ(Str(label), L"");
  ULARGE_INTEGER at{};
  ASSERT_EQ(stream->Seek(zero, STREAM_SEEK_CUR, &at), S_OK);
  EXPECT_EQ(at.QuadPart, 0u);
}

TEST_F(StreamTest, RefusesMalformedHeaders) {
  const Bytes good = SmallStream();
  const std::vector<size_t> at = Int32Fields(good);
  auto with = [&](size_t field, int32_t value) {
    Bytes s = good;
    std::memcpy(&s[at[field]], &value, 4);
    vq::ComPtr<IVQDataMatrix> r;
    return ReadAll(s, &r);
  };
  // Fields: 0 version, 1 dimensions, 2 label count, 3 type, 4 format, 5 XSize,
  // 6 ZSize, 7 priority, 8 size d1, 9 unit count d1.
  EXPECT_EQ(with(1, 0), kInvalidData);
  EXPECT_EQ(with(1, 5), kInvalidData);
  EXPECT_EQ(with(2, 10001), kInvalidData);
  EXPECT_EQ(with(3, 2), kInvalidData);
  EXPECT_EQ(with(4, 7), kInvalidData);
  EXPECT_EQ(with(7, 2), kInvalidData);
  EXPECT_EQ(with(7, -1), kInvalidData);
  EXPECT_EQ(with(5, -1), kInvalidData);
  EXPECT_EQ(with(8, 0), kInvalidData);
  EXPECT_EQ(with(8, INT32_MAX), kInvalidData);   // more elements than bytes
  EXPECT_EQ(with(5, INT32_MAX), kInvalidData);   // element beyond 32 bits
  EXPECT_EQ(with(9, 10001), kInvalidData);
  // Sizes whose product overflows 32 bits.
  Bytes s = good;
  for (int d = 0; d < 4; ++d) {
    const int32_t big = 65536;
    std::memcpy(&s[at[8 + 2 * d]], &big, 4);
  }
  vq::ComPtr<IVQDataMatrix> r;
  EXPECT_EQ(ReadAll(s, &r), kInvalidData);
}

TEST_F(StreamTest, LongTextsAreRefusedNotCut) {
  Builder x;
  x.I32(4);
  x.I32(4);
  x.I32(10001);
  x.Raw(Bytes(10001, 'a'));
  vq::ComPtr<IVQDataMatrix> r;
  EXPECT_EQ(ReadAll(x.b, &r), kInvalidData);
  // 9999 characters and the zero are the most a text may take.
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(1, 1, 1, 1, 1, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  const std::wstring longest(9999, L'x');
  ASSERT_EQ(m->put_MatrixLabel(_bstr_t(longest.c_str())), S_OK);
  Bytes s;
  ASSERT_TRUE(WriteAll(m.get(), &s));
  ASSERT_EQ(ReadAll(s, &r), S_OK);
  BSTR label = nullptr;
  ASSERT_EQ(r->get_MatrixLabel(&label), S_OK);
  EXPECT_EQ(Str(label), longest);
  // One more and the writer refuses before it writes anything.
  ASSERT_EQ(m->put_Label(0, 0, 0, 0, _bstr_t(std::wstring(10000, L'y').c_str())), S_OK);
  vq::ComPtr<IStream> out;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, out.put()), S_OK);
  EXPECT_EQ(m->Write(out.get()), E_INVALIDARG);
  EXPECT_TRUE(StreamBytes(out.get()).empty());
}

TEST_F(StreamTest, FailingStreamsStopWriteAndRead) {
  const size_t total = SmallStream().size();
  vq::test::TraceCapture trace;
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(2, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  // Failing in the header, and inside an item's own form.
  for (size_t limit : {size_t{0}, size_t{30}, total - 20}) {
    vq::ComPtr<IStream> s;
    s.attach(vq::MakeComObject<FailingStream>(limit));
    EXPECT_EQ(m->Write(s.get()), STG_E_WRITEFAULT) << limit;
  }
  EXPECT_EQ(trace.Count("Leaving Write"), 3u);
  EXPECT_TRUE(trace.Contains("COM Error, "));
  // A stream that cannot read anything ends Read with its own failure.
  vq::ComPtr<IStream> s;
  s.attach(vq::MakeComObject<FailingStream>(0));
  auto r = NewMatrix();
  EXPECT_EQ(r->Read(s.get()), E_NOTIMPL);
}

TEST_F(StreamTest, WriteOfAReleasedMatrixStopsAtTheFirstElement) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(2, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  ASSERT_EQ(m->ReleaseAllVQData(), S_OK);
  vq::ComPtr<IStream> s;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
  EXPECT_EQ(m->Write(s.get()), E_POINTER);
}

TEST_F(StreamTest, ShortReadsAreAssembledAndEarlyEndsRefused) {
  const Bytes good = SmallStream();
  Bytes input(1, 1);  // a non-seekable stream handing out a few bytes a call
  input.insert(input.end(), good.begin(), good.end());
  EXPECT_TRUE(vq::persist::fuzz::ReadOne(input.data(), input.size()));
  vq::ComPtr<IStream> s;
  s.attach(vq::MakeComObject<vq::persist::fuzz::PipeStream>(good.data(), good.size()));
  auto r = NewMatrix();
  ASSERT_EQ(r->Read(s.get()), S_OK);
  Verify(r.get());
  s.attach(vq::MakeComObject<vq::persist::fuzz::PipeStream>(good.data(), 50));
  auto cut = NewMatrix();
  EXPECT_EQ(cut->Read(s.get()), kEof);
  // Without a length to check against, a header may not ask for more than
  // 65536 elements.
  Bytes many = good;
  const int32_t d4 = 32769;  // 2 x 1 x 1 x 32769 elements
  std::memcpy(&many[Int32Fields(good)[14]], &d4, 4);
  s.attach(vq::MakeComObject<vq::persist::fuzz::PipeStream>(many.data(), many.size()));
  auto big = NewMatrix();
  EXPECT_EQ(big->Read(s.get()), kInvalidData);
  LONG dims = -1;
  ASSERT_EQ(big->get_Dimensions(&dims), S_OK);
  EXPECT_EQ(dims, 0);
}

// ---------------------------------------------------------------------------
// Sweeps: every way of cutting or corrupting the small stream's fields gives
// an error or a working matrix (the sanitizer builds watch for the rest).
// ---------------------------------------------------------------------------

TEST_F(StreamTest, EveryTruncationIsRefused) {
  const Bytes good = SmallStream();
  for (size_t n = 0; n < good.size(); ++n) {
    vq::ComPtr<IVQDataMatrix> r;
    const HRESULT hr = ReadAll(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)), &r);
    EXPECT_TRUE(FAILED(hr)) << "cut at " << n;
  }
}

TEST_F(StreamTest, EveryInt32FieldTakesHostileValues) {
  const Bytes good = SmallStream();
  const std::vector<size_t> at = Int32Fields(good);
  ASSERT_EQ(at.size(), 20u);
  for (size_t f = 0; f < at.size(); ++f) {
    for (int32_t value : {0, 1, -1, INT32_MIN, INT32_MAX, 10000, 10001}) {
      Bytes s = good;
      std::memcpy(&s[at[f]], &value, 4);
      ExpectErrorOrValid(s, "field " + std::to_string(f) + " = " + std::to_string(value));
    }
  }
}

// Inputs the fuzzer found (and the seeds it started from), replayed as the
// fuzz target runs them.
TEST_F(StreamTest, KeptFuzzInputs) {
  size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VQ_PERSIST_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(vq::persist::fuzz::ReadOne(data.data(), data.size())) << entry.path();
    ++replayed;
  }
  EXPECT_GE(replayed, 3u);
}

}  // namespace
