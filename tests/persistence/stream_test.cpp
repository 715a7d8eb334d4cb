// Write and Read of whole matrices: the exact bytes of a small matrix, older
// versions, and hostile streams (round trips: model_test.cpp).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "persistence/fuzz/ReadFuzzOne.h"
#include "platform/testlib/StreamTestSupport.h"
#include "support/MatrixFixture.h"
#include "support/ProcessInfo.h"
#include "support/TraceCapture.h"

namespace {

using vq::persist::fuzz::ReadAll;
using vq::persist::fuzz::StreamBytes;
using vq::persist::fuzz::WriteAll;
using Bytes = std::vector<uint8_t>;
using vq::test::Buffer;
using vq::test::kSanitized;
using vq::test::StatusBytes;
using vqtest::NewStream;
using vqtest::Position;
using vqtest::StreamOf;

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
  vq::ComPtr<IStream> s = vqtest::NewStream();
  EXPECT_EQ(persist->SaveToStream(s.get()), S_OK);
  return StreamBytes(s.get());
}

std::wstring Str(BSTR b) {
  std::wstring s = b != nullptr ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

// A stream that takes `limit` bytes, keeping them and counting the writes
// that reach it, and then fails: with `failure`, or (S_OK) by taking fewer
// bytes than it was given.
class FailingStream final : public vq::ForwardStream<FailingStream> {
 public:
  explicit FailingStream(size_t limit, HRESULT failure = STG_E_WRITEFAULT) : m_Limit(limit), m_Failure(failure) {}
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
    ++m_Writes;
    const size_t n = std::min<size_t>(cb, m_Limit - m_Taken.size());
    m_Taken.insert(m_Taken.end(), static_cast<const uint8_t*>(pv), static_cast<const uint8_t*>(pv) + n);
    if (written != nullptr) *written = static_cast<ULONG>(n);
    return n < cb ? m_Failure : S_OK;
  }
  const Bytes& Taken() const { return m_Taken; }
  size_t Writes() const { return m_Writes; }

 private:
  size_t m_Limit;
  HRESULT m_Failure;
  Bytes m_Taken;
  size_t m_Writes = 0;
};

class StreamTest : public vq::test::MatrixTest {
 protected:
  // A 2 x 1 x 1 x 1 matrix labelled "M", four values per element, with
  // element labels and a unit, used by the sweeps.
  Bytes SmallStream() {
    auto m = Make(2, 1, 4, 1, matrixSingleObject, false);
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
    ExerciseMatrix(m.get());
  }

  static void ExerciseMatrix(IVQDataMatrix* m);
  // An s1 x 1 x 1 x s4 matrix of elements of x by z values, filled by Fill
  // when asked.
  vq::ComPtr<IVQDataMatrix> Make(LONG s1, LONG s4, LONG x, LONG z, matrixType kind, bool fill) {
    auto m = NewMatrix();
    EXPECT_EQ(m->Initialize2(s1, 1, 1, s4, x, z, dataFormatFloat64, kind), S_OK);
    if (fill) Fill(m.get());
    return m;
  }
  static Bytes Written(IVQDataMatrix* m) {
    Bytes bytes;
    EXPECT_TRUE(WriteAll(m, &bytes));
    return bytes;
  }
  // `bytes` with the int32 at `offset` set to `value`.
  static Bytes With(Bytes bytes, size_t offset, int32_t value) {
    std::memcpy(&bytes[offset], &value, 4);
    return bytes;
  }
  static std::wstring MatrixLabel(IVQDataMatrix* m) {
    BSTR label = nullptr;
    EXPECT_EQ(m->get_MatrixLabel(&label), S_OK);
    return Str(label);
  }
};

// Round trips (kind, labels, the matrix's axes, every part of every element,
// tag vectors and that no carrier holds element 0 after a Read, written again
// byte for byte): model_test.cpp (WriteAndRead); the priority, sizes and
// element forms, VersionTest.OlderAndNewerVersions (read, then written back
// byte for byte).

// ---------------------------------------------------------------------------
// The layout.
// ---------------------------------------------------------------------------

