// VQStreamBase.h - a base for streams that only move bytes forward (pipes,
// sockets, generators, test doubles).
//
// vq::ForwardStream<Derived> implements IStream (through vq::ComObject) with
// every method answering as such a stream must: Read E_NOTIMPL and Write
// STG_E_ACCESSDENIED until the derived class overrides them, Commit S_OK
// (nothing is buffered), and E_NOTIMPL for seeking, sizing, copying,
// reverting, locking, Stat and Clone, so that a reader that wants to know the
// stream's length learns that it cannot.
#pragma once

#include "VQComObject.h"
#include "VQStreams.h"

namespace vq {

template <class Derived>
class ForwardStream : public ComObject<Derived, IStream> {
 public:
  STDMETHODIMP Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
};

}  // namespace vq
