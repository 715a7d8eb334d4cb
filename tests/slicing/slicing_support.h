// Shared pieces of the slicing tests: a fixture parameterised by the storage
// kind, so that every case runs on single-object and multi-object matrices.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/MatrixFixture.h"

namespace vq::test {

class SlicingTest : public KindTest {
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
  static std::vector<double> Values(IVQData* item) {
    VQDataBuffer b = Buffer(item);
    std::vector<double> v;
    for (LONG k = 0; k < b.XSize * b.ZSize; ++k) {
      v.push_back(b.Format == dataFormatFloat64 ? b.pDouble[k] : static_cast<double>(b.pFloat[k]));
    }
    return v;
  }

 protected:
  // An allocated matrix of the parameter's storage kind; in format 1 filled
  // by Fill.
  vq::ComPtr<IVQDataMatrix> Make(LONG s1, LONG s2, LONG s3, LONG s4, LONG x, LONG z,
                                 LONG format = dataFormatFloat64) {
    auto m = NewMatrix();
    EXPECT_EQ(m->Initialize2(s1, s2, s3, s4, x, z, format, GetParam()), S_OK);
    if (format == dataFormatFloat64) Fill(m.get());
    return m;
  }
};

// One plane as a client sees it: its scalar and spectrum calls, the
// dimensions it walks (outer, inner; counted from 0) and the one the first
// fixed position names (the second is always d4), and the trace of a first
// fixed position outside the matrix.
struct Plane {
  const char* Name;
  HRESULT (IVQDataMatrix::*Scalar)(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*);
  HRESULT (IVQDataMatrix::*Spectrum)(LONG, LONG, LONG, matrixDirectionType, IUnknown*);
  int Outer, Inner, Fixed;
  const char* FixedInvalid;

  HRESULT Slice(IVQDataMatrix* m, double xmin, double xmax, LONG z, LONG a, LONG b, matrixDirectionType dir,
                IUnknown* result) const {
    return (m->*Scalar)(xmin, xmax, z, a, b, dir, result);
  }
  HRESULT Spectra(IVQDataMatrix* m, LONG z, LONG a, LONG b, matrixDirectionType dir, IUnknown* result) const {
    return (m->*Spectrum)(z, a, b, dir, result);
  }
  // The position of the element that walk step (i, j) reads.
  std::array<LONG, 4> Element(LONG i, LONG j, LONG a, LONG b) const {
    std::array<LONG, 4> p{};
    p[Outer] = i;
    p[Inner] = j;
    p[Fixed] = a;
    p[3] = b;
    return p;
  }
  // Where step (i, j) lands in the result, in each direction.
  static LONG At(matrixDirectionType dir, LONG i, LONG j, LONG nOuter, LONG nInner) {
    return dir == matrixDirectionByRow ? i + nOuter * j : j + nInner * i;
  }
};

inline const Plane kPlanes[] = {
    {"D1D2", &IVQDataMatrix::GetD1D2Slice, &IVQDataMatrix::GetD1D2SliceSpectrum, 0, 1, 2, "D3 invalid."},
    {"D1D3", &IVQDataMatrix::GetD1D3Slice, &IVQDataMatrix::GetD1D3SliceSpectrum, 0, 2, 1, "D2 invalid."},
    {"D2D3", &IVQDataMatrix::GetD2D3Slice, &IVQDataMatrix::GetD2D3SliceSpectrum, 1, 2, 0, "D1 invalid."},
};

}  // namespace vq::test
