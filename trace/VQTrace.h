// VQTrace.h - the process-wide trace facility.
//
// Every subsystem reports through VQ_TRACE: a keyword (the subsystem,
// "DataMatrix"; "Assert" for failures caught by method guards), a level (1
// failures and refusals, 2 entering/leaving operations, 3 details), a printf
// format with its arguments and the origin (file, Class::Method, line). The
// facility filters by level and keyword according to the settings file
// "Orvex.ini", section "VqDebug" (looked up in $VQ_CONFIG_DIR, else
// $XDG_CONFIG_HOME, else ~/.config), and sends each surviving line to the debug
// output channel (OutputDebugStringA: standard error or $VQDEBUG_OUTPUT).
//
// Settings: Level (0 = off, the default; 4 = every keyword; otherwise only the
// keywords listed), Keywords ("a;b", case-insensitive, no spaces),
// KeywordInTrace and FileFunctionLineInTrace (1 = shown), RefreshInterval
// (milliseconds; above 100 the settings are read again when it has passed).
// TraceLevel starts at 119 ("not read yet"), so the first call reads them.
// Once Level 0 is read, callers stop calling and tracing stays off for the
// life of the process.
//
// Threads: any thread may trace. TraceLevel is an atomic read without a lock;
// the origin is kept per thread, so a line always shows its own thread's
// origin; the other settings (keyword list, flags, refresh time) are guarded
// by one mutex inside VQTrace.cpp that is held while they are re-read and
// while a call is filtered, so no call sees a half-read keyword list.
// Formatting and output happen outside that mutex. A debug output sink must
// not trace (it runs under the output channel's lock).
#pragma once

#include <atomic>
#include <cstdint>

#include "VQKernel.h"

// The current Level setting; 119 until the settings are first read. Callers
// test it before anything else: tracing off costs this one integer test.
extern std::atomic<int32_t> TraceLevel;

// Records the origin of the calling thread's next VQTrace call when origins
// are shown: the file name without its directory and the function name, each
// cut to 259 characters, and the line. Does nothing when origins are off.
void SetTraceOrigin(const char* file, const char* function, int line);

// Filters, formats and outputs one line (see the file's opening paragraph).
// A null keyword or format outputs an "Illegal parameter" line instead.
void VQTrace(const char* keyword, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The call every subsystem uses:
//   VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Size=%u", size);
#define VQ_TRACE(function, keyword, level, ...)                          \
  do {                                                                    \
    if (::TraceLevel.load(std::memory_order_relaxed) != 0) {             \
      ::SetTraceOrigin(__FILE__, (function), __LINE__);                   \
      ::VQTrace((keyword), (level), __VA_ARGS__);                         \
    }                                                                     \
  } while (0)

namespace vq {

// Test only: puts the facility's own settings back to their state at process
// start (TraceLevel 119, settings unread, empty keyword list, flags on) and
// clears the calling thread's origin. Other threads' origins are left as they
// are.
void ResetTraceForTest();

// Whether settings read at tick count readTick with RefreshInterval interval
// are to be read again at tick count now: only intervals above 100 ms
// refresh, and the tick count may have wrapped in between. The facility asks
// with GetTickCount(); a pure function, so the timing is tested directly.
bool TraceRefreshDue(DWORD readTick, int32_t interval, DWORD now);

}  // namespace vq
