// Code ported from Windows keeps its spellings through the one opt-in: with
// VQ_WIN32_COMPAT defined before the first public header (as a ported code base
// defines it on its command line), the headers bring in VQWin32Compat.h.
#define VQ_WIN32_COMPAT

#include <gtest/gtest.h>

#include <string>

#include "VQPlatform.h"

namespace {

VQ_DECLARE_INTERFACE(IPorted, IUnknown, "3C0E5D1A-7B2F-4E8D-9A61-5F4B3C2D1E0F");
interface DECLSPEC_NOVTABLE IPorted : public IUnknown {
  STDMETHOD(Answer)(LONG __RPC_FAR* out) PURE;
};

class Ported : public vq::ComObject<Ported, IPorted> {
 public:
  STDMETHODIMP Answer(LONG* out) override {
    if (out == nullptr) return E_POINTER;
    *out = 42;
    return NOERROR;
  }
};

TEST(Win32Compat, InterfaceDeclaredWithWindowsWordsAnswersThroughItsIdentifier) {
  Ported* object = vq::MakeComObject<Ported>();
  ASSERT_NE(object, nullptr);
  IPorted* ported = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_PPV_ARGS(&ported)), S_OK);
  LONG answer = 0;
  EXPECT_EQ(ported->Answer(&answer), S_OK);
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(ported->Answer(nullptr), E_POINTER);
  ported->Release();
  EXPECT_EQ(object->Release(), 0u);
}

DWORD WINAPI EchoThread(LPVOID parameter) { return *static_cast<DWORD*>(parameter); }

TEST(Win32Compat, KernelCallsTakeTheWindowsSpellingsOfTheirConstants) {
  DWORD value = 7;
  DWORD(CALLBACK * start)(LPVOID) = EchoThread;
  HANDLE thread = CreateThread(nullptr, 0, start, &value, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, value);
  EXPECT_TRUE(CloseHandle(thread));

  // A buffer of MAX_PATH bytes holds any name the call forms; a longer one is
  // refused, not cut.
  char name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA("/tmp", "vq", 0x1234, name), 0x1234u);
  EXPECT_STREQ(name, "/tmp/vq1234.tmp");
  const std::string deep = "/tmp/" + std::string(MAX_PATH, 'd');
  SetLastError(NO_ERROR);
  EXPECT_EQ(GetTempFileNameA(deep.c_str(), "vq", 0x1234, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

}  // namespace
