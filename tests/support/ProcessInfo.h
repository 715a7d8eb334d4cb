// ProcessInfo.h - what the tests that measure the process's own memory need:
// whether it runs under a sanitizer (which changes memory use and cannot run
// under an address-space limit), and fields of /proc/self/status.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace vq::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The thread sanitizer refuses to start threads in a child forked from a
// process that has had threads of its own (its own background thread counts),
// so tests whose forked child runs a matrix (which starts its memory
// watcher) cannot run under it.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitized = true;
#else
inline constexpr bool kThreadSanitized = false;
#endif
#else
inline constexpr bool kThreadSanitized = false;
#endif


// A field of /proc/self/status ("VmRSS:", "VmHWM:", "VmSize:") in bytes; 0
// when absent.
inline uint64_t StatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::strlen(field))) * 1024;
  }
  return 0;
}

}  // namespace vq::test
