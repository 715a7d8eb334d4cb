// The spectrum slices: which element's record lands in which result record,
// the result's axis, elements without values, swapped-out elements, and the
// position checks.
#include "slicing_support.h"
#include "support/FakeDataItem.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using SpectrumSliceTest = SlicingTest;

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
  VQDataBuffer buffer{};
  ASSERT_EQ(result->GetDataBuffer(&buffer), S_OK);
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

TEST_P(SpectrumSliceTest, EveryPlaneCopiesRecordZOfEachElementToItsRecord) {
  auto m = Make(2, 3, 4, 5, 6, 3);
  for (const Plane& plane : kPlanes) {
    for (matrixDirectionType dir : {matrixDirectionByRow, matrixDirectionByColumn}) {
      auto result = NewItem();
      ASSERT_EQ(plane.Spectra(m.get(), 2, 1, 3, dir, result.get()), S_OK) << plane.Name;
      ExpectRecords(m.get(), plane, result.get(), 2, 1, 3, dir, 6);
      vq::ComPtr<IVQAxis> axis;
      ASSERT_EQ(result->GetAxis(axis.put()), S_OK);
      LONG kind = -1, size = 0;
      axis->GetKind(&kind);
      axis->GetSize(&size);
      EXPECT_EQ(kind, axisKindLinear);
      EXPECT_EQ(size, 6);
    }
  }
}

// Swapped-out elements come back with only their record: slices_test.cpp
// SwappedOutElementsComeBackOnlyInPart.

// The records are written into the result's own buffer: a result of the
// right shape is reused and overwritten whole; one whose buffer cannot be
// read gets the failure, not a write through a bad pointer.
TEST_P(SpectrumSliceTest, ResultBufferIsFilledInPlaceOrTheFailureReturned) {
  auto m = Make(3, 2, 1, 1, 8, 2);
  auto result = NewItem(8, 6);
  VQDataBuffer before{};
  ASSERT_EQ(result->GetDataBuffer(&before), S_OK);
  for (LONG k = 0; k < 48; ++k) before.pDouble[k] = -1.0;
  ASSERT_EQ(m->GetD1D2SliceSpectrum(1, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  VQDataBuffer after{};
  ASSERT_EQ(result->GetDataBuffer(&after), S_OK);
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

TEST_P(SpectrumSliceTest, ElementWithoutValuesGivesARecordOfZeros) {
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

TEST_P(SpectrumSliceTest, BandAxisIsRepeatedOnTheResult) {
  auto m = Make(2, 1, 1, 1, 28, 1);
  _bstr_t unit(L"Hz");
  {
    auto first = Get(m.get(), 0, 0, 0, 0);
    vq::ComPtr<IVQAxis> axis;
    ASSERT_EQ(first->GetAxis(axis.put()), S_OK);
    ASSERT_EQ(axis->InitializeAsBands(28, 13, 3, unit.GetBSTR()), S_OK);
  }
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  vq::ComPtr<IVQAxis> axis;
  ASSERT_EQ(result->GetAxis(axis.put()), S_OK);
  LONG kind = 0, firstBand = 0, fraction = 0;
  axis->GetKind(&kind);
  axis->GetFirstBand(&firstBand);
  axis->GetFraction(&fraction);
  EXPECT_EQ(kind, axisKindBands);
  EXPECT_EQ(firstBand, 13);
  EXPECT_EQ(fraction, 3);
}

TEST_P(SpectrumSliceTest, PositionsRecordsAndDirectionAreChecked) {
  auto m = Make(2, 3, 4, 5, 6, 3);
  auto result = NewItem();
  EXPECT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, nullptr), E_POINTER);
  for (const Plane& plane : kPlanes) {
    const LONG fixedSize = Size(m.get(), plane.Fixed + 1);
    const struct {
      LONG z, a, b;
      const char* message;
    } cases[] = {{0, -1, 0, plane.FixedInvalid}, {0, fixedSize, 0, plane.FixedInvalid}, {0, 0, 5, "D4 invalid."},
                 {0, 0, -1, "D4 invalid."},       {3, 0, 0, "Z invalid."},                {-1, 0, 0, "Z invalid."}};
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

TEST_P(SpectrumSliceTest, ValueAxisIsRefusedAfterTheValuesArrived) {
  auto m = Make(2, 1, 1, 1, 4, 1);
  const double points[4] = {1, 2, 4, 8};
  {
    auto first = Get(m.get(), 0, 0, 0, 0);
    vq::ComPtr<IVQAxis> axis;
    ASSERT_EQ(first->GetAxis(axis.put()), S_OK);
    ASSERT_EQ(axis->InitializeWithValues(4, points, nullptr), S_OK);
  }
  auto result = NewItem();
  EXPECT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, result.get()), E_NOTIMPL);
  const auto values = Values(result.get());
  ASSERT_EQ(values.size(), 8u);
  EXPECT_EQ(values[5], Expected(1, 1));
}

INSTANTIATE_TEST_SUITE_P(Storage, SpectrumSliceTest, kStorageKinds, KindName);

}  // namespace
}  // namespace vq::test
