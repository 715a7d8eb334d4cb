// Error objects and the per-thread error slot.
//
// The slot is a thread_local pointer holding one reference; it is released
// when the thread ends. An error object guards its fields with its own mutex,
// since a client may hand it to another thread.
#include <mutex>
#include <new>
#include <string>

#include "VQComRuntime.h"
#include "VQOleAuto.h"

namespace {

class ErrorInfoObject : public vq::ComObject<ErrorInfoObject, IErrorInfo, ICreateErrorInfo> {
 public:
  STDMETHODIMP GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_Mutex);
    *pGUID = m_Guid;
    return S_OK;
  }
  STDMETHODIMP GetSource(BSTR* p) override { return GetText(m_Source, p); }
  STDMETHODIMP GetDescription(BSTR* p) override { return GetText(m_Description, p); }
  STDMETHODIMP GetHelpFile(BSTR* p) override { return GetText(m_HelpFile, p); }
  STDMETHODIMP GetHelpContext(DWORD* p) override {
    if (p == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_Mutex);
    *p = m_HelpContext;
    return S_OK;
  }

  STDMETHODIMP SetGUID(REFGUID rguid) override {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Guid = rguid;
    return S_OK;
  }
  STDMETHODIMP SetSource(LPOLESTR s) override { return SetText(m_Source, s); }
  STDMETHODIMP SetDescription(LPOLESTR s) override { return SetText(m_Description, s); }
  STDMETHODIMP SetHelpFile(LPOLESTR s) override { return SetText(m_HelpFile, s); }
  STDMETHODIMP SetHelpContext(DWORD context) override {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_HelpContext = context;
    return S_OK;
  }

 private:
  // A field that was never set (or set to null) reads back as a null BSTR.
  struct Text {
    bool set = false;
    std::wstring value;
  };

  HRESULT GetText(const Text& field, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    std::lock_guard<std::mutex> guard(m_Mutex);
    if (!field.set) return S_OK;
    *out = SysAllocString(field.value.c_str());
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  HRESULT SetText(Text& field, LPCOLESTR text) {
    try {
      std::wstring copy = text != nullptr ? text : L"";
      std::lock_guard<std::mutex> guard(m_Mutex);
      field.value.swap(copy);
      field.set = text != nullptr;
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  std::mutex m_Mutex;
  GUID m_Guid{};           // guarded by m_Mutex, as are the fields below
  Text m_Source;
  Text m_Description;
  Text m_HelpFile;
  DWORD m_HelpContext = 0;
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
