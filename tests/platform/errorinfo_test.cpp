// Error objects, the per-thread error slot and ISupportErrorInfo helpers.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "VQComRuntime.h"
#include "VQOleAuto.h"

namespace {

// One text field of an error object ("<null>" when it has none).
std::wstring Field(IErrorInfo* info, HRESULT (STDMETHODCALLTYPE IErrorInfo::*get)(BSTR*)) {
  BSTR text = reinterpret_cast<BSTR>(0x1);  // a getter must overwrite it
  const HRESULT hr = (info->*get)(&text);
  if (hr != S_OK) return L"<failed " + std::to_wstring(hr) + L">";
  std::wstring result = text == nullptr ? std::wstring(L"<null>") : std::wstring(text);
  SysFreeString(text);
  return result;
}

// An error object whose reference count the tests can watch.
class WatchedError : public vq::ComObject<WatchedError, IErrorInfo> {
 public:
  STDMETHODIMP GetGUID(GUID* g) override {
    if (g == nullptr) return E_INVALIDARG;
    *g = GUID_NULL;
    return S_OK;
  }
  STDMETHODIMP GetSource(BSTR* b) override { return Null(b); }
  STDMETHODIMP GetDescription(BSTR* b) override { return Null(b); }
  STDMETHODIMP GetHelpFile(BSTR* b) override { return Null(b); }
  STDMETHODIMP GetHelpContext(DWORD* c) override {
    if (c == nullptr) return E_INVALIDARG;
    *c = 0;
    return S_OK;
  }

 private:
  static HRESULT Null(BSTR* b) {
    if (b == nullptr) return E_INVALIDARG;
    *b = nullptr;
    return S_OK;
  }
};

TEST(ErrorInfo, CreatedObjectCarriesItsFields) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  EXPECT_EQ(CreateErrorInfo(nullptr), E_INVALIDARG);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);

  EXPECT_EQ(Field(info, &IErrorInfo::GetDescription), L"<null>");  // never set

  EXPECT_EQ(create->SetGUID(IID_IClassFactory), S_OK);
  EXPECT_EQ(create->SetSource(const_cast<LPOLESTR>(L"Sample.Source")), S_OK);
  EXPECT_EQ(create->SetDescription(const_cast<LPOLESTR>(L"slot 7 is out of range")), S_OK);
  EXPECT_EQ(create->SetHelpFile(const_cast<LPOLESTR>(L"help.chm")), S_OK);
  EXPECT_EQ(create->SetHelpContext(42), S_OK);

  GUID guid{};
  EXPECT_EQ(info->GetGUID(&guid), S_OK);
  EXPECT_EQ(guid, IID_IClassFactory);
  EXPECT_EQ(Field(info, &IErrorInfo::GetSource), L"Sample.Source");
  EXPECT_EQ(Field(info, &IErrorInfo::GetDescription), L"slot 7 is out of range");
  EXPECT_EQ(Field(info, &IErrorInfo::GetHelpFile), L"help.chm");
  DWORD context = 0;
  EXPECT_EQ(info->GetHelpContext(&context), S_OK);
  EXPECT_EQ(context, 42u);
  EXPECT_EQ(info->GetDescription(nullptr), E_INVALIDARG);

  // Setting null clears a field again.
  EXPECT_EQ(create->SetDescription(nullptr), S_OK);
  EXPECT_EQ(Field(info, &IErrorInfo::GetDescription), L"<null>");
  info->Release();
  create->Release();
}

TEST(ErrorInfo, SlotHandsOverOnceAndHoldsAReference) {
  WatchedError* error = vq::MakeComObject<WatchedError>();
  ASSERT_EQ(SetErrorInfo(0, error), S_OK);
  EXPECT_EQ(error->RefCount(), 2u);
  IErrorInfo* taken = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
  EXPECT_EQ(taken, error);
  EXPECT_EQ(error->RefCount(), 2u);  // the slot's reference went to the caller
  taken->Release();
  taken = reinterpret_cast<IErrorInfo*>(0x1);
  EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
  EXPECT_EQ(taken, nullptr);

  // Replacing and clearing release what the slot held.
  ASSERT_EQ(SetErrorInfo(0, error), S_OK);
  WatchedError* other = vq::MakeComObject<WatchedError>();
  ASSERT_EQ(SetErrorInfo(0, other), S_OK);
  EXPECT_EQ(error->RefCount(), 1u);
  ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_EQ(other->RefCount(), 1u);
  EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);

  EXPECT_EQ(SetErrorInfo(1, error), E_INVALIDARG);
  EXPECT_EQ(error->RefCount(), 1u);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
  error->Release();
  other->Release();
}

TEST(ErrorInfo, EachThreadHasItsOwnSlotReleasedAtExit) {
  WatchedError* error = vq::MakeComObject<WatchedError>();
  ASSERT_EQ(SetErrorInfo(0, error), S_OK);
  std::thread([&] {
    IErrorInfo* seen = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &seen), S_FALSE);
    EXPECT_EQ(seen, nullptr);
    // Left in this thread's slot: the thread's end must release it.
    EXPECT_EQ(SetErrorInfo(0, error), S_OK);
  }).join();
  EXPECT_EQ(error->RefCount(), 2u);  // the test's and the main thread's slot
  IErrorInfo* taken = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
  EXPECT_EQ(taken, error);
  taken->Release();
  EXPECT_EQ(error->RefCount(), 1u);
  error->Release();
}

VQ_DECLARE_INTERFACE(IReported, IUnknown, "A1B2C3D4-0001-4000-8000-000000000001");
struct IReported : IUnknown {};
VQ_DECLARE_INTERFACE(IAlsoReported, IUnknown, "A1B2C3D4-0001-4000-8000-000000000002");
struct IAlsoReported : IUnknown {};
VQ_DECLARE_INTERFACE(ISilent, IUnknown, "A1B2C3D4-0001-4000-8000-000000000003");
struct ISilent : IUnknown {};

class Reporter : public vq::ComObject<Reporter, IReported, IAlsoReported, ISilent,
                                      vq::SupportErrorInfoFor<IReported, IAlsoReported>> {};

TEST(ErrorInfo, SupportErrorInfoForAnswersExactlyItsInterfaces) {
  Reporter* reporter = vq::MakeComObject<Reporter>();
  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(reporter->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(IReported)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(IAlsoReported)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(ISilent)), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ISupportErrorInfo), S_FALSE);
  support->Release();
  EXPECT_EQ(vq::InterfaceSupportsErrorInfoFor<ISilent>(__uuidof(ISilent)), S_OK);
  EXPECT_EQ(vq::InterfaceSupportsErrorInfoFor<ISilent>(__uuidof(IReported)), S_FALSE);
  EXPECT_EQ(reporter->RefCount(), 1u);
  reporter->Release();
}

}  // namespace
