// RuntimeTestClass.h - a class served by a test library that the platform
// tests load through the registry store with dlopen (the library is never
// linked into the test program). Objects count themselves so that the
// library's DllCanUnloadNow can answer truthfully.
#pragma once

#include "VQComRuntime.h"

VQ_DECLARE_INTERFACE(IRuntimeTestCounter, IUnknown, "5B0D33A1-7C1E-4E58-9F0B-2C6A1D8E4F01");
struct IRuntimeTestCounter : IUnknown {
  // Adds one to the object's counter and stores the new value in *value.
  STDMETHOD(Increment)(LONG* value) = 0;
};

VQ_DEFINE_GUID(CLSID_RuntimeTestClass, "5B0D33A1-7C1E-4E58-9F0B-2C6A1D8E4F02");
