// A component library for the runtime tests: one class, its class factory and
// the DllGetClassObject / DllCanUnloadNow exports.
#include "RuntimeTestClass.h"
#include "platform/VQModuleCount.h"

namespace {

vq::ModuleCount g_Module;  // live objects plus server locks

class Counter : public vq::ComObject<Counter, IRuntimeTestCounter>, private vq::ModuleObject<g_Module> {
 public:
  STDMETHODIMP Increment(LONG* value) override {
    if (value == nullptr) return E_POINTER;
    *value = ++m_Value;
    return S_OK;
  }

 private:
  LONG m_Value = 0;
};

class Factory : public vq::ComObject<Factory, IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return vq::CreateComObject<Counter>(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_Module.LockServer(lock != FALSE);
    return S_OK;
  }
};

}  // namespace

EXTERN_C __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                                          LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_RuntimeTestClass) return CLASS_E_CLASSNOTAVAILABLE;
  return vq::CreateComObject<Factory>(riid, ppv);
}

EXTERN_C __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return g_Module.CanUnloadNow();
}
