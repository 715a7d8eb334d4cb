// VQDataTestSupport.h - small fixtures shared by the VQData test suites.
//
// Items are created the way the matrix creates them (CoCreateInstance with
// context 23, OleRun, QueryInterface), so every suite goes through the class
// table and the public interfaces only. Single-threaded helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "VQData.h"
#include "VQPlatform.h"
#include "platform/testlib/StreamTestSupport.h"

namespace vqtest {

// Puts the calling thread into an apartment once, for the thread's life.
inline void EnsureApartment() {
  struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
  };
  thread_local Apartment apartment;
}

// A new data item, created as the matrix does; fails the test when it cannot.
inline vq::ComPtr<IVQData> NewItem() {
  EnsureApartment();
  vq::ComPtr<IUnknown> unknown;
  HRESULT hr = CoCreateInstance(CLSID_VQData, nullptr, 23, IID_IUnknown, unknown.put_void());
  EXPECT_EQ(hr, S_OK);
  if (FAILED(hr)) return {};
  EXPECT_EQ(OleRun(unknown.get()), S_OK);
  vq::ComPtr<IVQData> item;
  EXPECT_EQ(unknown->QueryInterface(IID_IVQData, item.put_void()), S_OK);
  return item;
}

// The description of the calling thread's error object ("" when none).
inline std::wstring LastErrorDescription() {
  vq::ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return L"";
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::wstring result = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
  SysFreeString(text);
  return result;
}

inline void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

// What a getter with one out-parameter (and at most one argument before it)
// stores, checking that it succeeds: Get(axis, &IVQAxis::GetSize).
template <class O, class I, class T>
T Get(O* object, HRESULT (STDMETHODCALLTYPE I::*getter)(T*)) {
  T value{};
  EXPECT_EQ((object->*getter)(&value), S_OK);
  return value;
}
template <class O, class I, class A, class T>
T Get(O* object, HRESULT (STDMETHODCALLTYPE I::*getter)(A, T*), std::type_identity_t<A> argument) {
  T value{};
  EXPECT_EQ((object->*getter)(argument, &value), S_OK);
  return value;
}

// Owning BSTR for arguments (a _bstr_t passes as the BSTR it holds).
using Text = _bstr_t;

inline std::wstring TakeText(BSTR b) {
  std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

}  // namespace vqtest
