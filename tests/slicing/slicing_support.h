// Shared pieces of the slicing tests: a fixture parameterised by the storage
// kind, so that every case runs on single-object and multi-object matrices.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MatrixFixture.h"

namespace vq::test {

class SlicingTest : public MatrixTest, public ::testing::WithParamInterface<matrixType> {
 public:
  // For the free helpers of the test files.
  using MatrixTest::Expected;
  using MatrixTest::Get;
  using MatrixTest::NewItem;

  static LONG Size(IVQDataMatrix* m, LONG dimension) {
    LONG s = 0;
    m->get_Size(dimension, &s);
    return s;
  }
  static uint32_t Index(IVQDataMatrix* m, LONG d1, LONG d2, LONG d3, LONG d4) {
    return static_cast<uint32_t>(d1 + Size(m, 1) * (d2 + Size(m, 2) * (d3 + Size(m, 3) * d4)));
  }
  // Format 5: value k of element idx holds a float that tells them apart.
  static float ExpectedFloat(uint32_t idx, size_t k) { return static_cast<float>(idx * 1000 + k) * 0.25f; }
  static std::vector<double> Values(IVQData* item) {
    VQDataBuffer b{};
    EXPECT_EQ(item->GetDataBuffer(&b), S_OK);
    std::vector<double> v;
    for (LONG k = 0; k < b.XSize * b.ZSize; ++k) {
      v.push_back(b.Format == dataFormatFloat64 ? b.pDouble[k] : static_cast<double>(b.pFloat[k]));
    }
    return v;
  }

 protected:
  // An allocated matrix of the parameter's storage kind.
  vq::ComPtr<IVQDataMatrix> Make(LONG s1, LONG s2, LONG s3, LONG s4, LONG x, LONG z,
                                 LONG format = dataFormatFloat64) {
    auto m = NewMatrix();
    EXPECT_EQ(m->Initialize2(s1, s2, s3, s4, x, z, format, GetParam()), S_OK);
    return m;
  }
};

// The storage kinds every slicing case runs on.
inline const auto kStorageKinds = ::testing::Values(matrixSingleObject, matrixMultipleObjects);

inline std::string KindName(const ::testing::TestParamInfo<matrixType>& info) {
  return info.param == matrixSingleObject ? "Single" : "Multiple";
}

}  // namespace vq::test
