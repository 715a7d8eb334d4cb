// MatrixFixture.h - shared pieces of the matrix test suites.
//
// MatrixTest enters an apartment for the test's thread and offers small
// helpers: creating matrices and data items, filling elements with values
// that tell every element and position apart, and checking them. Its
// matrices run on m_Env: swap files in memory, as much available memory as
// the test sets in m_MemEnv (plenty unless it says otherwise), and the faults
// it injects.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "matrix/VQDataMatrix.h"
#include "support/TestEnvironment.h"

namespace vq::test {

// The item's buffer descriptor (any pointer to a data item).
template <class Item>
VQDataBuffer Buffer(const Item& item) {
  VQDataBuffer b{};
  EXPECT_EQ(item->GetDataBuffer(&b), S_OK);
  return b;
}

class MatrixTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }

  MemoryEnvironment m_MemEnv;
  FaultyEnvironment m_Env{m_MemEnv};

  // A new matrix through the class table, as a client makes one, on env
  // (m_Env when null).
  vq::ComPtr<IVQDataMatrix> NewMatrix(vq::Environment* env = nullptr) {
    vq::ComPtr<IVQDataMatrix> m;
    EXPECT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void()),
              S_OK);
    EXPECT_EQ(m ? Impl(m.get())->UseEnvironment(env != nullptr ? *env : m_Env) : E_POINTER, S_OK);
    return m;
  }
  // A new matrix on m_Env, initialised by Initialize2 with these arguments.
  vq::ComPtr<IVQDataMatrix> NewMatrix(LONG s1, LONG s2, LONG s3, LONG s4, LONG x, LONG z, LONG format,
                                      matrixType kind) {
    auto m = NewMatrix();
    EXPECT_EQ(m->Initialize2(s1, s2, s3, s4, x, z, format, kind), S_OK);
    return m;
  }
  // The implementation object behind an interface pointer (white-box tests).
  static CVQDataMatrix* Impl(IVQDataMatrix* m) { return static_cast<CVQDataMatrix*>(m); }

  static vq::ComPtr<IVQData> NewItem(LONG x = 0, LONG z = 0, LONG format = dataFormatFloat64) {
    vq::ComPtr<IVQData> item;
    EXPECT_EQ(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, item.put_void()), S_OK);
    if (x > 0 && z > 0) {
      EXPECT_EQ(item->Allocate(x, z, format), S_OK);
    }
    return item;
  }

  // The value that position k of element idx holds after Fill.
  static double Expected(uint32_t idx, size_t k, double salt = 0.0) {
    return static_cast<double>(idx) * 100000.0 + static_cast<double>(k) + salt;
  }

  static vq::ComPtr<IVQData> Get(IVQDataMatrix* m, LONG d1, LONG d2, LONG d3, LONG d4, bool forWriting = true) {
    vq::ComPtr<IUnknown> unknown;
    HRESULT hr = forWriting ? m->get_DataPtr(d1, d2, d3, d4, unknown.put())
                            : m->get_ConstDataPtr(d1, d2, d3, d4, 1, unknown.put());
    EXPECT_EQ(hr, S_OK);
    return unknown.query<IVQData>();
  }

  // Calls f(buffer, idx) for the item of every element in index order (format 1), got for writing or reading.
  template <class F>
  static void ForEachElement(IVQDataMatrix* m, bool forWriting, F f) {
    LONG s[4];
    for (int i = 0; i < 4; ++i) m->get_Size(i + 1, &s[i]);
    uint32_t idx = 0;
    for (LONG d4 = 0; d4 < s[3]; ++d4)
      for (LONG d3 = 0; d3 < s[2]; ++d3)
        for (LONG d2 = 0; d2 < s[1]; ++d2)
          for (LONG d1 = 0; d1 < s[0]; ++d1, ++idx) {
            auto item = Get(m, d1, d2, d3, d4, forWriting);
            ASSERT_TRUE(item);
            VQDataBuffer b = Buffer(item);
            ASSERT_NE(b.pDouble, nullptr);
            f(b, idx);
            if (::testing::Test::HasFatalFailure()) return;
          }
  }
  // Writes Expected(idx, k, salt) into every value of every element (format 1).
  static void Fill(IVQDataMatrix* m, double salt = 0.0) {
    ForEachElement(m, true, [&](const VQDataBuffer& b, uint32_t idx) {
      for (size_t k = 0; k < static_cast<size_t>(b.XSize) * b.ZSize; ++k) b.pDouble[k] = Expected(idx, k, salt);
    });
  }
  // Checks every value written by Fill, reading for reading only.
  static void Verify(IVQDataMatrix* m, double salt = 0.0) {
    ForEachElement(m, false, [&](const VQDataBuffer& b, uint32_t idx) {
      for (size_t k = 0; k < static_cast<size_t>(b.XSize) * b.ZSize; ++k) {
        ASSERT_EQ(b.pDouble[k], Expected(idx, k, salt)) << "element " << idx << " value " << k;
      }
    });
  }
};

// The suites that run on both storage kinds: one storage object per element,
// and elements packed into shared buffers.
class KindTest : public MatrixTest, public ::testing::WithParamInterface<matrixType> {};
inline const auto kStorageKinds = ::testing::Values(matrixSingleObject, matrixMultipleObjects);
inline std::string KindName(const ::testing::TestParamInfo<matrixType>& kind) {
  return kind.param == matrixSingleObject ? "Single" : "Multi";
}

}  // namespace vq::test
