// Single-object storage cases the matrix cannot reach through its interface.
#include <gtest/gtest.h>

#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "storage/SingleData.h"
#include "support/FakeDataItem.h"

namespace vq::test {
namespace {

// Lets a test give the object an axis id its manager does not know.
struct SingleDataProbe : CSingleData {
  using CSingleData::CSingleData;
  void SetAxisId(uint32_t id) { m_AxisId = id; }
};

class SingleDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(m_Cache.Initialize(true));
  }
  void TearDown() override { CoUninitialize(); }
  CFileCache m_Cache;
  CAxisManager m_Axes;
  CAttributeManager m_Attributes;
};

TEST_F(SingleDataTest, SubsetWhoseAxisCannotBeReadFailsWithoutAnItem) {
  SingleDataProbe data(&m_Cache, &m_Axes, &m_Attributes);
  ASSERT_TRUE(data.Initialize(1, 10, 1, dataFormatFloat64));
  data.SetAxisId(7);
  IUnknown* out = reinterpret_cast<IUnknown*>(1);
  EXPECT_TRUE(FAILED(data.GetDataSubset(0, true, 2, 4, &out)));
  EXPECT_EQ(out, nullptr);
}

// An item a client holds keeps its values when the object goes:
// geometry_test.cpp HeldItemOutlivesTheMatrix (both kinds).

}  // namespace
}  // namespace vq::test
