// A client program that is NOT linked against the component libraries: it
// links the platform library only and reaches VQDataMatrixLib and VQData
// through the registry store and dlopen, as a foreign process would. The
// registration tests run it as a child process with $VQ_REGISTRY set.
//
//   RegistryClient register LIB...    DllRegisterServer of each library (dlsym)
//   RegistryClient use MATRIXLIB      create and use a matrix and data items
//                                     through the registry; an item outlives
//                                     the matrix library's unload request;
//                                     unload and reload
//
// Exit code 0 when every check held; 1 with a message on stderr otherwise.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "VQDataMatrixLib.h"

namespace {

// Reports a check that did not hold (with the code a call gave); the caller
// returns 1.
bool Failed(bool held, int line, const char* what, HRESULT hr = S_OK) {
  if (!held) std::fprintf(stderr, "RegistryClient:%d: %s failed (0x%08X)\n", line, what, static_cast<unsigned>(hr));
  return !held;
}
#define CHECK(cond)                                                 \
  do {                                                              \
    if (Failed(static_cast<bool>(cond), __LINE__, #cond)) return 1; \
  } while (0)
#define CHECK_HR(expr)                                       \
  do {                                                       \
    HRESULT hr_ = (expr);                                    \
    if (Failed(hr_ == S_OK, __LINE__, #expr, hr_)) return 1; \
  } while (0)

// The class identifier as a constant of this program: naming the library's
// own CLSID_VQDataMatrix object would link the library in.
const CLSID kMatrixClsid = vq::ParseGuid("35078CFA-9E3B-4E32-B265-26792C93261E");
const wchar_t kMatrixProgId[] = L"VQDataMatrixLib.VQDataMatrix";
const wchar_t kMatrixProgIdVersioned[] = L"VQDataMatrixLib.VQDataMatrix.1";
const wchar_t kItemProgId[] = L"" VQDATA_PROGID;

bool Loaded(const char* path) {
  void* h = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
  if (h == nullptr) return false;
  dlclose(h);
  return true;
}

int CallEntry(const char* path, const char* entry) {
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    std::fprintf(stderr, "RegistryClient: cannot load %s: %s\n", path, dlerror());
    return 1;
  }
  auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(h, entry));
  HRESULT hr = fn != nullptr ? fn() : E_NOTIMPL;
  dlclose(h);
  if (hr != S_OK) {
    std::fprintf(stderr, "RegistryClient: %s of %s gave 0x%08X\n", entry, path, static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}

// A data item made through the registry with n float64 values i * 0.25.
int NewItem(LONG n, vq::ComPtr<IVQData>* out) {
  CLSID clsid{};
  CHECK_HR(CLSIDFromProgID(kItemProgId, &clsid));
  vq::ComPtr<IUnknown> unknown;
  CHECK_HR(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unknown.put_void()));
  CHECK_HR(OleRun(unknown.get()));
  vq::ComPtr<IVQData> item = unknown.query<IVQData>();
  CHECK(item);
  CHECK_HR(item->Allocate(n, 1, dataFormatFloat64));
  VQDataBuffer buffer{};
  CHECK_HR(item->GetDataBuffer(&buffer));
  CHECK(buffer.pDouble != nullptr);
  for (LONG i = 0; i < n; ++i) buffer.pDouble[i] = 0.25 * i;
  *out = item;
  return 0;
}

int NewMatrix(vq::ComPtr<IVQDataMatrix>* out) {
  CLSID byVersionIndependent{}, byVersioned{};
  CHECK_HR(CLSIDFromProgID(kMatrixProgId, &byVersionIndependent));
  CHECK_HR(CLSIDFromProgID(kMatrixProgIdVersioned, &byVersioned));
  CHECK(byVersionIndependent == kMatrixClsid);
  CHECK(byVersioned == kMatrixClsid);
  CHECK_HR(CoCreateInstance(byVersionIndependent, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, out->put_void()));
  return 0;
}

// An item made before the matrix comes through the registry; one made after
// it comes from the data item library that the matrix library loaded as its
// dependency, so asking the runtime to unload the matrix library must not
// take that item's code away.
int Use(const char* matrixLib) {
  CHECK(!Loaded(matrixLib));  // this program is not linked against it
  CHECK(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  vq::ComPtr<IVQData> survivor;
  {
    vq::ComPtr<IVQData> item;
    if (NewItem(8, &item) != 0) return 1;
    vq::ComPtr<IVQDataMatrix> matrix;
    if (NewMatrix(&matrix) != 0) return 1;
    CHECK(Loaded(matrixLib));
    if (NewItem(4, &survivor) != 0) return 1;
    CHECK_HR(matrix->Initialize(0, 3, 2, 1, 1));
    LONG size = 0;
    CHECK_HR(matrix->get_Size(1, &size));
    CHECK(size == 3);
    CHECK_HR(matrix->put_DataPtr(2, 1, 0, 0, item.get()));
    vq::ComPtr<IUnknown> back;
    CHECK_HR(matrix->get_DataPtr(2, 1, 0, 0, back.put()));
    vq::ComPtr<IVQData> backItem = back.query<IVQData>();
    CHECK(backItem);
    VQDataBuffer buffer{};
    CHECK_HR(backItem->GetDataBuffer(&buffer));
    CHECK(buffer.XSize == 8 && buffer.ZSize == 1 && buffer.pDouble != nullptr);
    for (LONG i = 0; i < 8; ++i) CHECK(buffer.pDouble[i] == 0.25 * i);

    // A live matrix keeps its library: it must still work afterwards.
    CoFreeUnusedLibraries();
    CHECK(Loaded(matrixLib));
    LONG dims = 0;
    CHECK_HR(matrix->get_Dimensions(&dims));
    CHECK(dims == 4);
  }
  CoFreeUnusedLibraries();
  CHECK(Loaded(matrixLib));
  LONG x = 0;
  CHECK_HR(survivor->GetSize(0, &x));
  CHECK(x == 4);
  survivor = nullptr;
  // Nothing is alive now: the runtime may unload the library...
  CoFreeUnusedLibraries();
  std::printf("unloaded=%s\n", Loaded(matrixLib) ? "no" : "yes");
  // ...and loads it again on the next creation.
  {
    vq::ComPtr<IVQDataMatrix> again;
    if (NewMatrix(&again) != 0) return 1;
    CHECK_HR(again->Initialize(0, 1, 1, 1, 2));
  }
  CoFreeUnusedLibraries();
  CoUninitialize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string mode = argv[1];
  if (mode == "register") {
    for (int i = 2; i < argc; ++i) {
      if (CallEntry(argv[i], "DllRegisterServer") != 0) return 1;
    }
    return 0;
  }
  if (mode == "use" && argc == 3) return Use(argv[2]);
  return 2;
}