// It also traces the header fields as it writes and reads them.
TEST_F(StreamTest, SmallMatrixWritesTheDocumentedBytes) {
  vq::test::TraceCapture trace;
  auto m = Make(2, 1, 4, 1, matrixSingleObject, false);
  ASSERT_EQ(m->put_MatrixLabel(_bstr_t(L"M")), S_OK);
  const Bytes s = Written(m.get());
  vq::ComPtr<IVQDataMatrix> r;
  ASSERT_EQ(ReadAll(s, &r), S_OK);
  for (const char* line : {"Entering Write", "Write: Version = 4", "Write: Dimensions = 4", "Write: Label = \"M\"",
                           "Write: XSize = 4", "Write: Priority(0=FIFO, 1=LIFO) = 0", "Leaving Write", "Entering Read",
                           "Read: Version = 4", "Read: ZSize = 1", "Leaving Read"}) {
    EXPECT_TRUE(trace.Contains(line)) << line;
  }
  Builder x;  // version, dimensions, label, type, format, XSize, ZSize, priority
  x.I32(4);
  x.I32(4);
  x.Text("M");
  for (int32_t field : {0, 1, 4, 1, 0}) x.I32(field);
  for (int32_t size : {2, 1, 1, 1}) {
    x.I32(size);
    x.F64(0.0);
    x.F64(0.0);
    x.Text("");
  }
  ASSERT_GE(s.size(), x.b.size());
  EXPECT_TRUE(std::equal(x.b.begin(), x.b.end(), s.begin()));
  // Then element 0: ID -1, empty label, and the item's own form.
  Builder e;
  e.I32(-1);
  e.Text("");
  e.Raw(ItemForm(Get(m.get(), 0, 0, 0, 0, false).get()));
  ASSERT_GE(s.size(), x.b.size() + e.b.size());
  EXPECT_TRUE(std::equal(e.b.begin(), e.b.end(), s.begin() + static_cast<ptrdiff_t>(x.b.size())));
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
      VQDataBuffer b = Buffer(item);
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
    VQDataBuffer b = Buffer(item);
    ASSERT_EQ(b.XSize, 3);
    EXPECT_EQ(b.pDouble[2], 12.0);
  }
  Bytes forms[2];
};

