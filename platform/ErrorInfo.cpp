// Error objects and the per-thread error slot.
//
// The slot is a thread_local pointer holding one reference; it is released
// when the thread ends. An error object guards its fields with its own mutex,
// since a client may hand it to another thread.
#include <mutex>
#include <new>
#include <string>

#include "VQComRuntime.h"
#include "VQThreadSafety.h"
#include "VQOleAuto.h"

namespace {

class ErrorInfoObject : public vq::ComObject<ErrorInfoObject, IErrorInfo, ICreateErrorInfo> {
 public:
  STDMETHODIMP GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    vq::MutexLock guard(m_Mutex);
    *pGUID = m_Guid;
    return S_OK;
  }
  STDMETHODIMP GetSource(BSTR* p) override { return GetText(kSource, p); }
  STDMETHODIMP GetDescription(BSTR* p) override { return GetText(kDescription, p); }
  STDMETHODIMP GetHelpFile(BSTR* p) override { return GetText(kHelpFile, p); }
  STDMETHODIMP GetHelpContext(DWORD* p) override {
    if (p == nullptr) return E_INVALIDARG;
    vq::MutexLock guard(m_Mutex);
    *p = m_HelpContext;
    return S_OK;
  }

  STDMETHODIMP SetGUID(REFGUID rguid) override {
    vq::MutexLock guard(m_Mutex);
    m_Guid = rguid;
    return S_OK;
  }
  STDMETHODIMP SetSource(LPOLESTR s) override { return SetText(kSource, s); }
  STDMETHODIMP SetDescription(LPOLESTR s) override { return SetText(kDescription, s); }
  STDMETHODIMP SetHelpFile(LPOLESTR s) override { return SetText(kHelpFile, s); }
  STDMETHODIMP SetHelpContext(DWORD context) override {
    vq::MutexLock guard(m_Mutex);
    m_HelpContext = context;
    return S_OK;
  }

 private:
  // A field that was never set (or set to null) reads back as a null BSTR.
  struct Text {
    bool set = false;
    std::wstring value;
  };

  enum TextField { kSource, kDescription, kHelpFile, kTextFields };

  HRESULT GetText(TextField field, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    vq::MutexLock guard(m_Mutex);
    if (!m_Texts[field].set) return S_OK;
    *out = SysAllocString(m_Texts[field].value.c_str());
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  HRESULT SetText(TextField field, LPCOLESTR text) {
    try {
      std::wstring copy = text != nullptr ? text : L"";
      vq::MutexLock guard(m_Mutex);
      m_Texts[field].value.swap(copy);
      m_Texts[field].set = text != nullptr;
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  vq::Mutex m_Mutex;
  GUID m_Guid VQ_GUARDED_BY(m_Mutex){};
  Text m_Texts[kTextFields] VQ_GUARDED_BY(m_Mutex);
  DWORD m_HelpContext VQ_GUARDED_BY(m_Mutex) = 0;
};

// Holds the thread's error object; its destructor runs at thread exit.
struct ErrorSlot {
  IErrorInfo* info = nullptr;
  ~ErrorSlot() {
    if (info != nullptr) info->Release();
  }
};
thread_local ErrorSlot t_ErrorSlot;

}  // namespace

STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  return vq::CreateComObject<ErrorInfoObject>(IID_ICreateErrorInfo, reinterpret_cast<void**>(pperrinfo));
}

STDAPI SetErrorInfo(DWORD dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  if (perrinfo != nullptr) perrinfo->AddRef();
  IErrorInfo* old = t_ErrorSlot.info;
  t_ErrorSlot.info = perrinfo;
  // Released after the slot changed, so a release that reports an error of
  // its own cannot see or free the object being replaced twice.
  if (old != nullptr) old->Release();
  return S_OK;
}

STDAPI GetErrorInfo(DWORD dwReserved, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = nullptr;
  if (dwReserved != 0) return E_INVALIDARG;
  *pperrinfo = t_ErrorSlot.info;
  t_ErrorSlot.info = nullptr;
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

HRESULT vq::ReportError(REFIID iid, LPCOLESTR source, LPCOLESTR description, HRESULT hr) {
  ICreateErrorInfo* create = nullptr;
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    bool filled = SUCCEEDED(create->SetGUID(iid)) && SUCCEEDED(create->SetSource(const_cast<LPOLESTR>(source))) &&
                  SUCCEEDED(create->SetDescription(const_cast<LPOLESTR>(description)));
    if (filled) create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    create->Release();
  }
  SetErrorInfo(0, info);  // null when the object could not be made: no stale description survives
  if (info != nullptr) info->Release();
  return hr;
}
