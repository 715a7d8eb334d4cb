// The write-combining stream of a matrix Write.
#include "persistence/WriteCombiner.h"

#include <algorithm>
#include <cstring>

namespace vq::persist {

WriteCombiningStream::WriteCombiningStream(IStream* target) : m_Target(target) { m_Target->AddRef(); }

WriteCombiningStream::~WriteCombiningStream() { m_Target->Release(); }

HRESULT WriteCombiningStream::Create(IStream* target, WriteCombiningStream** out) {
  *out = nullptr;
  if (target == nullptr) return E_POINTER;
  *out = vq::MakeComObject<WriteCombiningStream>(target);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT WriteCombiningStream::Flush() {
  if (FAILED(m_Failure) || m_Used == 0) return m_Failure;
  ULONG written = 0;
  HRESULT hr = m_Target->Write(m_Buffer, m_Used, &written);
  // A target that claims more than it was given took at most what it was given.
  if (written > m_Used) written = m_Used;
  if (SUCCEEDED(hr) && written < m_Used) hr = STG_E_MEDIUMFULL;
  if (written > 0) std::memmove(m_Buffer, m_Buffer + written, m_Used - written);
  m_Used -= written;
  if (FAILED(hr)) m_Failure = hr;
  return m_Failure;
}

STDMETHODIMP WriteCombiningStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten != nullptr) *pcbWritten = 0;
  if (pv == nullptr) return STG_E_INVALIDPOINTER;
  if (FAILED(m_Failure)) return m_Failure;
  if (cb >= kPassThroughBytes) {
    const HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    // The caller sees the target's answer and count, as it would without
    // this stream; a failure or a short count is kept, so that a later Flush
    // cannot report success whatever the caller made of it.
    ULONG written = 0;
    const HRESULT result = m_Target->Write(pv, cb, &written);
    if (FAILED(result)) {
      m_Failure = result;
    } else if (written < cb) {
      m_Failure = STG_E_MEDIUMFULL;
    }
    if (pcbWritten != nullptr) *pcbWritten = written;
    return result;
  }
  const auto* in = static_cast<const unsigned char*>(pv);
  ULONG done = 0;
  while (done < cb) {
    const ULONG n = std::min(cb - done, kBufferBytes - m_Used);
    std::memcpy(m_Buffer + m_Used, in + done, n);
    m_Used += n;
    done += n;
    // Bytes already copied stay buffered, so a failure here means none of
    // this write counts as taken: its caller stops and Flush keeps failing.
    if (m_Used == kBufferBytes && FAILED(Flush())) return m_Failure;
  }
  if (pcbWritten != nullptr) *pcbWritten = cb;
  return S_OK;
}

STDMETHODIMP WriteCombiningStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->Read(pv, cb, pcbRead);
}

STDMETHODIMP WriteCombiningStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->Seek(dlibMove, dwOrigin, plibNewPosition);
}

STDMETHODIMP WriteCombiningStream::SetSize(ULARGE_INTEGER libNewSize) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->SetSize(libNewSize);
}

STDMETHODIMP WriteCombiningStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                          ULARGE_INTEGER* pcbWritten) {
  if (pcbRead != nullptr) pcbRead->QuadPart = 0;
  if (pcbWritten != nullptr) pcbWritten->QuadPart = 0;
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

STDMETHODIMP WriteCombiningStream::Commit(DWORD grfCommitFlags) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->Commit(grfCommitFlags);
}

STDMETHODIMP WriteCombiningStream::Revert() {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->Revert();
}

STDMETHODIMP WriteCombiningStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->LockRegion(libOffset, cb, dwLockType);
}

STDMETHODIMP WriteCombiningStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->UnlockRegion(libOffset, cb, dwLockType);
}

STDMETHODIMP WriteCombiningStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  const HRESULT hr = Flush();
  return FAILED(hr) ? hr : m_Target->Stat(pstatstg, grfStatFlag);
}

STDMETHODIMP WriteCombiningStream::Clone(IStream** ppstm) {
  if (ppstm != nullptr) *ppstm = nullptr;
  return E_NOTIMPL;
}

}  // namespace vq::persist