// Each version read into a matrix that has a label and LIFO order of its own.
// Version 1 carries no label (the matrix keeps its own) and versions before 4
// no order (FIFO); version 3 allocates the elements only when it gives both
// sizes; version 9 reads as 4 and is written as 4.
TEST_F(VersionTest, OlderAndNewerVersions) {
  const struct {
    int32_t version, xSize, zSize;
    const wchar_t* label;
    LONG priority;
    bool allocates;
  } cases[] = {{1, 0, 0, L"kept", elementPriorityFifo, false},
               {3, 3, 1, L"Old", elementPriorityFifo, true},
               {3, 3, 0, L"Old", elementPriorityFifo, false},
               {9, 3, 1, L"Old", elementPriorityLifo, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.version) + " z " + std::to_string(c.zSize));
    vq::test::TraceCapture trace;
    auto r = NewMatrix();
    ASSERT_EQ(r->put_MatrixLabel(_bstr_t(L"kept")), S_OK);
    ASSERT_EQ(r->SetElementPriority(elementPriorityLifo), S_OK);
    Bytes bytes = VersionStream(c.version, c.xSize, c.zSize, forms[0], forms[1]);
    auto s = StreamOf(bytes);
    ASSERT_EQ(r->Read(s.get()), S_OK);
    ExpectContents(r.get());
    EXPECT_EQ(MatrixLabel(r.get()), c.label);
    EXPECT_EQ(Impl(r.get())->Priority().GetPriorityType(), c.priority);
    EXPECT_EQ(trace.Contains("Initialize2("), c.allocates);
    // Nothing is left over: the items consumed exactly their forms.
    EXPECT_EQ(Position(s.get()), bytes.size());
    bytes[0] = 4;
    EXPECT_TRUE(c.version != 9 || Written(r.get()) == bytes);
  }
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
  auto stream = StreamOf(s);
  EXPECT_EQ(m->Read(stream.get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
  // Nothing was read or stored: sizes and label are the matrix's own.
  LONG size = 0;
  ASSERT_EQ(m->get_Size(1, &size), S_OK);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(MatrixLabel(m.get()), L"");
  EXPECT_EQ(Position(stream.get()), 0u);
}

TEST_F(StreamTest, RefusesMalformedHeaders) {
  const Bytes good = SmallStream();
  const std::vector<size_t> at = Int32Fields(good);
  auto with = [&](size_t field, int32_t value) {
    vq::ComPtr<IVQDataMatrix> r;
    return ReadAll(With(good, at[field], value), &r);
  };
  // Fields: 0 version, 1 dimensions, 2 label count, 3 type, 4 format, 5 XSize,
  // 6 ZSize, 7 priority, 8 size d1, 9 unit count d1. Size d1 INT32_MAX: more
  // elements than bytes; XSize INT32_MAX: an element beyond 32 bits.
  const std::pair<size_t, int32_t> refused[] = {{1, 0}, {1, 5},         {2, 10001},     {3, 2},
                                                {4, 7}, {7, 2},         {7, -1},        {5, -1},
                                                {8, 0}, {8, INT32_MAX}, {5, INT32_MAX}, {9, 10001}};
  for (const auto& [field, value] : refused) {
    vq::test::TraceCapture trace;
    EXPECT_EQ(with(field, value), kInvalidData) << field << " = " << value;
    EXPECT_TRUE(trace.Contains("Stream refused: ")) << field << " = " << value;
  }
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
  auto m = Make(1, 1, 1, 1, matrixSingleObject, false);
  const std::wstring longest(9999, L'x');
  ASSERT_EQ(m->put_MatrixLabel(_bstr_t(longest.c_str())), S_OK);
  const Bytes s = Written(m.get());
  ASSERT_EQ(ReadAll(s, &r), S_OK);
  EXPECT_EQ(MatrixLabel(r.get()), longest);
  // One more and the writer refuses before it writes anything.
  ASSERT_EQ(m->put_Label(0, 0, 0, 0, _bstr_t(std::wstring(10000, L'y').c_str())), S_OK);
  vq::ComPtr<IStream> out = NewStream();
  EXPECT_EQ(m->Write(out.get()), E_INVALIDARG);
  EXPECT_TRUE(StreamBytes(out.get()).empty());
}

TEST_F(StreamTest, FailingStreamsStopWriteAndRead) {
  const size_t total = SmallStream().size();
  vq::test::TraceCapture trace;
  auto m = Make(2, 1, 4, 1, matrixSingleObject, false);
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

// A stream that fails after any number of bytes (inside a field, an item's
// header or values, the last 64 KiB that Write hands over when it ends) fails
// Write with the stream's own result, and holds exactly the bytes before the
// cut: Write combines small writes, yet reports nothing as written that the
// stream refused. The stream that takes everything gets the memory stream's
// bytes in few writes. One matrix of 256 small elements, whose writes are all
// combined, and one of 80 KB elements, whose values bypass the combining.
TEST_F(StreamTest, EveryCutFailsWriteWithTheStreamsResultInFewWrites) {
  struct Case {
    LONG elements, x;
    matrixType kind;
    size_t maxWrites;  // for the whole stream
  };
  const HRESULT kFailures[] = {STG_E_WRITEFAULT, STG_E_MEDIUMFULL, STG_E_ACCESSDENIED, S_OK /* a short write */};
  for (const Case& c : {Case{256, 16, matrixMultipleObjects, 3}, Case{3, 10000, matrixSingleObject, 7}}) {
    SCOPED_TRACE(std::to_string(c.elements) + " elements");
    auto m = Make(c.elements, 1, c.x, 1, c.kind, true);
    const Bytes full = Written(m.get());
    ASSERT_GT(full.size(), size_t{65536});
    std::vector<size_t> cuts;
    for (size_t n = 0; n < full.size(); n += 997) cuts.push_back(n);
    for (size_t n = full.size() - 65536; n < full.size(); n += 401) cuts.push_back(n);
    for (size_t n = 65535; n <= 65537; ++n) cuts.push_back(n);
    for (size_t back = 1; back <= 9; ++back) cuts.push_back(full.size() - back);
    for (size_t i = 0; i < cuts.size(); ++i) {
      const HRESULT failure = kFailures[i % std::size(kFailures)];
      FailingStream* stream = vq::MakeComObject<FailingStream>(cuts[i], failure);
      vq::ComPtr<IStream> hold;
      hold.attach(stream);
      ASSERT_EQ(m->Write(stream), failure == S_OK ? STG_E_MEDIUMFULL : failure) << "cut at " << cuts[i];
      ASSERT_TRUE(std::equal(stream->Taken().begin(), stream->Taken().end(), full.begin()));
      ASSERT_EQ(stream->Taken().size(), cuts[i]);
    }
    FailingStream* stream = vq::MakeComObject<FailingStream>(SIZE_MAX);
    vq::ComPtr<IStream> hold;
    hold.attach(stream);
    ASSERT_EQ(m->Write(stream), S_OK);
    EXPECT_EQ(stream->Taken(), full);
    EXPECT_LE(stream->Writes(), c.maxWrites);
  }
}

// A file that fills up during a matrix Write, released without Commit as a
// client written for streams that write through releases it, fails the
// Write: in the last 64 KiB as anywhere else.
TEST_F(StreamTest, AFullFileFailsWriteWithoutCommit) {
  if (vq::test::kThreadSanitized)
    GTEST_SKIP() << "the forked child starts a matrix's thread, which the thread sanitizer refuses after fork";
  const std::string path = (std::filesystem::temp_directory_path() / ("vqfull" + std::to_string(::getpid()))).string();
  const size_t total = Written(Make(256, 1, 16, 1, matrixSingleObject, true).get()).size();
  for (size_t limit : {size_t{100}, total - 65000, total - 1}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit fileLimit{limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &fileLimit) != 0) _exit(10);
      auto m = Make(256, 1, 16, 1, matrixSingleObject, true);
      vq::ComPtr<IStream> out;
      if (SHCreateStreamOnFileA(path.c_str(), STGM_WRITE | STGM_CREATE, out.put()) != S_OK) _exit(11);
      _exit(m->Write(out.get()) == STG_E_MEDIUMFULL ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "limit " << limit;
  }
  std::filesystem::remove(path);
}

// Write of a matrix whose items were released: initialization_test.cpp (the
// table of calls, asked again after ReleaseAllVQData).

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
  const Bytes many = With(good, Int32Fields(good)[14], 32769);  // 2 x 1 x 1 x 32769 elements
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

TEST_F(StreamTest, EveryTruncationIsRefusedAndEveryInt32FieldTakesHostileValues) {
  const Bytes good = SmallStream();
  for (size_t n = 0; n < good.size(); ++n) {
    vq::ComPtr<IVQDataMatrix> r;
    EXPECT_TRUE(FAILED(ReadAll(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)), &r))) << "cut at " << n;
  }
  const std::vector<size_t> at = Int32Fields(good);
  ASSERT_EQ(at.size(), 20u);
  for (size_t f = 0; f < at.size(); ++f) {
    for (int32_t value : {0, 1, -1, INT32_MIN, INT32_MAX, 10000, 10001}) {
      ExpectErrorOrValid(With(good, at[f], value), "field " + std::to_string(f) + " = " + std::to_string(value));
    }
  }
}

