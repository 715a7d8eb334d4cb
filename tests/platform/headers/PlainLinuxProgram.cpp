// Ordinary Linux code that includes system headers and every public header but
// VQWin32Compat.h, and then uses names of its own that Windows headers take as
// macros. It is compiled with the tests (warnings are errors), so a
// public header that defines one of those words again breaks the build here.
#include <arpa/nameser.h>  // the resolver's NOERROR
#include <sys/param.h>

#include <algorithm>
#include <limits>
#include <string>

#include "VQComObject.h"
#include "VQComRuntime.h"
#include "VQComSupport.h"
#include "VQData.h"
#include "VQDataMatrixLib.h"
#include "VQKernel.h"
#include "VQOleAuto.h"
#include "VQPlatform.h"
#include "VQPlatformTypes.h"
#include "VQResources.h"
#include "VQStreamBase.h"
#include "VQStreams.h"
#include "VQThreadSafety.h"

// A program's own limits, under the names Windows code uses for its own.
#define MAX_PATH 4096
#define NO_ERROR 0

namespace plain {

struct Net {
  std::string interface;
  int far = 0;
  int near = 0;
  int min = 0;
  int max = 0;
};

enum class Word { PURE, CALLBACK, WINAPI, INFINITE, DECLSPEC_NOVTABLE };

int Clamp(const Net& net, int value) {
  const int upper = net.max == 0 ? std::numeric_limits<int>::max() : net.max;
  return std::min(std::max(value, net.min), upper);
}

int Span(const Net& net) { return net.far - net.near; }

int Limits() { return MAX_PATH + NO_ERROR + MAX(1, 2) + static_cast<int>(ns_r_noerror); }

// The library's interfaces in their plain spelling.
VQ_DECLARE_INTERFACE(IPlain, IUnknown, "6F1C2B8E-93D4-4C1A-8E57-0B9A1D2C3E4F");
struct IPlain : IUnknown {
  STDMETHOD(Answer)(LONG* out) = 0;
};

DWORD WaitForever(HANDLE handle) { return WaitForSingleObject(handle, vq::kInfinite); }

}  // namespace plain
