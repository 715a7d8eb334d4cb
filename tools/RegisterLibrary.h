// RegisterLibrary.h - loads a component library and calls its
// DllRegisterServer or DllUnregisterServer (the tools vqregsvr and
// `vqdm register` share it).
#pragma once

#include <string>

namespace vqtools {

struct RegistrationResult {
  // 0 success, 3 the library cannot be loaded, 4 it lacks the entry point,
  // 5 the entry point failed.
  int exitCode = 0;
  // What happened, one line without the program name.
  std::string message;
};

// Loads path with dlopen, finds the entry point on that library's own
// handle, calls it and unloads the library again.
RegistrationResult CallRegistrationEntry(const char* path, bool unregister);

// CallRegistrationEntry, then its message: "program: message" on standard
// error on failure, the message on standard output on success unless
// silent. Returns the exit code.
int RegisterAndReport(const char* program, const char* path, bool unregister, bool silent);

}  // namespace vqtools
