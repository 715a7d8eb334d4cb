// ScopedEnv.h - sets (or, given null, removes) an environment variable for
// the lifetime of the object and puts the old state back after. Main thread
// only: the environment is the process's.
#pragma once

#include <cstdlib>
#include <string>

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_Name(name) {
    if (const char* old = std::getenv(name)) m_Old = old, m_HadOld = true;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (m_HadOld)
      setenv(m_Name, m_Old.c_str(), 1);
    else
      unsetenv(m_Name);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_Name;
  std::string m_Old;
  bool m_HadOld = false;
};
