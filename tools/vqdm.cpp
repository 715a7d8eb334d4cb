// vqdm - the command-line tool of VQDataMatrixLib.
//
// For now it offers one command, `demo`, which walks through the component
// runtime the library stands on: an apartment, a data item created by class
// identifier, a memory stream round trip, a file stream, error texts and the
// memory status that drives swapping. It uses the public headers only.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"

namespace {

int Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "vqdm: %s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr),
               _com_error(hr).ErrorMessage());
  return 1;
}

int Demo() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail("CoInitializeEx", hr);

  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) {
    std::printf("memory: %.1f MiB available of %.1f MiB\n", static_cast<double>(status.ullAvailPhys) / 1048576.0,
                static_cast<double>(status.ullTotalPhys) / 1048576.0);
  }

  int rc = 0;
  {
    // A data item: 1024 values per record, 4 records of doubles.
    vq::ComPtr<IUnknown> unknown;
    hr = CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unknown.put_void());
    if (FAILED(hr)) return Fail("CoCreateInstance(VQData)", hr);
    OleRun(unknown.get());
    vq::ComPtr<IVQData> item = unknown.query<IVQData>();
    if (!item) return Fail("QueryInterface(IVQData)", E_NOINTERFACE);
    hr = item->Allocate(1024, 4, dataFormatFloat64);
    if (FAILED(hr)) return Fail("Allocate", hr);
    VQDataBuffer buffer{};
    item->GetDataBuffer(&buffer);
    for (LONG i = 0; i < buffer.XSize * buffer.ZSize; ++i) buffer.pDouble[i] = 0.5 * i;
    std::printf("data item: %d x %d values of format %d\n", buffer.XSize, buffer.ZSize, buffer.Format);

    // Save it into a memory stream and load it into a second item.
    vq::ComPtr<IStream> stream;
    hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (FAILED(hr)) return Fail("CreateStreamOnHGlobal", hr);
    vq::ComPtr<IVQDataPersist> persist = item.query<IVQDataPersist>();
    if (!persist || FAILED(hr = persist->SaveToStream(stream.get()))) return Fail("SaveToStream", hr);
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);

    vq::ComPtr<IVQData> copy;
    hr = CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, copy.put_void());
    if (FAILED(hr)) return Fail("CoCreateInstance(VQData)", hr);
    vq::ComPtr<IVQDataPersist> loader = copy.query<IVQDataPersist>();
    if (!loader || FAILED(hr = loader->LoadFromStream(stream.get()))) return Fail("LoadFromStream", hr);
    VQDataBuffer back{};
    copy->GetDataBuffer(&back);
    bool same = back.XSize == buffer.XSize && back.ZSize == buffer.ZSize &&
                std::memcmp(back.pDouble, buffer.pDouble, sizeof(double) * 4096) == 0;
    std::printf("stream round trip: %llu bytes, values %s\n", static_cast<unsigned long long>(stat.cbSize.QuadPart),
                same ? "identical" : "DIFFERENT");
    if (!same) rc = 1;
  }

  // What a client sees when a call fails.
  for (HRESULT code : {E_INVALIDARG, static_cast<HRESULT>(0x80040205), static_cast<HRESULT>(0x8FFF0001)}) {
    std::printf("error 0x%08X: %s\n", static_cast<unsigned>(code), _com_error(code).ErrorMessage());
  }

  CoUninitialize();
  return rc;
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: vqdm <command>\n"
               "commands:\n"
               "  demo     walk through the component runtime and a data item\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    Usage(stdout);
    return 0;
  }
  if (command == "demo") return Demo();
  std::fprintf(stderr, "vqdm: unknown command '%s' (try --help)\n", argv[1]);
  return 2;
}
