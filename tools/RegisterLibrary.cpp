#include "tools/RegisterLibrary.h"

#include <dlfcn.h>

#include <cstdio>

#include "VQPlatform.h"

namespace vqtools {

RegistrationResult CallRegistrationEntry(const char* path, bool unregister) {
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return {3, std::string("cannot load ") + path + ": " + (why != nullptr ? why : "unknown error")};
  }
  typedef HRESULT (*EntryPoint)();
  auto function = reinterpret_cast<EntryPoint>(dlsym(handle, entry));
  if (function == nullptr) {
    dlclose(handle);
    return {4, std::string(path) + " has no entry point " + entry};
  }
  const HRESULT hr = function();
  dlclose(handle);
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return {5, std::string(entry) + " in " + path + " failed: " + code + " " + _com_error(hr).ErrorMessage()};
  }
  return {0, std::string(entry) + " in " + path + " succeeded (store " + vq::RegistryStorePath() + ")"};
}

int RegisterAndReport(const char* program, const char* path, bool unregister, bool silent) {
  const RegistrationResult result = CallRegistrationEntry(path, unregister);
  if (result.exitCode != 0) {
    std::fprintf(stderr, "%s: %s\n", program, result.message.c_str());
  } else if (!silent) {
    std::printf("%s\n", result.message.c_str());
  }
  return result.exitCode;
}

}  // namespace vqtools
