// The trace facility: settings, filter, line composition.
//
// Locking: g_settingsLock guards every setting except TraceLevel and the origin
// flag (both atomics, read without it). VQTrace holds it from the refresh
// decision through the keyword filter and copies the two display flags out
// under it; the message and line are then built in local buffers and output
// without it. The origin lives in thread-local buffers: a thread's
// SetTraceOrigin and its following VQTrace see the same origin whatever other
// threads do. Settings are read at most once per refresh interval; apart from
// such a refresh (the profile reader allocates) a call allocates nothing.
#include "trace/VQTrace.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<int32_t> TraceLevel{119};

namespace {

constexpr const char* kSettingsFile = "Orvex.ini";
constexpr const char* kSection = "VqDebug";
constexpr int32_t kUnread = 119;
constexpr int32_t kNoKeywordFilterLevel = 4;
constexpr int32_t kMinRefreshInterval = 100;  // at or below: read once

constexpr size_t kKeywordListBytes = 1000;  // 999 characters
constexpr size_t kKeywordCopyChars = 200;
constexpr size_t kMessageBytes = 500;  // 499 characters
constexpr size_t kLineChars = 1051;
constexpr size_t kOriginBytes = 260;  // 259 characters
constexpr size_t kIllegalLineBytes = 460;

vq::Mutex g_settingsLock;
char g_keywords[kKeywordListBytes] VQ_GUARDED_BY(g_settingsLock) = "";
bool g_keywordInTrace VQ_GUARDED_BY(g_settingsLock) = true;
int32_t g_refreshInterval VQ_GUARDED_BY(g_settingsLock) = 0;
DWORD g_readTick VQ_GUARDED_BY(g_settingsLock) = 0;  // tick count of the last read

// Read without the lock by SetTraceOrigin; written under it.
std::atomic<bool> g_originInTrace{true};

struct Origin {
  char file[kOriginBytes] = "";
  char function[kOriginBytes] = "";
  int line = -1;
};
thread_local Origin t_origin;

// Copies at most size - 1 characters and always terminates.
void CopyCut(char* out, size_t size, const char* text) {
  size_t n = 0;
  if (text)
    for (; n + 1 < size && text[n]; ++n) out[n] = text[n];
  out[n] = '\0';
}

void LowerInPlace(char* text) {
  for (; *text; ++text) *text = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
}

// The next refresh is timed from the interval just read and the tick count of
// this read. (Timing it from the previous
// interval with a tick of 0, when that interval was 100 or less, would put the
// first refresh time at 0, which the signed comparison sees as still ahead
// for as long as the tick count has its top bit set: up to 24.8 days without
// a refresh.)
void ReadSettings() VQ_REQUIRES(g_settingsLock) {
  const DWORD now = GetTickCount();
  const int32_t level = static_cast<int32_t>(GetPrivateProfileIntA(kSection, "Level", 0, kSettingsFile));
  TraceLevel.store(level, std::memory_order_relaxed);
  g_originInTrace.store(
      static_cast<int32_t>(GetPrivateProfileIntA(kSection, "FileFunctionLineInTrace", 1, kSettingsFile)) == 1,
      std::memory_order_relaxed);
  g_keywordInTrace =
      static_cast<int32_t>(GetPrivateProfileIntA(kSection, "KeywordInTrace", 1, kSettingsFile)) == 1;
  g_refreshInterval = static_cast<int32_t>(GetPrivateProfileIntA(kSection, "RefreshInterval", 0, kSettingsFile));
  g_readTick = now;
  if (level == 0) return;
  const DWORD n = GetPrivateProfileStringA(kSection, "Keywords", "", g_keywords, kKeywordListBytes, kSettingsFile);
  if (n == kKeywordListBytes - 1) {
    OutputDebugStringA(
        "VQDebug::VQTrace() : Warning, user-defined keyword list too long. The following keywords were "
        "read:\r\n");
    OutputDebugStringA(g_keywords);
    OutputDebugStringA("\r\n");
  }
  LowerInPlace(g_keywords);
}

// Whether the keyword is in the list as a whole ';'-separated entry; keyword
// is already lowercased.
bool KeywordListed(const char* keyword) VQ_REQUIRES(g_settingsLock) {
  if (*keyword == '\0') return true;
  const size_t len = strlen(keyword);
  for (const char* p = strstr(g_keywords, keyword); p; p = strstr(p + 1, keyword)) {
    const bool starts = p == g_keywords || p[-1] == ';';
    const bool ends = p[len] == '\0' || p[len] == ';';
    if (starts && ends) return true;
  }
  return false;
}

// Where the file name starts once its directories are dropped.
const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

}  // namespace

