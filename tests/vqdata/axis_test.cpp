// The x-axis of a data item: kinds, parameters and GetIndexOfValue.
#include <cmath>

#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

vq::ComPtr<IVQAxis> AxisOf(IVQData* item) {
  vq::ComPtr<IVQAxis> axis;
  EXPECT_EQ(item->GetAxis(axis.put()), S_OK);
  return axis;
}

LONG IndexOf(IVQAxis* axis, double value) {
  LONG index = -99;
  EXPECT_EQ(axis->GetIndexOfValue(value, &index), S_OK) << value;
  return index;
}

TEST(VQAxis, FreshAxisIsLinearAndFollowsTheXSizeUntilInitialised) {
  vq::ComPtr<IVQData> item = NewItem();
  vq::ComPtr<IVQAxis> axis = AxisOf(item.get());
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetKind), 0);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetSize), 0);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetFirstValue), 0.0);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetDelta), 1.0);
  item->Allocate(17, 2, 1);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetSize), 17);
  axis->InitializeAsLinear(5, 0.0, 1.0, Text(L"Hz"));
  item->Allocate(9, 2, 1);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetSize), 5);
  // The item hands out its one axis, not a copy.
  EXPECT_EQ(AxisOf(item.get()).get(), axis.get());
}

TEST(VQAxis, LinearIndexRoundsHalvesUpAndClampsToTheEnds) {
  vq::ComPtr<IVQAxis> axis = AxisOf(NewItem().get());
  ASSERT_EQ(axis->InitializeAsLinear(100, 0.0, 1.0, Text(L"Hz")), S_OK);
  EXPECT_EQ(IndexOf(axis.get(), 2.4), 2);
  EXPECT_EQ(IndexOf(axis.get(), 2.5), 3);
  EXPECT_EQ(IndexOf(axis.get(), 5.5), 6);
  EXPECT_EQ(IndexOf(axis.get(), -5.0), 0);
  EXPECT_EQ(IndexOf(axis.get(), 1e300), 99);
  EXPECT_EQ(IndexOf(axis.get(), -INFINITY), 0);
  LONG index = 0;
  EXPECT_EQ(axis->GetIndexOfValue(NAN, &index), E_INVALIDARG);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetLastValue), 99.0);
}

TEST(VQAxis, LogarithmicAxisIsGeometric) {
  vq::ComPtr<IVQAxis> axis = AxisOf(NewItem().get());
  ASSERT_EQ(axis->InitializeAsKind1(4, 10.0, 10.0, Text(L"Hz")), S_OK);
  EXPECT_DOUBLE_EQ(Get(axis.get(), &IVQAxis::GetValue, 2), 1000.0);
  EXPECT_EQ(IndexOf(axis.get(), 900.0), 2);
  EXPECT_EQ(IndexOf(axis.get(), 5e4), 3);
  EXPECT_EQ(axis->InitializeAsKind1(4, 0.0, 10.0, Text(L"Hz")), E_INVALIDARG);
  EXPECT_EQ(axis->InitializeAsKind1(4, 1.0, -2.0, Text(L"Hz")), E_INVALIDARG);
}

TEST(VQAxis, BandAxisFindsTheBandThatHoldsTheValue) {
  vq::ComPtr<IVQAxis> axis = AxisOf(NewItem().get());
  ASSERT_EQ(axis->InitializeAsBands(28, 13, 3, Text(L"Hz")), S_OK);
  EXPECT_NEAR(Get(axis.get(), &IVQAxis::GetFirstValue), 19.95, 0.01);  // band 13 of 1/3 octave
  EXPECT_EQ(IndexOf(axis.get(), 20.0), 0);
  EXPECT_EQ(IndexOf(axis.get(), 100.0), 7);  // band 20
  // On the edge between bands 29 and 30 (891.25 Hz) the upper band wins.
  EXPECT_EQ(IndexOf(axis.get(), std::pow(10.0, 2.95)), 30 - 13);
  EXPECT_EQ(IndexOf(axis.get(), 0.5), 0);
  EXPECT_EQ(IndexOf(axis.get(), 1e6), 27);
  for (LONG bad : {0, 2, 6, -3}) EXPECT_EQ(axis->InitializeAsBands(10, 0, bad, Text(L"Hz")), E_INVALIDARG);
}

