// The debug output channel: OutputDebugStringA/W.
//
// Each text goes out in one write() so that texts of different threads never
// interleave: to the test sink when one is set, else appended to the file that
// $VQDEBUG_OUTPUT names (opened per call with O_APPEND, so that rotating or
// deleting the file takes effect at once), else to standard error. A file that
// cannot be opened sends the text to standard error instead.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "VQKernel.h"

namespace {

struct SinkState {
  std::atomic<bool> set{false};
  vq::Mutex lock;
  std::function<void(const char*)> sink VQ_GUARDED_BY(lock);
};

SinkState& Sink() {
  static SinkState* state = new SinkState;  // never destroyed: threads may print at exit
  return *state;
}

void WriteAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// Unicode -> Windows-1252 for the code points 0x80..0x9F of that code page.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char ToCp1252(wchar_t c) {
  const auto u = static_cast<uint32_t>(c);
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
  for (unsigned i = 0; i < 32; ++i)
    if (kCp1252High[i] != 0 && kCp1252High[i] == u) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

namespace vq {

void SetDebugOutputSink(std::function<void(const char*)> sink) {
  SinkState& s = Sink();
  vq::MutexLock lock(s.lock);
  s.set.store(static_cast<bool>(sink), std::memory_order_release);
  s.sink = std::move(sink);
}

}  // namespace vq

EXTERN_C void OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  SinkState& s = Sink();
  if (s.set.load(std::memory_order_acquire)) {
    vq::MutexLock lock(s.lock);
    if (s.sink) {
      try {
        s.sink(text);
      } catch (...) {
        // A failing sink loses the text, never the caller.
      }
      return;
    }
  }
  const size_t len = strlen(text);
  const char* path = getenv("VQDEBUG_OUTPUT");
  if (path && *path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      WriteAll(fd, text, len);
      close(fd);
      return;
    }
  }
  WriteAll(STDERR_FILENO, text, len);
}

EXTERN_C void OutputDebugStringW(LPCWSTR text) {
  if (!text) return;
  char small[512];
  const size_t len = wcslen(text);
  char* narrow = len < sizeof small ? small : static_cast<char*>(malloc(len + 1));
  if (!narrow) return;
  for (size_t i = 0; i < len; ++i) narrow[i] = ToCp1252(text[i]);
  narrow[len] = '\0';
  OutputDebugStringA(narrow);
  if (narrow != small) free(narrow);
}
