// MemoryCgroup.h - locating the process's own memory cgroup for tests that
// run a child process under a real memory limit.
//
// Tests create a child cgroup under the process's own one, set its limit,
// move a forked child into it and remove it afterwards; they never touch a
// cgroup above their own, and skip where this is not permitted.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
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

// What the cgroup recorded of a child's run: its peak memory usage (v1
// memory.max_usage_in_bytes, v2 memory.peak; 0 when unknown) and how many
// processes the OOM killer killed in it (v1 memory.oom_control, v2
// memory.events; -1 when unknown).
struct CgroupOutcome {
  uint64_t peakBytes = 0;
  int64_t oomKills = -1;
};

// The number after `key` (followed by a space) in a control file of
// "key value" lines, or -1.
inline int64_t ControlFileValue(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string name;
  int64_t value = -1;
  while (in >> name >> value)
    if (name == key) return value;
  return -1;
}

inline CgroupOutcome ReadOutcome(const std::string& dir, int version) {
  CgroupOutcome outcome;
  std::ifstream peak(dir + (version == 1 ? "/memory.max_usage_in_bytes" : "/memory.peak"));
  if (!(peak >> outcome.peakBytes)) outcome.peakBytes = 0;
  outcome.oomKills = ControlFileValue(dir + (version == 1 ? "/memory.oom_control" : "/memory.events"), "oom_kill");
  return outcome;
}

// Runs `child` in a forked process that is moved into a new child cgroup of
// ours limited to `limit` bytes (memory and, on v1, memory + swap) before it
// starts, and removes the cgroup afterwards (its outcome into *outcome when
// given). Returns the child's wait status, or -1 with *skip saying why when
// the machine does not permit it.
inline int RunUnderMemoryLimit(uint64_t limit, const std::function<int()>& child, std::string* skip,
                               CgroupOutcome* outcome = nullptr) {
  int version = 0, go[2], status = -1;
  const std::string own = OwnMemoryCgroup(&version), dir = own + "/vqtest-" + std::to_string(getpid());
  const std::string limitFile = dir + (version == 1 ? "/memory.limit_in_bytes" : "/memory.max");
  *skip = own.empty()                     ? "no memory cgroup found"
          : mkdir(dir.c_str(), 0755) != 0 ? "cannot create a child cgroup: " + std::string(strerror(errno))
          : !WriteControlFile(limitFile, std::to_string(limit)) ? "cannot set a memory limit"
          : pipe(go) != 0                                       ? "no pipe"
                                                                : "";
  if (skip->empty()) {
    if (version == 1) WriteControlFile(dir + "/memory.memsw.limit_in_bytes", std::to_string(limit));
    const pid_t pid = fork();
    if (pid == 0) {
      char c = 0;
      _exit(read(go[0], &c, 1) == 1 && c == 'g' ? child() : 125);
    }
    close(go[0]);
    const bool moved = pid > 0 && WriteControlFile(dir + "/cgroup.procs", std::to_string(pid));
    (void)!write(go[1], moved ? "g" : "s", 1);
    close(go[1]);
    if (pid > 0) waitpid(pid, &status, 0);
    if (!moved) *skip = "cannot move a process into the cgroup";
    if (outcome != nullptr) *outcome = ReadOutcome(dir, version);
  }
  if (!own.empty()) rmdir(dir.c_str());
  return skip->empty() ? status : -1;
}

}  // namespace vq::test
