// A client of the installed package, built outside the source tree through
// find_package and through pkg-config (tests/install/InstalledPackage.cmake):
// it only sees the installed headers and libraries. Each failed step has an
// exit code of its own.
#include <cstdio>

#include "VQDataMatrixLib.h"

namespace {

int Fail(int code, const char* step, HRESULT hr) {
  std::fprintf(stderr, "consumer: %s failed (0x%08X)\n", step, static_cast<unsigned>(hr));
  return code;
}

double ValueAt(IVQDataMatrix* matrix, LONG d1, LONG d2, LONG x) {
  IUnknownPtr unknown;
  if (FAILED(matrix->get_DataPtr(d1, d2, 0, 0, &unknown))) return -1.0;
  IVQDataPtr item(unknown);
  double value = -1.0;
  if (!item || FAILED(item->GetValue(x, 0, &value, nullptr))) return -1.0;
  return value;
}

int Run() {
  const LONG rows = 3, columns = 2, lines = 16;
  IVQDataMatrixPtr matrix;
  HRESULT hr = matrix.CreateInstance(CLSID_VQDataMatrix);
  if (FAILED(hr)) return Fail(10, "creating a matrix", hr);
  hr = matrix->Initialize2(rows, columns, 1, 1, lines, 1, 1 /* float64 */, matrixSingleObject);
  if (FAILED(hr)) return Fail(11, "Initialize2", hr);
  hr = matrix->AllInitializeAsLinear(lines, 0.0, 1.0, _bstr_t(L"Hz"));
  if (FAILED(hr)) return Fail(12, "AllInitializeAsLinear", hr);

  // One element put from an item of the client's own, with a peak at line 5.
  IVQDataPtr item;
  hr = item.CreateInstance(CLSID_VQData);
  if (FAILED(hr)) return Fail(20, "creating a data item", hr);
  hr = item->Allocate(lines, 1, 1);
  if (FAILED(hr)) return Fail(21, "Allocate", hr);
  for (LONG x = 0; x < lines; ++x) item->SetValue(x, 0, x == 5 ? 42.0 : 0.5, 0.0);
  hr = matrix->put_DataPtr(2, 1, 0, 0, item);
  if (FAILED(hr)) return Fail(22, "put_DataPtr", hr);
  if (ValueAt(matrix, 2, 1, 5) != 42.0) return Fail(23, "reading the element back", E_FAIL);

  // The sum over lines 4..6 of every element: 43 where the peak is.
  IVQDataPtr slice;
  hr = slice.CreateInstance(CLSID_VQData);
  if (FAILED(hr)) return Fail(30, "creating the slice item", hr);
  hr = matrix->GetD1D2Slice(4.0, 6.0, 0, 0, 0, matrixDirectionByRow, slice);
  if (FAILED(hr)) return Fail(31, "GetD1D2Slice", hr);
  LONG x = 0, z = 0;
  slice->GetSize(0, &x);
  slice->GetSize(1, &z);
  if (x * z != rows * columns) return Fail(32, "the slice's size", E_FAIL);

  // A round trip through a memory stream.
  IStreamPtr stream;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  if (FAILED(hr)) return Fail(40, "CreateStreamOnHGlobal", hr);
  hr = matrix->Write(stream);
  if (FAILED(hr)) return Fail(41, "Write", hr);
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  IVQDataMatrixPtr copy;
  hr = copy.CreateInstance(CLSID_VQDataMatrix);
  if (FAILED(hr)) return Fail(42, "creating the copy", hr);
  hr = copy->Read(stream);
  if (FAILED(hr)) return Fail(43, "Read", hr);
  if (ValueAt(copy, 2, 1, 5) != 42.0 || ValueAt(copy, 2, 1, 4) != 0.5) {
    return Fail(44, "the values read back", E_FAIL);
  }
  std::printf("consumer: %d x %d matrix, slice %d x %d, stream round trip ok\n", rows, columns, x, z);
  return 0;
}

}  // namespace

int main() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail(1, "CoInitializeEx", hr);
  const int rc = Run();
  CoUninitialize();
  return rc;
}