// A file stream reads ahead what a memory stream holds in memory: a matrix
// writes the same bytes to both (the file's are there without a Commit),
// reads back from the file, and every cut of its file gives the HRESULT the
// same cut gives from a memory stream. Elements of 80 KB are larger than the
// read-ahead buffer, so their values bypass it.
TEST_F(StreamTest, FileStreamsWriteAndRefuseAsMemoryStreams) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("vqstream" + std::to_string(::getpid()))).string();
  auto openFile = [&](DWORD mode) {
    vq::ComPtr<IStream> s;
    EXPECT_EQ(SHCreateStreamOnFileA(path.c_str(), mode, s.put()), S_OK);
    return s;
  };
  for (matrixType kind : {matrixSingleObject, matrixMultipleObjects}) {
    SCOPED_TRACE(kind == matrixSingleObject ? "single" : "multi");
    auto m = Make(3, 1, 10000, 1, kind, true);
    const Bytes bytes = Written(m.get());
    {
      vq::ComPtr<IStream> out = openFile(STGM_WRITE | STGM_CREATE);
      ASSERT_EQ(m->Write(out.get()), S_OK);
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_EQ(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), bytes);
    auto r = NewMatrix();
    ASSERT_EQ(r->Read(openFile(STGM_READ).get()), S_OK);
    EXPECT_EQ(Written(r.get()), bytes);

    std::vector<size_t> cuts = {0, 3, 4, 40, bytes.size() / 2, bytes.size() - 1};
    for (size_t n = 1; n < bytes.size(); n += 4999) cuts.push_back(n);
    for (size_t n : cuts) {
      const Bytes cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(cut.data()), static_cast<std::streamsize>(n));
      vq::ComPtr<IVQDataMatrix> fromMemory;
      const HRESULT expected = ReadAll(cut, &fromMemory);
      EXPECT_TRUE(FAILED(expected)) << n;
      auto fromFile = NewMatrix();
      EXPECT_EQ(fromFile->Read(openFile(STGM_READ).get()), expected) << "cut at " << n;
    }
  }
  std::filesystem::remove(path);
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

