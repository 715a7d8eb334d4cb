// Ordinary Linux code on every public header but VQWin32Compat.h: system
// headers, then names of its own that Windows headers take as macros. Built
// with the tests, warnings as errors: a public header that defines one of these
// words again breaks the build here.
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

#define MAX_PATH 4096  // the program's own limits
#define NO_ERROR 0

namespace plain {
struct Net {
  std::string interface;
  int far, near, min, max;
};
enum class Word { PURE, CALLBACK, WINAPI, INFINITE, DECLSPEC_NOVTABLE };

int Clamp(const Net& n, int v) {
  return std::min(std::max(v, n.min), std::min(n.max, std::numeric_limits<int>::max()));
}
int Limits() { return MAX_PATH + NO_ERROR + MAX(1, 2) + static_cast<int>(ns_r_noerror) + NOERROR; }
}  // namespace plain
