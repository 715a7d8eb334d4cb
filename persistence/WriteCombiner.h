// WriteCombiner.h - the stream a matrix Write hands its fields and items to,
// in front of the caller's stream.
//
// A matrix is written as thousands of small writes: 4- and 8-byte fields,
// each item's header and tail. Passed one by one, each is a system call on a
// file stream (which writes through, so that no Write reports success for
// bytes not in the file). WriteCombiningStream collects them in a buffer of
// kBufferBytes and hands the target one Write per full buffer; a write of
// kPassThroughBytes or more (an element's values) goes to the target
// directly, after the bytes buffered in front of it, so values are never
// copied. The target receives exactly the bytes, in the order, that the
// writes carried.
//
// A Write into the buffer reports its bytes as taken; whoever made the
// stream must call Flush before it reports success, and Flush's failure is
// its failure: that is how no byte the target refused is reported written.
// Once the target fails, the stream keeps the bytes it did not take and
// answers every later call with the target's HRESULT (a short count is
// STG_E_MEDIUMFULL, as the matrix's own fields call it).
//
// Every other call (Seek, Stat, SetSize, Commit, Read, ...) writes the buffer
// out first and is then the target's, so that the target is never asked
// about a state that lacks buffered bytes; Clone is E_NOTIMPL (a clone would
// write around the buffer). The stream takes a reference to the target. It
// takes no lock: the Write that made it uses it on its own thread, as it uses
// the caller's stream.
#pragma once

#include "VQComObject.h"
#include "VQPlatform.h"
#include "VQStreams.h"

namespace vq::persist {

class WriteCombiningStream final : public vq::ComObject<WriteCombiningStream, IStream> {
 public:
  // Holds the records of a few hundred small elements, so that a whole
  // matrix of them takes a few target writes.
  static constexpr ULONG kBufferBytes = 64 * 1024;
  // Writes this large gain nothing from a copy: one target write each.
  static constexpr ULONG kPassThroughBytes = kBufferBytes;

  explicit WriteCombiningStream(IStream* target);

  // Creates one in front of `target`; E_OUTOFMEMORY when none can be made.
  static HRESULT Create(IStream* target, WriteCombiningStream** out);

  // Writes the buffered bytes to the target: S_OK when all of them went,
  // else the target's failure (STG_E_MEDIUMFULL for a short count), which
  // stays the answer of every later call.
  HRESULT Flush();

  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override;
  STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
  STDMETHODIMP Commit(DWORD grfCommitFlags) override;
  STDMETHODIMP Revert() override;
  STDMETHODIMP LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  STDMETHODIMP Clone(IStream** ppstm) override;

 private:
  ~WriteCombiningStream() override;
  friend class vq::ComObject<WriteCombiningStream, IStream>;

  IStream* m_Target;
  HRESULT m_Failure = S_OK;  // the target's first failure, kept
  ULONG m_Used = 0;          // bytes in m_Buffer, not yet the target's
  unsigned char m_Buffer[kBufferBytes];
};

}  // namespace vq::persist
