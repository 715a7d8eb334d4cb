// VQComObject.h - the one shared implementation of IUnknown.
//
// vq::ComObject<Derived, I1, I2, ...> gives a class that derives from the
// interfaces I1.. a reference count and a QueryInterface that answers every
// listed interface and each of their base interfaces (walked through
// vq::InterfaceTraits<>::base), IUnknown included. The object deletes itself
// when its count drops to zero; Derived may override FinalRelease() to run
// work before the destructor while the object is still whole.
//
// Reference counting is atomic, so an object may be released from any thread
// (the swap worker releases data items it took on another thread).
//
// Objects are created with vq::MakeComObject<Derived>(args...), which returns
// a pointer carrying one reference, or with CreateInstance<Derived>(riid, ppv)
// for class factories.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "VQPlatformTypes.h"

namespace vq {

namespace detail {
// Finds riid among I and I's base interfaces; on success stores the pointer
// converted to the matching interface.
template <class I>
bool MatchInterface(I* self, REFIID riid, void** ppv) {
  if constexpr (std::is_void_v<I>) {
    return false;
  } else {
    if (riid == UuidOf<I>()) {
      *ppv = self;
      return true;
    }
    using Base = typename InterfaceTraits<I>::base;
    if constexpr (std::is_void_v<Base>) {
      return false;
    } else {
      return MatchInterface<Base>(static_cast<Base*>(self), riid, ppv);
    }
  }
}

template <class First, class... Rest>
struct FirstOf {
  using type = First;
};
}  // namespace detail

template <class Derived, class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!FindInterface(riid, ppv)) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
  }

  STDMETHODIMP_(ULONG) AddRef() override { return ++m_RefCount; }

  STDMETHODIMP_(ULONG) Release() override {
    ULONG count = --m_RefCount;
    if (count == 0) {
      // Guard against a re-entrant release from FinalRelease.
      m_RefCount = 1;
      static_cast<Derived*>(this)->FinalRelease();
      delete static_cast<Derived*>(this);
    }
    return count;
  }

  // The object's identity: its IUnknown (that of the first interface).
  IUnknown* GetUnknown() { return static_cast<typename detail::FirstOf<Interfaces...>::type*>(this); }

  // Current reference count, for tests and diagnostics only.
  ULONG RefCount() const { return m_RefCount.load(); }

 protected:
  virtual ~ComObject() = default;
  // Runs once when the last reference goes, before the destructor.
  void FinalRelease() {}

  // Answers the listed interfaces and their bases; derived classes may
  // override to answer further identifiers (call this one for the rest).
  virtual bool FindInterface(REFIID riid, void** ppv) {
    return (detail::MatchInterface<Interfaces>(static_cast<Interfaces*>(this), riid, ppv) || ...);
  }

 private:
  std::atomic<ULONG> m_RefCount{0};
};

// Creates a Derived with `new (std::nothrow)`; the result carries one
// reference, or is null when memory ran out.
template <class Derived, class... Args>
Derived* MakeComObject(Args&&... args) {
  Derived* p = new (std::nothrow) Derived(std::forward<Args>(args)...);
  if (p != nullptr) p->AddRef();
  return p;
}

// Creates a Derived and asks it for riid. On success *ppv carries one
// reference; on failure *ppv is null and the object is gone.
template <class Derived, class... Args>
HRESULT CreateComObject(REFIID riid, void** ppv, Args&&... args) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  Derived* p = nullptr;
  try {
    p = MakeComObject<Derived>(std::forward<Args>(args)...);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (p == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = p->QueryInterface(riid, ppv);
  p->Release();
  return hr;
}

}  // namespace vq
