// ReadFuzzOne.h - one fuzz input through IVQDataMatrix::Read, shared by the
// libFuzzer target and the test that replays the kept inputs.
//
// The first input byte picks the stream: bit 0 clear gives a memory stream
// (which can tell its length), bit 0 set a stream that cannot seek or tell
// its size and hands out at most 7 bytes per Read. The rest is the stream's
// contents. A matrix that reads successfully must write, read back and write
// again to the very same bytes; one that does not must still be usable as far
// as the Read got, and release cleanly. Everything is created and released inside
// the call, on the calling thread, which must have entered an apartment.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQStreamBase.h"
#include "VQPlatform.h"

namespace vq::persist::fuzz {

// A forward-only stream over borrowed bytes, with short reads.
class PipeStream final : public vq::ForwardStream<PipeStream> {
 public:
  PipeStream(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const size_t n = std::min<size_t>({cb, 7, m_Size - m_At});
    if (n > 0) std::memcpy(pv, m_Data + m_At, n);
    m_At += n;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

// The whole contents of a memory stream, or an empty vector.
inline std::vector<uint8_t> StreamBytes(IStream* stream) {
  STATSTG stat{};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
  LARGE_INTEGER zero{};
  ULONG got = 0;
  if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr)) ||
      FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got)) || got != bytes.size()) {
    return {};
  }
  return bytes;
}

inline vq::ComPtr<IVQDataMatrix> NewMatrix() {
  vq::ComPtr<IVQDataMatrix> m;
  CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void());
  return m;
}

// Writes `m` to a new memory stream; false when Write fails.
inline bool WriteAll(IVQDataMatrix* m, std::vector<uint8_t>* bytes) {
  vq::ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return false;
  if (m->Write(stream.get()) != S_OK) return false;
  *bytes = StreamBytes(stream.get());
  return true;
}

// Reads `bytes` into a fresh matrix through a memory stream.
inline HRESULT ReadAll(const std::vector<uint8_t>& bytes, vq::ComPtr<IVQDataMatrix>* out) {
  vq::ComPtr<IStream> stream;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  if (FAILED(hr)) return hr;
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  *out = NewMatrix();
  if (!*out) return E_FAIL;
  return (*out)->Read(stream.get());
}

// Uses what a failed Read left behind: the matrix must work as far as it
// got (docs/STREAM_FORMAT.md) and release cleanly. A Write, the first and
// the last element and their IDs, a bulk save, and a Write that reads the
// saved elements back; each call may fail, none may crash.
inline void UseWhatIsLeft(IVQDataMatrix* m) {
  std::vector<uint8_t> ignored;
  WriteAll(m, &ignored);
  LONG dims = 0, s[4] = {1, 1, 1, 1};
  m->get_Dimensions(&dims);
  for (LONG d = 0; dims == 4 && d < 4; ++d) m->get_Size(d + 1, &s[d]);
  for (LONG last : {0, 1}) {
    const LONG p[4] = {last * (s[0] - 1), last * (s[1] - 1), last * (s[2] - 1), last * (s[3] - 1)};
    vq::ComPtr<IUnknown> item;
    m->get_ConstDataPtr(p[0], p[1], p[2], p[3], 1, item.put());
    LONG id = 0;
    m->get_ID(p[0], p[1], p[2], p[3], &id);
    m->put_ID(p[0], p[1], p[2], p[3], id + 1);
  }
  m->AllSaveToDisk();
  WriteAll(m, &ignored);
}

// Runs one input; false when an accepted input breaks the round trip (the
// caller reports that as a failure).
inline bool ReadOne(const uint8_t* data, size_t size) {
  if (size < 1) return true;
  const bool pipe = (data[0] & 1) != 0;
  std::vector<uint8_t> contents(data + 1, data + size);
  vq::ComPtr<IVQDataMatrix> m;
  HRESULT hr = S_OK;
  if (pipe) {
    vq::ComPtr<IStream> stream;
    stream.attach(vq::MakeComObject<PipeStream>(contents.data(), contents.size()));
    m = NewMatrix();
    if (!stream) return false;
    if (!m) return false;
    hr = m->Read(stream.get());
  } else {
    hr = ReadAll(contents, &m);
  }
  if (FAILED(hr)) {
    if (m) UseWhatIsLeft(m.get());
    return true;  // refused: the matrix is released below
  }
  std::vector<uint8_t> first, second;
  if (!WriteAll(m.get(), &first)) return false;
  vq::ComPtr<IVQDataMatrix> again;
  if (ReadAll(first, &again) != S_OK) return false;
  if (!WriteAll(again.get(), &second)) return false;
  return first == second;
}

}  // namespace vq::persist::fuzz
