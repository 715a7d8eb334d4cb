// A shared library without DllGetClassObject, for the runtime's error path.
#include "VQPlatformTypes.h"

EXTERN_C __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return S_OK; }