// ---------------------------------------------------------------------------
// Headers that disagree with their elements, streams that declare more than
// they hold, and what a failed Read leaves behind.
// ---------------------------------------------------------------------------

class KindStreamTest : public StreamTest, public ::testing::WithParamInterface<matrixType> {};
INSTANTIATE_TEST_SUITE_P(BothKinds, KindStreamTest, vq::test::kStorageKinds, vq::test::KindName);

// Touches every method of a matrix that a Read left behind, successful or
// not: each call succeeds or fails cleanly (the sanitizer builds watch for
// the rest).
void StreamTest::ExerciseMatrix(IVQDataMatrix* m) {
  if (m == nullptr) return;
  LONG dims = 0;
  EXPECT_EQ(m->get_Dimensions(&dims), S_OK);
  LONG s[4] = {0, 0, 0, 0};
  if (dims == 4) {
    for (LONG d = 0; d < 4; ++d) EXPECT_EQ(m->get_Size(d + 1, &s[d]), S_OK);
  }
  const LONG count = dims == 4 ? std::min<LONG>(s[0] * s[1] * s[2] * s[3], 64) : 1;
  auto position = [&](LONG i, LONG* p) {
    const LONG s0 = std::max<LONG>(s[0], 1), s1 = std::max<LONG>(s[1], 1), s2 = std::max<LONG>(s[2], 1);
    p[0] = i % s0;
    p[1] = (i / s0) % s1;
    p[2] = (i / (s0 * s1)) % s2;
    p[3] = i / (s0 * s1 * s2);
  };
  for (LONG i = 0; i < count; ++i) {
    LONG p[4];
    position(i, p);
    LONG id = 0;
    m->get_ID(p[0], p[1], p[2], p[3], &id);
    BSTR label = nullptr;
    if (SUCCEEDED(m->get_Label(p[0], p[1], p[2], p[3], &label))) SysFreeString(label);
    vq::ComPtr<IUnknown> item;
    m->get_ConstDataPtr(p[0], p[1], p[2], p[3], 1, item.put());
    item = nullptr;
    m->get_DataPtr(p[0], p[1], p[2], p[3], item.put());
    item = nullptr;
    m->get_ConstDataSubsetPtr(p[0], p[1], p[2], p[3], 0, 1, 1, item.put());
  }
  LONG last[4];
  position(count - 1, last);
  m->put_ID(last[0], last[1], last[2], last[3], 77);
  m->put_Label(last[0], last[1], last[2], last[3], _bstr_t(L"x"));
  LONG q[4] = {0, 0, 0, 0}, flag = 0;
  m->GetPositionFromID(77, &q[0], &q[1], &q[2], &q[3]);
  m->GetPositionFromID(-1, &q[0], &q[1], &q[2], &q[3]);
  m->HasData(-1, &flag);
  m->get_IsAllDataValid(&flag);
  vq::ComPtr<IUnknown> first;
  m->get_FirstValidDataPtr(&q[0], &q[1], &q[2], &q[3], first.put());
  {
    auto target = NewItem();
    m->CopyContentsToSingleVqData(target.get());
    m->GetD1D2Slice(0.0, 10.0, 0, 0, 0, matrixDirectionByRow, target.get());
    m->GetD1D3SliceSpectrum(0, 0, 0, matrixDirectionByColumn, target.get());
    m->GetTagVectorsData(target.get());
  }
  for (int round = 0; round < 2; ++round) {
    m->Write(NewStream().get());
    m->AllSaveToDisk();  // the second Write reads swapped-out elements back
  }
  m->put_DataPtr(0, 0, 0, 0, NewItem(4, 2).get());
  auto attributes = NewItem();
  attributes->AddAttribute(_bstr_t(L"g"), _bstr_t(L"a"), _bstr_t(L""), _variant_t(1L));
  m->put_AttributesDataPtr(0, attributes.get());
  m->AllInitializeAsLinear(4, 0.0, 1.0, _bstr_t(L"Hz"));
  m->AllSaveToDisk();
  m->ReleaseAllVQData();
  m->Write(NewStream().get());
}

