// Geometry, initialisation, the element index rule and the life of a matrix.
#include <dirent.h>

#include <set>
#include <string>

#include "support/MatrixFixture.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using GeometryTest = MatrixTest;

using KindGeometryTest = KindTest;
INSTANTIATE_TEST_SUITE_P(BothKinds, KindGeometryTest, kStorageKinds, KindName);

// A second initialisation: initialization_test.cpp.
TEST_F(GeometryTest, InitializeSetsSizesAndTheIndexRuleAndItsInverse) {
  auto m = NewMatrix();
  LONG v = -1;
  EXPECT_EQ(m->get_Dimensions(&v), S_OK);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(m->get_Size(0, &v), S_OK);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(m->get_Size(1, &v), E_FAIL);  // no dimensions yet
  EXPECT_EQ(m->Initialize(0, 2, 3, 0, 5), E_INVALIDARG);
  EXPECT_EQ(m->Initialize(0, -1, 3, 1, 5), E_INVALIDARG);
  // A product beyond 32 bits would make every later index wrap.
  EXPECT_EQ(m->Initialize(0, 65536, 65536, 1, 1), E_INVALIDARG);

  ASSERT_EQ(m->Initialize(0, 2, 3, 4, 5), S_OK);
  EXPECT_EQ(m->get_Dimensions(&v), S_OK);
  EXPECT_EQ(v, 4);
  const LONG sizes[] = {4, 2, 3, 4, 5};  // entry 0 is the number of dimensions
  for (LONG d = 0; d <= 4; ++d) {
    ASSERT_EQ(m->get_Size(d, &v), S_OK);
    EXPECT_EQ(v, sizes[d]);
  }
  EXPECT_EQ(m->get_Size(5, &v), E_FAIL);
  EXPECT_EQ(m->get_Size(-1, &v), E_FAIL);
  EXPECT_EQ(m->get_Size(1, nullptr), E_POINTER);
  EXPECT_EQ(m->get_Dimensions(nullptr), E_POINTER);

  CVQDataMatrix* impl = Impl(m.get());
  uint32_t last = 0;
  ASSERT_TRUE(impl->ElementIndex(1, 2, 3, 4, &last));
  EXPECT_EQ(last, 119u);
  EXPECT_FALSE(impl->ElementIndex(2, 2, 3, 4, &last));  // one past the last element

  std::set<uint32_t> seen;
  for (LONG d4 = 0; d4 < 5; ++d4)
    for (LONG d3 = 0; d3 < 4; ++d3)
      for (LONG d2 = 0; d2 < 3; ++d2)
        for (LONG d1 = 0; d1 < 2; ++d1) {
          uint32_t idx = 0;
          ASSERT_TRUE(impl->ElementIndex(d1, d2, d3, d4, &idx));
          EXPECT_EQ(impl->DataIndex(idx), idx);  // single-object: one storage object per element
          EXPECT_EQ(impl->SubIndex(idx), 0u);
          LONG p[4];
          impl->PositionOf(idx, &p[0], &p[1], &p[2], &p[3]);
          EXPECT_EQ(p[0], d1);
          EXPECT_EQ(p[1], d2);
          EXPECT_EQ(p[2], d3);
          EXPECT_EQ(p[3], d4);
          seen.insert(idx);
        }
  EXPECT_EQ(seen.size(), 120u);
  // d1 beyond S1 addresses a later element while the index stays in range.
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(impl->ElementIndex(2, 0, 0, 0, &a));
  ASSERT_TRUE(impl->ElementIndex(0, 1, 0, 0, &b));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(impl->ElementIndex(119, 0, 0, 0, &a));
  EXPECT_EQ(a, 119u);
  // Positions whose exact index lies outside never become valid through
  // wrap-around.
  EXPECT_FALSE(impl->ElementIndex(0, 0, 0, 0x40000000, &a));
  EXPECT_FALSE(impl->ElementIndex(-1, 0, 0, 0, &a));
  EXPECT_FALSE(impl->ElementIndex(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, &a));
  ASSERT_TRUE(impl->ElementIndex(-1, 1, 0, 0, &a));  // exactly element 1, as d1 = S1 - 1
  EXPECT_EQ(a, 1u);
  IUnknown* out = nullptr;
  EXPECT_EQ(m->get_DataPtr(0, 0, 0, 5, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);
}

// The kernel thread ids of this process.
std::set<DWORD> Threads() {
  std::set<DWORD> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ids.insert(static_cast<DWORD>(std::stoul(e->d_name)));
    }
    closedir(dir);
  }
  return ids;
}

TEST_P(KindGeometryTest, ReleaseStopsTheWorkerBeforeTheStorageGoes) {
  TraceCapture trace;
  DWORD worker = 0;
  {
    auto m = NewMatrix(2, 2, 1, 1, 4, 1, dataFormatFloat64, GetParam());
    worker = Impl(m.get())->WorkerThreadId();
    ASSERT_NE(worker, 0u);
    EXPECT_EQ(Threads().count(worker), 1u);
  }
  auto lines = trace.Lines();
  auto at = [&](const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    return -1L;
  };
  ASSERT_GE(at("Leaving WorkerThread"), 0);
  EXPECT_LT(at("Leaving WorkerThread"), at("VQDataMatrix destroyed"));
  EXPECT_LT(at("VQDataMatrix is being released."), at("Stopping worker thread"));
  EXPECT_LT(at("VQDataMatrix destroyed"), at("VQDataMatrix is released."));
}

