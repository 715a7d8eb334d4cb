// MatrixFixture.h - shared pieces of the matrix test suites.
//
// MatrixTest enters an apartment for the test's thread and offers small
// helpers: creating matrices and data items, filling elements with values
// that tell every element and position apart, checking them, and a memory
// status hook that makes the memory check see as much available memory as
// a test wants.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "VQDataMatrixLib.h"
#include "matrix/VQDataMatrix.h"

namespace vq::test {

// While it lives, GlobalMemoryStatus(Ex) reports `available` bytes of
// available physical memory (changeable at any time from any thread).
class MemoryHook {
 public:
  explicit MemoryHook(uint64_t available) : m_Available(available) {
    vq::SetMemoryStatusProviderForTest([this](MEMORYSTATUSEX* status) -> BOOL {
      status->ullTotalPhys = 8ull << 30;
      status->ullAvailPhys = m_Available.load();
      status->ullTotalVirtual = status->ullAvailVirtual = 1ull << 40;
      return TRUE;
    });
  }
  ~MemoryHook() { vq::SetMemoryStatusProviderForTest(nullptr); }
  MemoryHook(const MemoryHook&) = delete;
  MemoryHook& operator=(const MemoryHook&) = delete;
  void Set(uint64_t available) { m_Available.store(available); }

 private:
  std::atomic<uint64_t> m_Available;
};

constexpr uint64_t kPlenty = 200ull << 20;  // above both thresholds
constexpr uint64_t kLow = 100ull << 20;     // below the low-memory threshold

class MatrixTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }

  // A new matrix through the class table, as a client makes one.
  static vq::ComPtr<IVQDataMatrix> NewMatrix() {
    vq::ComPtr<IVQDataMatrix> m;
    EXPECT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void()),
              S_OK);
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

  // Writes Expected(idx, k, salt) into every value of every element (format 1).
  static void Fill(IVQDataMatrix* m, double salt = 0.0) {
    LONG s[4];
    for (int i = 0; i < 4; ++i) m->get_Size(i + 1, &s[i]);
    uint32_t idx = 0;
    for (LONG d4 = 0; d4 < s[3]; ++d4)
      for (LONG d3 = 0; d3 < s[2]; ++d3)
        for (LONG d2 = 0; d2 < s[1]; ++d2)
          for (LONG d1 = 0; d1 < s[0]; ++d1, ++idx) {
            auto item = Get(m, d1, d2, d3, d4);
            ASSERT_TRUE(item);
            VQDataBuffer b{};
            ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
            ASSERT_NE(b.pDouble, nullptr);
            for (size_t k = 0; k < static_cast<size_t>(b.XSize) * b.ZSize; ++k) b.pDouble[k] = Expected(idx, k, salt);
          }
  }

  // Checks every value written by Fill, reading for reading only.
  static void Verify(IVQDataMatrix* m, double salt = 0.0) {
    LONG s[4];
    for (int i = 0; i < 4; ++i) m->get_Size(i + 1, &s[i]);
    uint32_t idx = 0;
    for (LONG d4 = 0; d4 < s[3]; ++d4)
      for (LONG d3 = 0; d3 < s[2]; ++d3)
        for (LONG d2 = 0; d2 < s[1]; ++d2)
          for (LONG d1 = 0; d1 < s[0]; ++d1, ++idx) {
            auto item = Get(m, d1, d2, d3, d4, false);
            ASSERT_TRUE(item);
            VQDataBuffer b{};
            ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
            ASSERT_NE(b.pDouble, nullptr);
            for (size_t k = 0; k < static_cast<size_t>(b.XSize) * b.ZSize; ++k) {
              ASSERT_EQ(b.pDouble[k], Expected(idx, k, salt)) << "element " << idx << " value " << k;
            }
          }
  }
};

}  // namespace vq::test
