// A client of the installed package that is linked to the runtime only
// (VQDataMatrixLib::vqplatform): it finds the matrix class through the
// registry store, so it works only once the installed library is registered
// (vqregsvr). Exit code 0 when it created and used a matrix; 2 when the class
// is not registered; another code for any other failure.
#include <cstdio>

#include "VQDataMatrixLib.h"

namespace {

int Run() {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"VQDataMatrixLib.VQDataMatrix", &clsid);
  if (hr == CO_E_CLASSSTRING) return 2;
  if (FAILED(hr)) return 3;
  IVQDataMatrix* matrix = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, reinterpret_cast<void**>(&matrix));
  if (hr == REGDB_E_CLASSNOTREG) return 2;
  if (FAILED(hr)) return 4;
  LONG size = 0;
  hr = matrix->Initialize(TRUE, 4, 3, 2, 1);
  if (SUCCEEDED(hr)) hr = matrix->get_Size(2, &size);  // dimensions count from 1
  matrix->Release();
  if (FAILED(hr) || size != 3) return 5;
  return 0;
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int rc = Run();
  CoUninitialize();
  if (rc != 0) std::fprintf(stderr, "registry_consumer: exit code %d\n", rc);
  return rc;
}