TEST_F(GeometryTest, ReleasingANewMatrixStopsNoThread) {
  TraceCapture trace;
  { auto m = NewMatrix(); }
  EXPECT_TRUE(trace.Contains("VQDataMatrix is being released."));
  EXPECT_TRUE(trace.Contains("VQDataMatrix destroyed"));
  EXPECT_TRUE(trace.Contains("VQDataMatrix is released."));
  EXPECT_FALSE(trace.Contains("stopped"));
}

TEST_P(KindGeometryTest, HeldItemOutlivesTheMatrix) {
  vq::ComPtr<IVQData> item;
  {
    auto m = NewMatrix(2, 1, 1, 1, 16, 1, dataFormatFloat64, GetParam());
    Fill(m.get());
    item = Get(m.get(), 1, 0, 0, 0);
    ASSERT_TRUE(item);
  }
  // Still a working object, with its values on both kinds: what a client
  // holds is the client's.
  LONG x = -1;
  ASSERT_EQ(item->GetSize(0, &x), S_OK);
  ASSERT_EQ(x, 16);
  VQDataBuffer b = Buffer(item);
  EXPECT_EQ(b.pDouble[15], Expected(1, 15));
}

TEST_F(GeometryTest, PackedIndexRule) {
  auto m = NewMatrix();
  // 5 x 4 x 1 x 2 elements of 1,000,000 bytes: per d4 index 10 + 10 elements.
  ASSERT_EQ(m->Initialize2(5, 4, 1, 2, 125000, 1, dataFormatFloat64, matrixMultipleObjects), S_OK);
  CVQDataMatrix* impl = Impl(m.get());
  EXPECT_EQ(impl->DataCols(), 2u);
  EXPECT_EQ(impl->ElementsPerData(), 10u);
  EXPECT_EQ(impl->DataCount(), 4u);
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (uint32_t idx = 0; idx < 40; ++idx) {
    const uint32_t data = impl->DataIndex(idx), sub = impl->SubIndex(idx);
    EXPECT_EQ(data, (idx % 20) / 10 + 2 * (idx / 20));
    EXPECT_EQ(sub, idx % 10);
    seen.insert({data, sub});
  }
  EXPECT_EQ(seen.size(), 40u);  // every element has its own slot
}

TEST_F(GeometryTest, MultiObjectLayoutArithmetic) {
  constexpr uint32_t kAny = ~0u;  // not checked
  struct Case {
    uint32_t elementBytes, perD4;
    uint32_t want[5];  // dataCols, elementsPerData, elementsInLast, fullBytes, lastBytes
  };
  const Case cases[] = {
      {524288, 200, {10, 20, 20, 10485760, kAny}},  // 20 elements of 65,536 doubles per object
      {6000000, 7, {7, 1, kAny, 6000000, kAny}},    // more than half the limit: one element per object
      {12000000, 5, {5, 1, kAny, 0, kAny}},         // beyond the limit
      {1000000, 25, {3, 10, 5, 10000000, kAny}},    // 10 + 10 + 5
      {1000, 12, {1, 12, kAny, kAny, 12000}},       // a whole d4 index in one object
  };
  for (const Case& c : cases) {
    CVQDataMatrix::MultiLayout l{};
    ASSERT_TRUE(CVQDataMatrix::ComputeMultiLayout(c.elementBytes, c.perD4, &l)) << c.elementBytes;
    const uint32_t got[5] = {l.dataCols, l.elementsPerData, l.elementsInLast, l.fullBytes, l.lastBytes};
    for (int f = 0; f < 5; ++f) {
      EXPECT_TRUE(c.want[f] == kAny || got[f] == c.want[f])
          << c.elementBytes << " x " << c.perD4 << ", field " << f << ": " << got[f] << ", want " << c.want[f];
    }
  }
  CVQDataMatrix::MultiLayout l{};
  EXPECT_FALSE(CVQDataMatrix::ComputeMultiLayout(0, 12, &l));
}

// The matrix's axes as they are set and read, defaults included, each
// dimension on its own: model_test.cpp. Here the refusals.
TEST_F(GeometryTest, MatrixAxisRefusals) {
  auto m = NewMatrix();
  double first = -1, step = -1;
  _bstr_t unit;
  EXPECT_EQ(m->InitializeAxis(0, 1, 1, nullptr), E_FAIL);  // before Initialize
  ASSERT_EQ(m->Initialize(0, 2, 2, 2, 2), S_OK);
  EXPECT_EQ(m->InitializeAxis(4, 1, 1, nullptr), E_FAIL);
  EXPECT_EQ(m->GetAxis(4, &first, &step, unit.GetAddress()), E_FAIL);
  EXPECT_EQ(m->GetAxis(0, nullptr, &step, unit.GetAddress()), E_POINTER);
}

}  // namespace
}  // namespace vq::test
