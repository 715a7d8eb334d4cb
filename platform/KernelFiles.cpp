// The temporary folder and unique temporary file names.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VQKernel.h"

EXTERN_C DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  const size_t len = strlen(dir);
  const bool addSlash = dir[len - 1] != '/';
  const size_t needed = len + (addSlash ? 1 : 0);  // without the terminator
  if (needed + 1 > vq::kMaxPath * 16) {            // an absurd $TMPDIR is refused, not copied
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (!buffer || bufferLength < needed + 1) return static_cast<DWORD>(needed + 1);
  memcpy(buffer, dir, len);
  if (addSlash) buffer[len] = '/';
  buffer[needed] = '\0';
  return static_cast<DWORD>(needed);
}

namespace {

// Forms "<path>[/]<prefix><XXXX>.tmp" into out (vq::kMaxPath bytes); false when it
// does not fit.
bool FormName(const char* path, const char* prefix, unsigned number, char* out) {
  const size_t len = strlen(path);
  const char* sep = (len == 0 || path[len - 1] == '/') ? "" : "/";
  const int n = snprintf(out, vq::kMaxPath, "%s%s%s%04X.tmp", path, sep, prefix, number & 0xFFFFu);
  return n > 0 && n < vq::kMaxPath;
}

// Where the search for a free number starts: random per process, then moving
// on, so that concurrent callers and processes rarely collide.
std::atomic<unsigned> g_nextUnique{0};

unsigned NextUnique() {
  unsigned seed = g_nextUnique.load(std::memory_order_relaxed);
  if (seed == 0) {
    unsigned r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r))
      r = static_cast<unsigned>(getpid()) * 2654435761u ^ GetTickCount();
    unsigned expected = 0;
    g_nextUnique.compare_exchange_strong(expected, r | 1u, std::memory_order_relaxed);
  }
  unsigned n;
  do {
    n = g_nextUnique.fetch_add(1, std::memory_order_relaxed) & 0xFFFFu;
  } while (n == 0);
  return n;
}

}  // namespace

EXTERN_C UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR tempFileName) {
  if (!path || !tempFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!prefix) prefix = "";
  if (unique != 0) {
    if (!FormName(path, prefix, unique, tempFileName)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    return unique;
  }
  char name[vq::kMaxPath];
  // Every 16-bit number is tried at most once.
  for (unsigned attempt = 0; attempt < 0xFFFFu; ++attempt) {
    const unsigned number = NextUnique();
    if (!FormName(path, prefix, number, name)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      SetLastError(vq::Win32ErrorFromErrno(errno));
      return 0;
    }
    // The umask may have taken bits away; the file is private, exactly 0600.
    fchmod(fd, 0600);
    close(fd);
    memcpy(tempFileName, name, strlen(name) + 1);
    return number;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}
