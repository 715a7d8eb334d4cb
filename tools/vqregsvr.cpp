// vqregsvr - registers or unregisters a component library in the registry
// store, and shows the resources a library file carries.
//
//   vqregsvr [-u] [-s] LIBRARY     register (or with -u unregister) LIBRARY
//   vqregsvr -r LIBRARY            list LIBRARY's resources without loading it
//
// Registration loads the library with dlopen, finds DllRegisterServer (or
// DllUnregisterServer) on that library's own handle, calls it and reports the
// result. The store is the one of this process ($VQ_REGISTRY, else the user's
// data directory). Exit codes: 0 success, 1 bad arguments, 3 the library
// cannot be loaded, 4 it lacks the entry point, 5 the entry point failed,
// 6 its resources cannot be read.
//
// It uses the platform library only; the component library is never linked.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VQPlatform.h"
#include "VQResources.h"
#include "tools/RegisterLibrary.h"

namespace {

bool g_Silent = false;

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: vqregsvr [-u] [-s] LIBRARY   register (-u: unregister) a component library\n"
               "       vqregsvr -r LIBRARY          list the resources of a library file\n"
               "       vqregsvr --version             show the version\n"
               "  -s  print nothing on success\n");
}

int ListResources(const char* path) {
  std::vector<vq::LibraryResource> resources;
  HRESULT hr = vq::ReadLibraryResources(path, &resources);
  if (FAILED(hr)) {
    std::fprintf(stderr, "vqregsvr: cannot read the resources of %s: 0x%08X %s\n", path, static_cast<unsigned>(hr),
                 _com_error(hr).ErrorMessage());
    return 6;
  }
  for (const vq::LibraryResource& r : resources) {
    if (r.type == "VQRESOURCES") continue;
    std::printf("== %s %u\n%s%s", r.type.c_str(), r.id, r.content.c_str(),
                r.content.empty() || r.content.back() == '\n' ? "" : "\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  bool resources = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("vqregsvr %s\n", VQ_PROJECT_VERSION);
      return 0;
    }
    if (arg == "-u" || arg == "/u" || arg == "--unregister") {
      unregister = true;
    } else if (arg == "-s" || arg == "/s" || arg == "--silent") {
      g_Silent = true;
    } else if (arg == "-r" || arg == "--resources") {
      resources = true;
    } else if (library == nullptr && !(arg.size() > 1 && arg[0] == '-')) {
      library = argv[i];
    } else {
      Usage(stderr);
      return 1;
    }
  }
  if (library == nullptr || (resources && unregister)) {
    Usage(stderr);
    return 1;
  }
  return resources ? ListResources(library) : vqtools::RegisterAndReport("vqregsvr", library, unregister, g_Silent);
}