void SetTraceOrigin(const char* file, const char* function, int line) {
  if (!g_originInTrace.load(std::memory_order_relaxed)) return;
  CopyCut(t_origin.file, sizeof t_origin.file, file ? BaseName(file) : nullptr);
  CopyCut(t_origin.function, sizeof t_origin.function, function);
  t_origin.line = line;
}

void VQTrace(const char* keyword, int level, const char* format, ...) {
  const Origin& origin = t_origin;
  if (!keyword || !format) {
    char line[kIllegalLineBytes];
    snprintf(line, sizeof line, "Illegal parameter to VQTrace() : kw = %p, format = %p from %s(%d)\r\n",
             static_cast<const void*>(keyword), static_cast<const void*>(format), origin.file, origin.line);
    OutputDebugStringA(line);
    return;
  }

  bool keywordInTrace;
  bool originInTrace;
  {
    vq::MutexLock lock(g_settingsLock);
    bool refresh = TraceLevel.load(std::memory_order_relaxed) == kUnread;
    // The interval test first spares the tick count when nothing refreshes.
    if (!refresh && g_refreshInterval > kMinRefreshInterval)
      refresh = vq::TraceRefreshDue(g_readTick, g_refreshInterval, GetTickCount());
    if (refresh) ReadSettings();

    const int32_t traceLevel = TraceLevel.load(std::memory_order_relaxed);
    if (level > traceLevel) return;
    if (traceLevel != kNoKeywordFilterLevel) {
      char lowered[kKeywordCopyChars + 1];
      CopyCut(lowered, sizeof lowered, keyword);
      LowerInPlace(lowered);
      if (!KeywordListed(lowered)) return;
    }
    keywordInTrace = g_keywordInTrace;
    originInTrace = g_originInTrace.load(std::memory_order_relaxed);
  }

  char message[kMessageBytes];
  va_list args;
  va_start(args, format);
  if (vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
  va_end(args);

  char line[kLineChars + 1];
  int n;
  if (keywordInTrace && originInTrace)
    n = snprintf(line, sizeof line, "%s '%s' Origin: %s\\%s(%d)\r\n", message, keyword, origin.file,
                 origin.function, origin.line);
  else if (keywordInTrace)
    n = snprintf(line, sizeof line, "%s   '%s'\r\n", message, keyword);
  else if (originInTrace)
    n = snprintf(line, sizeof line, "%s    Origin: %s\\%s(%d)\r\n", message, origin.file, origin.function,
                 origin.line);
  else
    n = snprintf(line, sizeof line, "%s\r\n", message);
  // A cut line still ends its line, so the next line does not run into it.
  if (n < 0) return;
  if (static_cast<size_t>(n) > kLineChars) memcpy(line + kLineChars - 2, "\r\n", 3);
  OutputDebugStringA(line);
}

namespace vq {

void ResetTraceForTest() {
  vq::MutexLock lock(g_settingsLock);
  TraceLevel.store(kUnread, std::memory_order_relaxed);
  g_keywords[0] = '\0';
  g_keywordInTrace = true;
  g_originInTrace.store(true, std::memory_order_relaxed);
  g_refreshInterval = 0;
  g_readTick = 0;
  t_origin = Origin{};
}

bool TraceRefreshDue(DWORD readTick, int32_t interval, DWORD now) {
  if (interval <= kMinRefreshInterval) return false;
  return static_cast<int32_t>(readTick + static_cast<DWORD>(interval) - now) < 0;
}

}  // namespace vq