TEST(VQAxis, ValueAxisMapsValuesToIndices) {
  vq::ComPtr<IVQAxis> axis = AxisOf(NewItem().get());
  const double values[] = {1.0, 2.0, 4.0, 8.0, 100.0};
  ASSERT_EQ(axis->InitializeWithValues(5, values, Text(L"rpm")), S_OK);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetKind), 3);
  EXPECT_EQ(IndexOf(axis.get(), 4.0), 2);
  EXPECT_EQ(IndexOf(axis.get(), 5.9), 2);
  EXPECT_EQ(IndexOf(axis.get(), 6.0), 3);  // halfway: the upper point
  EXPECT_EQ(IndexOf(axis.get(), 0.0), 0);
  EXPECT_EQ(IndexOf(axis.get(), 1e9), 4);
  double got[5] = {};
  ASSERT_EQ(axis->GetValues(5, got), S_OK);
  EXPECT_EQ(got[4], 100.0);
  EXPECT_EQ(axis->GetValues(6, got), E_INVALIDARG);
  const double unordered[] = {1.0, 3.0, 2.0};
  EXPECT_EQ(axis->InitializeWithValues(3, unordered, Text(L"")), E_INVALIDARG);
  const double withNaN[] = {1.0, NAN};
  EXPECT_EQ(axis->InitializeWithValues(2, withNaN, Text(L"")), E_INVALIDARG);
  EXPECT_EQ(axis->InitializeWithValues(2, nullptr, Text(L"")), E_POINTER);
  // A refused definition leaves the axis as it was.
  EXPECT_EQ(IndexOf(axis.get(), 8.0), 3);
}

TEST(VQAxis, EmptyAxisHasNoIndexAndInvalidParametersAreRefused) {
  vq::ComPtr<IVQAxis> axis = AxisOf(NewItem().get());
  LONG index = 0;
  EXPECT_EQ(axis->GetIndexOfValue(1.0, &index), E_FAIL);
  EXPECT_EQ(axis->InitializeAsLinear(-1, 0.0, 1.0, Text(L"")), E_INVALIDARG);
  EXPECT_EQ(axis->InitializeAsLinear(3, INFINITY, 1.0, Text(L"")), E_INVALIDARG);
  EXPECT_EQ(axis->InitializeAsLinear(3, 0.0, NAN, Text(L"")), E_INVALIDARG);
  ASSERT_EQ(axis->InitializeAsLinear(3, 0.0, 0.0, Text(L"")), S_OK);
  EXPECT_EQ(IndexOf(axis.get(), 7.0), 0);
}

TEST(VQAxis, CopyFromAndIsEqualCompareEveryParameter) {
  vq::ComPtr<IVQData> a = NewItem();
  vq::ComPtr<IVQData> b = NewItem();
  vq::ComPtr<IVQAxis> ax = AxisOf(a.get()), bx = AxisOf(b.get());
  ax->InitializeAsBands(10, 5, 12, Text(L"Hz"));
  ASSERT_EQ(b->SetAxis(ax.get()), S_OK);
  EXPECT_EQ(Get(ax.get(), &IVQAxis::IsEqual, bx.get()), VARIANT_TRUE);
  bx->SetUnit(Text(L"kHz"));
  EXPECT_EQ(Get(ax.get(), &IVQAxis::IsEqual, bx.get()), VARIANT_FALSE);
  const double values[] = {-1.0, 0.5};
  ax->InitializeWithValues(2, values, Text(L"m"));
  ASSERT_EQ(bx->CopyFrom(ax.get()), S_OK);
  EXPECT_EQ(Get(bx.get(), &IVQAxis::IsEqual, ax.get()), VARIANT_TRUE);
}

}  // namespace
