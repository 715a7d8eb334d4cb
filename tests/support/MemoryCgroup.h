// MemoryCgroup.h - locating the process's own memory cgroup for tests that
// run a child process under a real memory limit.
//
// Tests create a child cgroup under the process's own one, set its limit,
// move a forked child into it and remove it afterwards; they never touch a
// cgroup above their own, and skip where this is not permitted.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vq::test {

// The directory of the process's memory cgroup with *version 1 or 2, or ""
// when there is none that has a limit file.
inline std::string OwnMemoryCgroup(int* version) {
  std::ifstream in("/proc/self/cgroup");
  std::string line, v1, v2;
  while (std::getline(in, line)) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (line.compare(0, 2, "0:") == 0 && controllers.empty()) v2 = "/sys/fs/cgroup" + path;
    std::stringstream list(controllers);
    for (std::string c; std::getline(list, c, ',');)
      if (c == "memory") v1 = "/sys/fs/cgroup/memory" + path;
  }
  struct stat st {};
  if (!v1.empty() && stat((v1 + "/memory.limit_in_bytes").c_str(), &st) == 0) {
    *version = 1;
    return v1;
  }
  if (!v2.empty() && stat((v2 + "/memory.max").c_str(), &st) == 0) {
    *version = 2;
    return v2;
  }
  return "";
}

// Writes `text` into a cgroup control file; false when it cannot.
inline bool WriteControlFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

}  // namespace vq::test
