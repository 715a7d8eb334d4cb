// The class object of VQDataMatrix and the library's place in the process's
// class table, so that CoCreateInstance finds the class in any process the
// library is linked into.
#include "VQDataMatrixLib.h"
#include "matrix/VQDataMatrix.h"

namespace {

class CVQDataMatrixFactory : public vq::ComObject<CVQDataMatrixFactory, IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return vq::CreateComObject<CVQDataMatrix>(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_VQDataMatrix) return CLASS_E_CLASSNOTAVAILABLE;
  return vq::CreateComObject<CVQDataMatrixFactory>(riid, ppv);
}

namespace {
const vq::InProcessClassEntry kMatrixClass(CLSID_VQDataMatrix, L"VQDataMatrixLib.VQDataMatrix.1",
                                           L"VQDataMatrixLib.VQDataMatrix", &DllGetClassObject);
}
