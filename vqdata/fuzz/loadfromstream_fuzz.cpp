// libFuzzer target for IVQDataPersist::LoadFromStream.
//
// The first input byte chooses how the rest is presented: bit 0 repairs the
// form's checksum first (so that the fuzzer gets past it and into the
// sections), bit 1 reads through a stream that cannot seek or tell its size
// and hands out a few bytes per Read. Every accepted form must save again and
// load back to the very same bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "VQData.h"
#include "VQStreamBase.h"
#include "VQPlatform.h"
#include "vqdata/VQDataFormat.h"

namespace {

class PipeStream final : public vq::ForwardStream<PipeStream> {
 public:
  PipeStream(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    size_t n = std::min<size_t>({cb, 5, m_Size - m_At});
    if (n > 0) std::memcpy(pv, m_Data + m_At, n);
    m_At += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

IVQDataPersist* NewItem() {
  IUnknown* unknown = nullptr;
  if (FAILED(CoCreateInstance(CLSID_VQData, nullptr, 23, IID_IUnknown, reinterpret_cast<void**>(&unknown))))
    __builtin_trap();
  IVQDataPersist* persist = nullptr;
  unknown->QueryInterface(IID_IVQDataPersist, reinterpret_cast<void**>(&persist));
  unknown->Release();
  return persist;
}

std::vector<uint8_t> Saved(IVQDataPersist* item) {
  IStream* s = nullptr;
  CreateStreamOnHGlobal(nullptr, TRUE, &s);
  if (FAILED(item->SaveToStream(s))) __builtin_trap();
  STATSTG st{};
  s->Stat(&st, STATFLAG_NONAME);
  std::vector<uint8_t> bytes(static_cast<size_t>(st.cbSize.QuadPart));
  LARGE_INTEGER zero{};
  s->Seek(zero, STREAM_SEEK_SET, nullptr);
  s->Read(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  s->Release();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool apartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  (void)apartment;
  if (size < 1) return 0;
  uint8_t mode = data[0];
  std::vector<uint8_t> form(data + 1, data + size);
  if ((mode & 1) != 0 && form.size() >= 24) {
    uint64_t total = 0;
    std::memcpy(&total, form.data() + 8, 8);
    if (total >= 28 && total <= form.size()) {
      uint32_t crc = vqdata::Crc32(0, form.data(), static_cast<size_t>(total - 4));
      std::memcpy(form.data() + total - 4, &crc, 4);
    }
  }
  IVQDataPersist* item = NewItem();
  IStream* stream = nullptr;
  if ((mode & 2) != 0) {
    stream = vq::MakeComObject<PipeStream>(form.data(), form.size());
  } else {
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (!form.empty()) stream->Write(form.data(), static_cast<ULONG>(form.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  }
  if (SUCCEEDED(item->LoadFromStream(stream))) {
    std::vector<uint8_t> once = Saved(item);
    IVQDataPersist* again = NewItem();
    IStream* s2 = nullptr;
    CreateStreamOnHGlobal(nullptr, TRUE, &s2);
    s2->Write(once.data(), static_cast<ULONG>(once.size()), nullptr);
    LARGE_INTEGER zero{};
    s2->Seek(zero, STREAM_SEEK_SET, nullptr);
    if (FAILED(again->LoadFromStream(s2)) || Saved(again) != once) __builtin_trap();
    s2->Release();
    again->Release();
  }
  stream->Release();
  item->Release();
  return 0;
}
