// The six slices. Scalar slices: where each plane puts each element's sum,
// how x ranges become index ranges on the three axis kinds, the refusals, and
// elements that are swapped out or held in part by a client. Spectrum slices:
// which element's record lands in which result record, the result's axis and
// buffer, elements without values, and the position checks.
#include <array>
#include <cmath>
#include <functional>

#include "slicing_support.h"
#include "storage/DataBase.h"
#include "storage/SingleData.h"
#include "support/FakeDataItem.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

// The sum of values first..last of record z of element idx after Fill, added
// in x order.
double ExpectedSum(uint32_t idx, LONG xs, LONG z, LONG first, LONG last) {
  double sum = 0.0;
  for (LONG k = first; k <= last; ++k) sum += SlicingTest::Expected(idx, static_cast<size_t>(z * xs + k));
  return sum;
}

bool AnyInMemory(IVQDataMatrix* m) {
  CVQDataMatrix* impl = static_cast<CVQDataMatrix*>(m);
  for (uint32_t i = 0; i < impl->DataCount(); ++i) {
    CDataBase* s = impl->StorageAt(i);
    if (s != nullptr && s->IsInMemory()) return true;
  }
  return false;
}

// Checks the shape of a scalar slice and every value against `expected`(element).
void CheckPlane(IVQDataMatrix* m, const Plane& plane, IVQData* result, const std::function<double(uint32_t)>& expected,
                LONG a = 0, LONG b = 0, matrixDirectionType dir = matrixDirectionByRow) {
  const LONG nOuter = SlicingTest::Size(m, plane.Outer + 1), nInner = SlicingTest::Size(m, plane.Inner + 1);
  LONG x = 0, z = 0;
  result->GetSize(0, &x);
  result->GetSize(1, &z);
  ASSERT_EQ(x, nOuter * nInner);
  ASSERT_EQ(z, 1);
  const auto values = SlicingTest::Values(result);
  for (LONG i = 0; i < nOuter; ++i) {
    for (LONG j = 0; j < nInner; ++j) {
      const auto p = plane.Element(i, j, a, b);
      const uint32_t e = SlicingTest::Index(m, p[0], p[1], p[2], p[3]);
      EXPECT_EQ(values[static_cast<size_t>(Plane::At(dir, i, j, nOuter, nInner))], expected(e)) << "element " << e;
    }
  }
}

// Checks that record r of `result` holds record z of the element that walk
// step (i, j) reads, for every step and the direction's record rule.
void ExpectRecords(IVQDataMatrix* m, const Plane& plane, IVQData* result, LONG z, LONG a, LONG b,
                   matrixDirectionType dir, LONG xs) {
  const LONG nOuter = SlicingTest::Size(m, plane.Outer + 1), nInner = SlicingTest::Size(m, plane.Inner + 1);
  LONG x = 0, records = 0;
  result->GetSize(0, &x);
  result->GetSize(1, &records);
  ASSERT_EQ(x, xs);
  ASSERT_EQ(records, nOuter * nInner);
  VQDataBuffer buffer = Buffer(result);
  ASSERT_NE(buffer.pDouble, nullptr);
  for (LONG i = 0; i < nOuter; ++i) {
    for (LONG j = 0; j < nInner; ++j) {
      const auto p = plane.Element(i, j, a, b);
      const uint32_t idx = SlicingTest::Index(m, p[0], p[1], p[2], p[3]);
      const LONG r = Plane::At(dir, i, j, nOuter, nInner);
      for (LONG k = 0; k < xs; ++k) {
        ASSERT_EQ(buffer.pDouble[r * xs + k], SlicingTest::Expected(idx, static_cast<size_t>(z * xs + k)))
            << plane.Name << " i=" << i << " j=" << j << " k=" << k;
      }
    }
  }
}

// The records are written into the result's own buffer: a result of the
// right shape is reused and overwritten whole; one whose buffer cannot be
// read gets the failure, not a write through a bad pointer.
using SliceTest = SlicingTest;