// Attributes of swapped-out elements through Write and Read: the model test
// (tests/matrix/model_test.cpp).

// A header whose element shape (XSize, ZSize, format) disagrees
// with the elements. Packed elements take the header's shape, so the stream
// is refused; single-object elements keep their own shape (a matrix may hold
// items of other shapes than its allocation), so it is read as it is and the
// header's shape stays what it is for such a matrix: the allocation's, which
// the copy into one item checks element by element.
TEST_P(KindStreamTest, HeaderThatDisagreesWithTheElementsShape) {
  const bool packed = GetParam() == matrixMultipleObjects;
  auto m = Make(3, 2, 4, 2, GetParam(), true);
  const Bytes good = Written(m.get());
  const std::vector<size_t> at = Int32Fields(good);
  struct Damage {
    const char* what;
    size_t field;  // 4 format (1), 5 XSize (4), 6 ZSize (2)
    int32_t value;
    bool headerRefused;  // refused by the header checks on both kinds
  };
  const Damage damages[] = {
      {"XSize 4 -> 5", 5, 5, false},           {"XSize 4 -> 6", 5, 6, false},
      {"XSize 4 -> 0", 5, 0, false},           {"XSize 4 -> 12", 5, 12, false},
      {"XSize 4 -> 2^28 + 4", 5, (1 << 28) + 4, true},
      {"ZSize 2 -> 3", 6, 3, false},           {"ZSize 2 -> 0", 6, 0, false},
      {"ZSize 2 -> 6", 6, 6, false},           {"format 1 -> 0", 4, 0, false},
      {"format 1 -> 3", 4, 3, false},          {"format 1 -> 5", 4, 5, false},
      {"format 1 -> 9", 4, 9, true},
  };
  for (const Damage& d : damages) {
    const Bytes s = With(good, at[d.field], d.value);
    vq::ComPtr<IVQDataMatrix> r;
    const HRESULT hr = ReadAll(s, &r);
    if (packed || d.headerRefused) {
      EXPECT_EQ(hr, kInvalidData) << d.what;
      ExerciseMatrix(r.get());
      continue;
    }
    ASSERT_EQ(hr, S_OK) << d.what;
    Verify(r.get());
    // The header comes back as it was read.
    Bytes again;
    ASSERT_TRUE(WriteAll(r.get(), &again)) << d.what;
    EXPECT_EQ(again, s) << d.what;
    auto target = NewItem();
    EXPECT_EQ(r->CopyContentsToSingleVqData(target.get()), E_FAIL) << d.what;
  }
}

// A stream that tells a length of `declared` bytes but holds only `bytes`:
// reading past them gets nothing, as at the end of a stream (a file whose
// length was set without writing it, or a stream cut short).
class HoleStream final : public vq::ForwardStream<HoleStream> {
 public:
  HoleStream(const Bytes& bytes, uint64_t declared) : m_Bytes(bytes), m_Declared(declared) {}
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    size_t n = 0;
    if (m_At < m_Bytes.size()) {
      n = std::min<size_t>(cb, m_Bytes.size() - static_cast<size_t>(m_At));
      std::memcpy(pv, m_Bytes.data() + m_At, n);
    }
    m_At += n;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    const int64_t base = origin == STREAM_SEEK_SET   ? 0
                         : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(m_At)
                                                     : static_cast<int64_t>(m_Declared);
    if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
    m_At = static_cast<uint64_t>(base + move.QuadPart);
    if (position != nullptr) position->QuadPart = m_At;
    return S_OK;
  }
  STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG{};
    stat->cbSize.QuadPart = m_Declared;
    return S_OK;
  }

 private:
  const Bytes& m_Bytes;
  uint64_t m_Declared;
  uint64_t m_At = 0;
};

struct ReadOutcome {
  HRESULT hr = E_UNEXPECTED;
  uint64_t peakGrowth = 0;  // of the resident-size high-water mark, bytes
};