TEST_P(SliceTest, EveryPlanePutsEachElementsSumAndRecordAtItsPositionInBothDirections) {
  auto m = Make(2, 3, 4, 5, 10, 3);
  for (const Plane& plane : kPlanes) {
    for (matrixDirectionType dir : {matrixDirectionByRow, matrixDirectionByColumn}) {
      SCOPED_TRACE(std::string(plane.Name) + (dir == matrixDirectionByRow ? " by row" : " by column"));
      auto sums = NewItem(), records = NewItem();
      ASSERT_EQ(plane.Slice(m.get(), 2.4, 5.5, 1, 1, 2, dir, sums.get()), S_OK);
      CheckPlane(
          m.get(), plane, sums.get(), [](uint32_t e) { return ExpectedSum(e, 10, 1, 2, 6); }, 1, 2, dir);
      ASSERT_EQ(plane.Spectra(m.get(), 2, 1, 3, dir, records.get()), S_OK);
      ExpectRecords(m.get(), plane, records.get(), 2, 1, 3, dir, 10);
      vq::ComPtr<IVQAxis> axis;
      ASSERT_EQ(records->GetAxis(axis.put()), S_OK);
      LONG kind = -1, size = 0;
      axis->GetKind(&kind);
      axis->GetSize(&size);
      EXPECT_EQ(kind, axisKindLinear);
      EXPECT_EQ(size, 10);
    }
  }
}