// Reads `bytes` into a fresh matrix in a child process whose address space
// may grow by at most `headroom` bytes, through a HoleStream that declares
// `declared` bytes, or through a stream that cannot tell its length (pipe).
// False when the child did not report back (it crashed or was killed).
bool ReadInLimitedChild(const Bytes& bytes, uint64_t declared, bool pipe, uint64_t headroom, ReadOutcome* outcome) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    ReadOutcome o;
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
      rlimit limit{};
      limit.rlim_cur = limit.rlim_max = StatusBytes("VmSize:") + headroom;
      setrlimit(RLIMIT_AS, &limit);
      {
        std::ofstream("/proc/self/clear_refs") << "5";  // the high-water mark starts afresh
      }
      const uint64_t before = StatusBytes("VmHWM:");
      vq::ComPtr<IStream> stream;
      if (pipe) {
        stream.attach(vq::MakeComObject<vq::persist::fuzz::PipeStream>(bytes.data(), bytes.size()));
      } else {
        stream.attach(vq::MakeComObject<HoleStream>(bytes, declared));
      }
      vq::ComPtr<IVQDataMatrix> m = vq::persist::fuzz::NewMatrix();
      o.hr = m && stream ? m->Read(stream.get()) : E_UNEXPECTED;
      const uint64_t after = StatusBytes("VmHWM:");
      o.peakGrowth = after > before ? after - before : 0;
    }
    _exit(write(fds[1], &o, sizeof o) == static_cast<ssize_t>(sizeof o) ? 0 : 1);
  }
  close(fds[1]);
  size_t got = 0;
  while (got < sizeof *outcome) {
    const ssize_t n = read(fds[0], reinterpret_cast<char*>(outcome) + got, sizeof *outcome - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got == sizeof *outcome && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A stream that declares a huge matrix and then ends. Before, Read
// built every element's tables, items and values for what the header
// declared before it read one element (about ten bytes per declared byte);
// now its memory follows the elements that actually arrive.
// In this process (also under the sanitizers) the Read fails cleanly and
// leaves a matrix that works for the elements it read; in a child process
// with an address-space limit its memory follows those elements, not the
// declared ones.
TEST_P(KindStreamTest, StreamThatDeclaresAHugeMatrixAndEnds) {
  // Three real elements of 1 KiB, then the stream ends.
  auto m = Make(3, 1, 128, 1, GetParam(), true);
  for (LONG d1 = 0; d1 < 3; ++d1) ASSERT_EQ(m->put_ID(d1, 0, 0, 0, 10 + d1), S_OK);
  const Bytes good = Written(m.get());
  const std::vector<size_t> at = Int32Fields(good);
  const Bytes huge = With(good, at[8], 200000);
  vq::ComPtr<IStream> stream;
  stream.attach(vq::MakeComObject<HoleStream>(huge, 256ull << 20));
  auto r = NewMatrix();
  ASSERT_EQ(r->Read(stream.get()), kEof);
  // The three elements that arrived are there, with their IDs and values.
  for (LONG d1 = 0; d1 < 3; ++d1) {
    auto item = Get(r.get(), d1, 0, 0, 0, false);
    ASSERT_TRUE(item);
    VQDataBuffer b = Buffer(item);
    EXPECT_EQ(b.pDouble[5], Expected(static_cast<uint32_t>(d1), 5));
    LONG id = 0;
    ASSERT_EQ(r->get_ID(d1, 0, 0, 0, &id), S_OK);
    EXPECT_EQ(id, 10 + d1);
  }
  // The others never arrived: they have no item (packed: but for the rest
  // of the storage object the last one arrived in, zero-filled), and IDs and
  // labels as a fresh matrix's.
  vq::ComPtr<IUnknown> none;
  EXPECT_EQ(r->get_ConstDataPtr(199999, 0, 0, 0, 1, none.put()), E_FAIL);
  EXPECT_FALSE(none);
  if (GetParam() == matrixMultipleObjects) {
    auto item = Get(r.get(), 3, 0, 0, 0, false);
    ASSERT_TRUE(item);
    VQDataBuffer b = Buffer(item);
    EXPECT_EQ(b.pDouble[5], 0.0);
  } else {
    EXPECT_EQ(r->get_ConstDataPtr(3, 0, 0, 0, 1, none.put()), E_FAIL);
  }
  LONG id = 0;
  ASSERT_EQ(r->get_ID(199999, 0, 0, 0, &id), S_OK);
  EXPECT_EQ(id, -1);
  BSTR label = nullptr;
  ASSERT_EQ(r->get_Label(199999, 0, 0, 0, &label), S_OK);
  EXPECT_EQ(Str(label), L"");
  LONG p[4] = {};
  EXPECT_EQ(r->GetPositionFromID(-1, &p[0], &p[1], &p[2], &p[3]), E_FAIL);  // -1 names no element
  ASSERT_EQ(r->put_ID(199999, 0, 0, 0, 5), S_OK);
  ASSERT_EQ(r->GetPositionFromID(5, &p[0], &p[1], &p[2], &p[3]), S_OK);
  EXPECT_EQ(p[0], 199999);
  ExerciseMatrix(r.get());

  if (kSanitized) GTEST_SKIP() << "an address-space limit does not go with a sanitizer's shadow memory";
  constexpr uint64_t kHeadroom = 768ull << 20;
  constexpr uint64_t kSmall = 48ull << 20;
  // A length the stream can tell: 2 GiB, enough for 2,000,000 elements of
  // 1 KiB by the header checks (2 GiB of values, some 4 GiB of tables and
  // items for the single-object kind before).
  ReadOutcome o;
  ASSERT_TRUE(ReadInLimitedChild(With(good, at[8], 2000000), 2ull << 30, false, kHeadroom, &o)) << "no report";
  EXPECT_EQ(o.hr, kEof) << std::hex << o.hr;
  EXPECT_LT(o.peakGrowth, kSmall) << "resident peak grew by " << (o.peakGrowth >> 20) << " MiB";
  // A stream that cannot tell its length may declare up to 65536 elements.
  ASSERT_TRUE(ReadInLimitedChild(With(good, at[8], 65536), 0, true, kHeadroom, &o)) << "no report";
  EXPECT_EQ(o.hr, kEof) << std::hex << o.hr;
  EXPECT_LT(o.peakGrowth, kSmall) << "resident peak grew by " << (o.peakGrowth >> 20) << " MiB";
}

// Every cut and every hostile int32 field of a stream with several storage
// objects, IDs, labels, attributes and tag vectors: a Read that fails leaves
// a matrix that can be used and released.
TEST_P(KindStreamTest, FailedReadsLeaveAMatrixThatCanBeUsedAndReleased) {
  auto m = Make(3, 2, 4, 2, GetParam(), true);
  for (LONG d4 = 0; d4 < 2; ++d4) {
    for (LONG d1 = 0; d1 < 3; ++d1) {
      ASSERT_EQ(m->put_ID(d1, 0, 0, d4, 100 + d1 + 10 * d4), S_OK);
      ASSERT_EQ(m->put_Label(d1, 0, 0, d4, _bstr_t(L"e")), S_OK);
    }
  }
  {
    auto item = Get(m.get(), 1, 0, 0, 1);
    ASSERT_EQ(item->AddAttribute(_bstr_t(L"Run"), _bstr_t(L"Number"), _bstr_t(L""), _variant_t(7L)), S_OK);
  }
  auto carrier = NewItem(1, 1);
  vq::ComPtr<IVQTagVector> tag;
  ASSERT_EQ(carrier->GetTagVector(0, tag.put()), S_OK);
  ASSERT_EQ(tag->Add(1.0), S_OK);
  ASSERT_EQ(m->PutTagVectorsData(carrier.get()), S_OK);
  const Bytes good = Written(m.get());
  size_t failed = 0;
  for (size_t n = 0; n < good.size(); n += 3) {
    vq::ComPtr<IVQDataMatrix> r;
    const HRESULT hr = ReadAll(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)), &r);
    EXPECT_TRUE(FAILED(hr)) << "cut at " << n;
    ExerciseMatrix(r.get());
    ++failed;
  }
  const std::vector<size_t> at = Int32Fields(good);
  for (size_t f = 0; f < at.size(); ++f) {
    for (int32_t value : {0, 1, -1, 3, INT32_MIN, INT32_MAX}) {
      vq::ComPtr<IVQDataMatrix> r;
      if (FAILED(ReadAll(With(good, at[f], value), &r))) ++failed;
      ExerciseMatrix(r.get());
    }
  }
  EXPECT_GT(failed, 100u);
}

}  // namespace