TEST_P(SliceTest, LinearLimitsAreClampedAndRoundedAndRecordsChecked) {
  auto m = Make(2, 1, 2, 1, 100, 2);
  auto result = NewItem();
  {
    TraceCapture trace;
    ASSERT_EQ(m->GetD1D2Slice(-5.0, -0.7, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
    EXPECT_TRUE(trace.Contains("Xmin<FirstValue: -5<0"));
    EXPECT_TRUE(trace.Contains("Axis0: Size=100, FirstValue=0, Delta=1, Unit="));
    EXPECT_TRUE(trace.Contains("firstIdx: 0 (0->99)"));
  }
  EXPECT_EQ(Values(result.get())[1], ExpectedSum(1, 100, 0, 0, 0));
  {
    TraceCapture trace;
    ASSERT_EQ(m->GetD1D2Slice(97.5, 1000.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
    EXPECT_TRUE(trace.Contains("Xmax>LastValue: 1000>99"));
  }
  EXPECT_EQ(Values(result.get())[0], ExpectedSum(0, 100, 1, 98, 99));
  {
    TraceCapture trace;
    ASSERT_EQ(m->GetD1D3Slice(-5.0, 1000.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
    EXPECT_FALSE(trace.Contains("FirstValue:"));
    EXPECT_FALSE(trace.Contains("LastValue:"));
    EXPECT_TRUE(trace.Contains("firstIdx: 0"));
    EXPECT_FALSE(trace.Contains("firstIdx: 0 (0->99)"));
  }
  EXPECT_EQ(Values(result.get())[3], ExpectedSum(3, 100, 1, 0, 99));
  // A record beyond the last is lowered to the last; a negative one fails.
  {
    TraceCapture trace;
    ASSERT_EQ(m->GetD2D3Slice(0.0, 9.0, 7, 1, 0, matrixDirectionByRow, result.get()), S_OK);
    EXPECT_TRUE(trace.Contains("Z>Last Z Index Value: 7>1"));
  }
  EXPECT_EQ(Values(result.get())[1], ExpectedSum(3, 100, 1, 0, 9));  // element (1, 0, 1, 0)
  TraceCapture trace;
  EXPECT_EQ(m->GetD1D2Slice(0.0, 9.0, -1, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("Z invalid."));
}

TEST_P(SliceTest, ReversedRangeFailsInD1D2AndGivesZerosWithoutReadingElsewhere) {
  auto m = Make(2, 2, 2, 1, 20, 1);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  ASSERT_FALSE(AnyInMemory(m.get()));
  auto result = NewItem(4, 1);
  {
    TraceCapture trace;
    EXPECT_EQ(m->GetD1D2Slice(8.0, 3.0, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
    EXPECT_TRUE(trace.Contains("lastIdx invalid."));
  }
  for (const Plane& plane : {kPlanes[1], kPlanes[2]}) {
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);
    result->SetAllValues(7.0);
    ASSERT_EQ(plane.Slice(m.get(), 8.0, 3.0, 0, 0, 0, matrixDirectionByColumn, result.get()), S_OK) << plane.Name;
    for (double v : Values(result.get())) EXPECT_EQ(v, 0.0) << plane.Name;
    // Only the reference element was brought back.
    for (uint32_t e = 1; e < 8; ++e) {
      CDataBase* s = Impl(m.get())->StorageAt(Impl(m.get())->DataIndex(e));
      if (Impl(m.get())->DataIndex(e) != Impl(m.get())->DataIndex(0)) {
        EXPECT_FALSE(s->IsInMemory()) << e;
      }
    }
  }
}

// Gives every element the same axis through its item.
void SetAxes(IVQDataMatrix* m, const std::function<void(IVQAxis*)>& init) {
  LONG n = 1;
  for (LONG d = 1; d <= 4; ++d) {
    LONG s = 0;
    m->get_Size(d, &s);
    n *= s;
  }
  for (LONG e = 0; e < n; ++e) {
    LONG p[4] = {e, 0, 0, 0};
    auto item = SlicingTest::Get(m, p[0], p[1], p[2], p[3]);
    ASSERT_TRUE(item);
    vq::ComPtr<IVQAxis> axis;
    ASSERT_EQ(item->GetAxis(axis.put()), S_OK);
    init(axis.get());
  }
}

TEST_P(SliceTest, BandAxisRangesGoThroughTheBandTableAndSpectraRepeatTheAxis) {
  auto m = Make(2, 2, 1, 1, 28, 1);
  _bstr_t unit(L"Hz");
  SetAxes(m.get(), [&](IVQAxis* a) { ASSERT_EQ(a->InitializeAsBands(28, 13, 3, unit.GetBSTR()), S_OK); });
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2Slice(0.5, 100.0, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[3], ExpectedSum(3, 28, 0, 0, 7));
  ASSERT_EQ(m->GetD1D2Slice(25.0, 100000.0, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[2], ExpectedSum(2, 28, 0, 1, 27));
  TraceCapture trace;
  EXPECT_EQ(m->GetD1D2Slice(0.5, 200000.0, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("COM Error"));
  // The spectra repeat the band axis on their result.
  auto records = NewItem();
  ASSERT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, records.get()), S_OK);
  vq::ComPtr<IVQAxis> axis;
  ASSERT_EQ(records->GetAxis(axis.put()), S_OK);
  LONG kind = 0, firstBand = 0, fraction = 0;
  axis->GetKind(&kind);
  axis->GetFirstBand(&firstBand);
  axis->GetFraction(&fraction);
  EXPECT_EQ(kind, axisKindBands);
  EXPECT_EQ(firstBand, 13);
  EXPECT_EQ(fraction, 3);
}

TEST_P(SliceTest, ValueAxisAsksTheAxisForIndicesAndSpectraRefuseIt) {
  auto m = Make(3, 1, 1, 1, 10, 1);
  const double points[10] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256};
  SetAxes(m.get(), [&](IVQAxis* a) { ASSERT_EQ(a->InitializeWithValues(10, points, nullptr), S_OK); });
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D3Slice(1.4, 20.0, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  const auto values = Values(result.get());
  for (uint32_t e = 0; e < 3; ++e) EXPECT_EQ(values[e], ExpectedSum(e, 10, 0, 1, 5)) << e;
  // The spectra refuse such an axis, after the values arrived.
  EXPECT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, result.get()), E_NOTIMPL);
  const auto records = Values(result.get());
  ASSERT_EQ(records.size(), 30u);
  EXPECT_EQ(records[11], Expected(1, 1));
}

TEST_P(SliceTest, RefusalsReturnTheirCodes) {
  auto m = Make(2, 3, 4, 5, 10, 2);
  auto result = NewItem();
  EXPECT_EQ(m->GetD1D2Slice(0, 5, 0, 0, 0, matrixDirectionByRow, nullptr), E_POINTER);
  EXPECT_EQ(m->GetD2D3Slice(0, 5, 0, 0, 0, matrixDirectionByRow, m.get()), E_POINTER);
  {
    TraceCapture trace;
    EXPECT_EQ(m->GetD1D3Slice(0, 5, 0, 0, 0, static_cast<matrixDirectionType>(2), result.get()), E_FAIL);
    EXPECT_TRUE(trace.Contains("Invalid direction."));
    LONG x = 0;
    result->GetSize(0, &x);
    EXPECT_EQ(x, 8);  // sized before the direction is looked at
  }
  EXPECT_EQ(m->GetD1D2Slice(5, 2, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  EXPECT_EQ(m->GetD1D2Slice(std::nan(""), 2, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  {
    auto first = Get(m.get(), 0, 0, 0, 0);
    vq::ComPtr<IVQAxis> axis;
    ASSERT_EQ(first->GetAxis(axis.put()), S_OK);
    ASSERT_EQ(axis->InitializeAsKind1(10, 1.0, 2.0, nullptr), S_OK);
  }
  EXPECT_EQ(m->GetD1D2Slice(0, 5, 0, 0, 0, matrixDirectionByRow, result.get()), E_NOTIMPL);
  auto complex = Make(2, 2, 1, 1, 4, 1, dataFormatComplex128);
  EXPECT_EQ(complex->GetD1D2Slice(0, 3, 0, 0, 0, matrixDirectionByRow, result.get()), E_NOTIMPL);
}

TEST_P(SliceTest, PlanesPastTheLastElementAreRefusedBeforeAnyElementIsRead) {
  auto m = Make(2, 3, 4, 5, 10, 2);
  auto result = NewItem();
  const std::array<LONG, 2> outside[] = {{0, 5}, {-1, 0}, {0, -1}, {4, 4}, {200, 0}};
  for (const Plane& plane : kPlanes) {
    for (const auto& f : outside) {
      ASSERT_EQ(m->AllSaveToDisk(), S_OK);
      TraceCapture trace;
      EXPECT_EQ(plane.Slice(m.get(), 0, 5, 0, f[0], f[1], matrixDirectionByRow, result.get()), E_FAIL)
          << plane.Name << " " << f[0] << "," << f[1];
      EXPECT_TRUE(trace.Contains("Plane outside the matrix."));
      EXPECT_FALSE(AnyInMemory(m.get())) << plane.Name;
    }
  }
  // Positions are not checked one by one: d3 = 4 is d3 = 0 of the next d4.
  ASSERT_EQ(m->GetD1D2Slice(0, 5, 1, 4, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[5], ExpectedSum(Index(m.get(), 1, 2, 0, 1), 10, 1, 0, 5));
}

// Both kinds of slice read back only what they need of a swapped-out
// single-object element: the x range of record Z, or record Z whole. (Their
// values while elements are swapped out: model_test.cpp, whose slices run
// while memory is low.)
TEST_P(SliceTest, SwappedOutElementsComeBackOnlyInPart) {
  auto m = Make(3, 2, 1, 1, 50, 4);
  using Bounds = std::array<uint32_t, 4>;  // first x, first record, last x, last record
  auto held = [&] {                        // of a single-object element; none for packed storage
    Bounds b{};
    auto* s = dynamic_cast<CSingleData*>(Impl(m.get())->StorageAt(4));
    if (s != nullptr) s->HeldBounds(&b[0], &b[1], &b[2], &b[3]);
    return b;
  };
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2Slice(10.0, 19.0, 2, 0, 0, matrixDirectionByColumn, result.get()), S_OK);
  CheckPlane(
      m.get(), kPlanes[0], result.get(), [](uint32_t e) { return ExpectedSum(e, 50, 2, 10, 19); }, 0, 0,
      matrixDirectionByColumn);
  EXPECT_EQ(held(), (GetParam() == matrixSingleObject ? Bounds{10, 2, 19, 2} : Bounds{}));
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  ASSERT_EQ(m->GetD1D2SliceSpectrum(2, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(held(), (GetParam() == matrixSingleObject ? Bounds{0, 2, 49, 2} : Bounds{}));
  Verify(m.get());
}

TEST_P(SliceTest, PartsHeldByAClientAreReadWhereTheyReallyAre) {
  auto m = Make(3, 1, 1, 1, 20, 4);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  // Element 1: a narrow part of record 1 (x 3..15); element 2: a run of
  // whole records (1..2). The client holds both while the slice asks for
  // less than each.
  vq::ComPtr<IUnknown> narrow, run;
  ASSERT_EQ(m->get_ConstDataSubsetPtr(1, 0, 0, 0, 23, 35, 0, narrow.put()), S_OK);
  ASSERT_EQ(m->get_ConstDataSubsetPtr(2, 0, 0, 0, 20, 59, 0, run.put()), S_OK);
  auto result = NewItem();
  HRESULT hr = m->GetD1D2Slice(5.0, 9.0, 1, 0, 0, matrixDirectionByRow, result.get());
  if (GetParam() == matrixSingleObject) {
    ASSERT_EQ(hr, S_OK);
  }
  if (hr == S_OK) {
    const auto values = Values(result.get());
    for (uint32_t e = 0; e < 3; ++e) EXPECT_EQ(values[e], ExpectedSum(e, 20, 1, 5, 9)) << e;
  }
}

// An item whose value k is first + k * step, in format 1.
vq::ComPtr<IVQData> Ramp(LONG x, LONG z, double first, double step) {
  auto item = SlicingTest::NewItem(x, z);
  VQDataBuffer b = Buffer(item);
  for (LONG k = 0; k < x * z; ++k) b.pDouble[k] = first + k * step;
  return item;
}

// Values first..last of record z of a ramp item with records of xs values,
// added in x order.
double RampSum(double start, double step, LONG xs, LONG z, LONG first, LONG last) {
  double sum = 0.0;
  for (LONG k = first; k <= last; ++k) sum += start + (z * xs + k) * step;
  return sum;
}

// Elements of a single-object matrix may have another record count or x size
// than the reference element: record Z of each is found by its own shape,
// also when a client holds a run of its records.
TEST_P(SliceTest, ElementsOfAnotherShapeAreReadAtTheirOwnRecord) {
  if (GetParam() != matrixSingleObject) GTEST_SKIP() << "packed elements all have the allocation's shape";
  auto m = Make(3, 1, 1, 1, 10, 2);
  ASSERT_EQ(m->put_DataPtr(1, 0, 0, 0, Ramp(10, 4, 7000.0, 0.25).get()), S_OK);  // more records
  ASSERT_EQ(m->put_DataPtr(2, 0, 0, 0, Ramp(12, 2, 9000.0, 0.5).get()), S_OK);   // wider records
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  // The client holds records 1..2 of element 1: as many records as the
  // reference element has, but not its first.
  vq::ComPtr<IUnknown> run;
  ASSERT_EQ(m->get_ConstDataSubsetPtr(1, 0, 0, 0, 10, 29, 0, run.put()), S_OK);

  for (const Plane& plane : {kPlanes[0], kPlanes[1]}) {  // both walk d1: elements 0, 1, 2
    SCOPED_TRACE(plane.Name);
    auto result = NewItem();
    ASSERT_EQ(plane.Slice(m.get(), 2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
    const auto values = Values(result.get());
    EXPECT_EQ(values[0], ExpectedSum(0, 10, 1, 2, 6));
    EXPECT_EQ(values[1], RampSum(7000.0, 0.25, 10, 1, 2, 6));
    EXPECT_EQ(values[2], RampSum(9000.0, 0.5, 12, 1, 2, 6));
  }
  auto spectra = NewItem();
  ASSERT_EQ(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, spectra.get()), S_OK);
  const auto records = Values(spectra.get());
  ASSERT_EQ(records.size(), 30u);
  for (LONG k = 0; k < 10; ++k) {
    EXPECT_EQ(records[static_cast<size_t>(k)], Expected(0, static_cast<size_t>(10 + k))) << k;
    EXPECT_EQ(records[static_cast<size_t>(10 + k)], RampSum(7000.0, 0.25, 10, 1, k, k)) << k;
    EXPECT_EQ(records[static_cast<size_t>(20 + k)], RampSum(9000.0, 0.5, 12, 1, k, k)) << k;
  }
  // The client's run is untouched.
  const auto held = Values(run.query<IVQData>().get());
  ASSERT_EQ(held.size(), 20u);
  EXPECT_EQ(held[0], RampSum(7000.0, 0.25, 10, 1, 0, 0));

  // An element without record Z, or without the x range, fails the slice
  // instead of giving values of another record.
  auto small = Make(2, 1, 1, 1, 10, 2);
  ASSERT_EQ(small->put_DataPtr(1, 0, 0, 0, Ramp(10, 1, 1.0, 1.0).get()), S_OK);
  auto result = NewItem();
  EXPECT_EQ(small->GetD1D2Slice(2.0, 6.0, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[1], RampSum(1.0, 1.0, 10, 0, 2, 6));
  {
    TraceCapture trace;
    EXPECT_EQ(small->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
    EXPECT_TRUE(trace.Contains("Element does not hold the requested values."));
  }
  EXPECT_EQ(small->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  ASSERT_EQ(small->put_DataPtr(1, 0, 0, 0, Ramp(5, 2, 1.0, 1.0).get()), S_OK);
  EXPECT_EQ(small->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);

  // Items shaped by clients before any allocation: the storage objects learn
  // the shapes only when the slice asks them.
  auto shapedByClients = NewMatrix();
  ASSERT_EQ(shapedByClients->Initialize(1, 2, 1, 1, 1), S_OK);
  const LONG widths[2] = {10, 12};
  for (LONG e = 0; e < 2; ++e) {
    auto item = Get(shapedByClients.get(), e, 0, 0, 0);
    ASSERT_TRUE(item);
    ASSERT_EQ(item->Allocate(widths[e], 2, dataFormatFloat64), S_OK);
    VQDataBuffer b = Buffer(item);
    for (LONG k = 0; k < widths[e] * 2; ++k) b.pDouble[k] = 100.0 * e + k;
  }
  ASSERT_EQ(shapedByClients->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[0], RampSum(0.0, 1.0, 10, 1, 2, 6));
  EXPECT_EQ(Values(result.get())[1], RampSum(100.0, 1.0, 12, 1, 2, 6));
}

// The band of a frequency on a 1/3-octave axis, from the band edges
// 10^((n -+ 0.5) / 10): n = floor(10 log10 f + 0.5).
LONG ThirdOctaveBand(double frequency) { return static_cast<LONG>(std::floor(10.0 * std::log10(frequency) + 0.5)); }

// A band axis may start below band 0 (below 1 Hz). The band table's "not
// found" is never taken for band -1: a lower limit in the 1 Hz band is band
// 0, an upper limit the table cannot place fails the slice.
TEST_P(SliceTest, BandAxisBelowOneHertzNeverReadsBandMinusOneForNotFound) {
  auto m = Make(2, 2, 1, 1, 30, 1);
  _bstr_t unit(L"Hz");
  const LONG firstBand = -5;  // bands -5 .. 24: 0.32 Hz .. 251 Hz
  SetAxes(m.get(), [&](IVQAxis* a) { ASSERT_EQ(a->InitializeAsBands(30, firstBand, 3, unit.GetBSTR()), S_OK); });
  ASSERT_EQ(ThirdOctaveBand(1.05), 0);
  ASSERT_EQ(ThirdOctaveBand(20.0), 13);
  for (const Plane& plane : kPlanes) {
    SCOPED_TRACE(plane.Name);
    // Limits below 1 Hz are raised to 1 Hz, which lies in band 0.
    for (double xmin : {1.05, 0.5}) {
      SCOPED_TRACE(xmin);
      auto result = NewItem();
      ASSERT_EQ(plane.Slice(m.get(), xmin, 20.0, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
      CheckPlane(m.get(), plane, result.get(),
                 [&](uint32_t e) { return ExpectedSum(e, 30, 0, 0 - firstBand, ThirdOctaveBand(20.0) - firstBand); });
    }
    // Upper limits in the 1 Hz band or in the margin above the table.
    for (double xmax : {1.05, 150000.0}) {
      auto result = NewItem();
      TraceCapture trace;
      EXPECT_EQ(plane.Slice(m.get(), 0.5, xmax, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL) << xmax;
      EXPECT_TRUE(trace.Contains("lastIdx invalid.")) << xmax;
    }
    // A lower limit in the margin above the table.
    auto result = NewItem();
    TraceCapture trace;
    EXPECT_EQ(plane.Slice(m.get(), 150000.0, 20.0, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
    EXPECT_TRUE(trace.Contains("firstIdx invalid."));
  }
}

// A linear axis whose values fall (negative delta): the range is the values
// between the limits, at the nearest indices, clamped to the axis's lowest
// and highest value.
TEST_P(SliceTest, LinearAxisWithANegativeDeltaSumsTheRangeOnly) {
  auto m = Make(2, 1, 2, 1, 100, 2);
  _bstr_t unit(L"Hz");
  SetAxes(m.get(), [&](IVQAxis* a) { ASSERT_EQ(a->InitializeAsLinear(100, 99.0, -1.0, unit.GetBSTR()), S_OK); });
  // Index i holds the value 99 - i.
  auto indexOf = [](double value) { return static_cast<LONG>(99.0 - std::round(value)); };
  struct Range {
    double Xmin, Xmax;
    LONG First, Last;
  };
  const Range ranges[] = {
      {10.2, 20.3, indexOf(20.3), indexOf(10.2)},  // 79 .. 89
      {-5.0, 3.2, indexOf(3.2), 99},               // below the lowest value: 96 .. 99
      {95.6, 500.0, 0, indexOf(95.6)},             // above the highest value: 0 .. 3
  };
  for (const Plane& plane : kPlanes) {
    for (const Range& r : ranges) {
      SCOPED_TRACE(std::string(plane.Name) + " " + std::to_string(r.Xmin) + ".." + std::to_string(r.Xmax));
      auto result = NewItem();
      ASSERT_EQ(plane.Slice(m.get(), r.Xmin, r.Xmax, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
      CheckPlane(m.get(), plane, result.get(), [&](uint32_t e) { return ExpectedSum(e, 100, 1, r.First, r.Last); });
    }
  }
  // Limits the wrong way round: refused by D1-D2, empty sums elsewhere.
  auto result = NewItem();
  EXPECT_EQ(m->GetD1D2Slice(20.3, 10.2, 0, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  ASSERT_EQ(m->GetD1D3Slice(20.3, 10.2, 0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  for (double v : Values(result.get())) EXPECT_EQ(v, 0.0);
}

TEST_P(SliceTest, ResultBufferIsFilledInPlaceOrTheFailureReturned) {
  auto m = Make(3, 2, 1, 1, 8, 2);
  auto result = NewItem(8, 6);
  VQDataBuffer before = Buffer(result);
  for (LONG k = 0; k < 48; ++k) before.pDouble[k] = -1.0;
  ASSERT_EQ(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  VQDataBuffer after = Buffer(result);
  EXPECT_EQ(after.pDouble, before.pDouble) << "same shape: the buffer is reused";
  ExpectRecords(m.get(), kPlanes[0], result.get(), 1, 0, 0, matrixDirectionByRow, 8);

  auto probe = std::make_shared<vq::test::DataItemProbe>();
  auto failing = vq::test::FakeDataItem::Make(probe, 8, 6);
  ASSERT_TRUE(failing);
  probe->failBuffer = true;
  EXPECT_TRUE(FAILED(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, failing.get())));
  probe->failBuffer = false;
  Verify(m.get());
}

TEST_P(SliceTest, ElementWithoutValuesGivesARecordOfZeros) {
  auto m = Make(2, 2, 1, 1, 5, 2);
  if (m->put_DataPtr(1, 1, 0, 0, NewItem().get()) != S_OK) {
    GTEST_SKIP() << "this storage kind keeps values for every element";
  }
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByColumn, result.get()), S_OK);
  const auto values = Values(result.get());
  ASSERT_EQ(values.size(), 20u);
  for (LONG k = 0; k < 5; ++k) {
    EXPECT_EQ(values[static_cast<size_t>(3 * 5 + k)], 0.0);  // (1, 1) by column: record 1 + 2 * 1
    EXPECT_EQ(values[static_cast<size_t>(1 * 5 + k)], Expected(2, static_cast<size_t>(5 + k)));  // (0, 1)
  }
}

TEST_P(SliceTest, PositionsRecordsAndDirectionAreChecked) {
  auto m = Make(2, 3, 4, 5, 6, 3);
  auto result = NewItem();
  EXPECT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, nullptr), E_POINTER);
  for (const Plane& plane : kPlanes) {
    const LONG fixedSize = Size(m.get(), plane.Fixed + 1);
    const struct {
      LONG z, a, b;
      const char* message;
    } cases[] = {{0, -1, 0, plane.FixedInvalid}, {0, fixedSize, 0, plane.FixedInvalid},
                 {0, 0, 5, "D4 invalid."},       {0, 0, -1, "D4 invalid."},
                 {3, 0, 0, "Z invalid."},        {-1, 0, 0, "Z invalid."}};
    for (const auto& c : cases) {
      TraceCapture trace;
      EXPECT_EQ(plane.Spectra(m.get(), c.z, c.a, c.b, matrixDirectionByRow, result.get()), E_FAIL) << plane.Name;
      EXPECT_TRUE(trace.Contains(c.message)) << plane.Name << " " << c.message;
    }
  }
  TraceCapture trace;
  EXPECT_EQ(m->GetD2D3SliceSpectrum(0, 0, 0, static_cast<matrixDirectionType>(2), result.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("Invalid direction."));
  LONG records = 0;
  result->GetSize(1, &records);
  EXPECT_EQ(records, 12);
}

// The slices read a group of elements in place under one lock and check
// memory between groups. With memory low every check saves what it can, so
// each group finds its storage objects swapped out again: packed objects of
// 10 MiB come back whole, single-object elements in part, and every plane
// (walk orders that stay in one object or jump between them) still sums and
// copies the values of the right element.
TEST_P(SliceTest, ObjectsSavedBetweenGroupsAreReadBackForEachGroup) {
  constexpr LONG kValues = 131072;  // 1 MiB elements: ten to a packed object
  auto m = Make(4, 3, 2, 1, kValues, 1);
  ASSERT_GT(Impl(m.get())->DataCount(), 2u);
  m_MemEnv.available = 64ull << 20;  // below the memory check's threshold
  auto result = NewItem();
  for (const Plane& plane : kPlanes) {
    SCOPED_TRACE(plane.Name);
    ASSERT_EQ(plane.Slice(m.get(), 5.0, kValues - 3.0, 0, 1, 0, matrixDirectionByColumn, result.get()), S_OK);
    CheckPlane(
        m.get(), plane, result.get(), [](uint32_t e) { return ExpectedSum(e, kValues, 0, 5, kValues - 3); }, 1, 0,
        matrixDirectionByColumn);
    ASSERT_EQ(plane.Spectra(m.get(), 0, 1, 0, matrixDirectionByRow, result.get()), S_OK);
    ExpectRecords(m.get(), plane, result.get(), 0, 1, 0, matrixDirectionByRow, kValues);
  }
  m_MemEnv.available = 8ull << 30;
  Verify(m.get());
}

// What a client writes into an item it still holds is what the slices read:
// a packed element's buffer does not have those values before the item is
// folded back. After the release they are the element's.
TEST_P(SliceTest, ValuesOfAnItemAClientHoldsForWritingAreTheOnesRead) {
  auto m = Make(3, 2, 1, 1, 8, 2);
  auto held = Get(m.get(), 1, 1, 0, 0);  // element 4, for writing
  ASSERT_TRUE(held);
  VQDataBuffer b = Buffer(held);
  for (LONG k = 0; k < 16; ++k) b.pDouble[k] = 0.5 * k;
  auto expected = [](uint32_t e) { return e == 4 ? RampSum(0.0, 0.5, 8, 1, 2, 6) : ExpectedSum(e, 8, 1, 2, 6); };
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  CheckPlane(m.get(), kPlanes[0], result.get(), expected);
  ASSERT_EQ(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  EXPECT_EQ(Values(result.get())[static_cast<size_t>(Plane::At(matrixDirectionByRow, 1, 1, 3, 2) * 8 + 3)], 5.5);
  held = nullptr;
  ASSERT_EQ(m->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  CheckPlane(m.get(), kPlanes[0], result.get(), expected);
}

// Single-object elements of another shape are read in place as they are
// read from disk, and an item a client reshaped while holding it is never
// read with the shape the element had before: the slice fails as it does
// for a swapped-out element that lacks the values.
TEST_P(SliceTest, InMemoryElementsAreReadByTheShapeTheirItemShows) {
  if (GetParam() != matrixSingleObject) GTEST_SKIP() << "packed elements all have the allocation's shape";
  auto m = Make(3, 1, 1, 1, 10, 2);
  ASSERT_EQ(m->put_DataPtr(1, 0, 0, 0, Ramp(10, 4, 7000.0, 0.25).get()), S_OK);
  ASSERT_EQ(m->put_DataPtr(2, 0, 0, 0, Ramp(12, 2, 9000.0, 0.5).get()), S_OK);
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  auto values = Values(result.get());
  EXPECT_EQ(values[0], ExpectedSum(0, 10, 1, 2, 6));
  EXPECT_EQ(values[1], RampSum(7000.0, 0.25, 10, 1, 2, 6));
  EXPECT_EQ(values[2], RampSum(9000.0, 0.5, 12, 1, 2, 6));

  auto reshaped = Get(m.get(), 1, 0, 0, 0);
  ASSERT_TRUE(reshaped);
  ASSERT_EQ(reshaped->Allocate(6, 4, dataFormatFloat64), S_OK);
  TraceCapture trace;
  EXPECT_EQ(m->GetD1D2Slice(2.0, 6.0, 1, 0, 0, matrixDirectionByRow, result.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("Element does not hold the requested values."));
}

// A healthy run traces nothing at level 1, where failures are: elements with
// attributes for some records only (their other records carry none, which is
// no failure) are sliced in every plane without a line.
TEST_P(SliceTest, SlicesOfElementsWithSomeRecordAttributesTraceNothingAtLevelOne) {
  auto m = Make(2, 3, 4, 2, 10, 3);
  auto source = NewItem(10, 3);
  ASSERT_EQ(source->AddAttribute(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Speed").GetBSTR(), _bstr_t(L"").GetBSTR(),
                                 _variant_t(1500.0)),
            S_OK);
  ASSERT_EQ(source->AddIndexedAttribute(1, 1, _bstr_t(L"Rec").GetBSTR(), _bstr_t(L"rpm").GetBSTR(),
                                        _bstr_t(L"").GetBSTR(), _variant_t(900.0)),
            S_OK);
  for (LONG d4 = 0; d4 < 2; ++d4) ASSERT_EQ(m->put_AttributesDataPtr(d4, source.get()), S_OK);
  TraceCapture trace(1, "DataMatrix;Assert");
  for (const Plane& plane : kPlanes) {
    SCOPED_TRACE(plane.Name);
    auto sums = NewItem(), records = NewItem();
    EXPECT_EQ(plane.Slice(m.get(), 2.4, 5.5, 1, 1, 1, matrixDirectionByRow, sums.get()), S_OK);
    EXPECT_EQ(plane.Spectra(m.get(), 2, 1, 1, matrixDirectionByRow, records.get()), S_OK);
    // Attributes that exist still arrive (record 1's, in result record 1).
    _variant_t rpm;
    EXPECT_EQ(
        records->GetIndexedAttributeValue(1, 1, _bstr_t(L"Rec").GetBSTR(), _bstr_t(L"rpm").GetBSTR(), rpm.GetAddress()),
        S_OK);
  }
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Storage, SliceTest, kStorageKinds, KindName);

}  // namespace
}  // namespace vq::test
