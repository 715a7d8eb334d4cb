// VQAggregation.h - aggregation for any vq::ComObject class.
//
// An object created with an outer (controlling) IUnknown lives inside that
// outer object: every interface it hands out forwards QueryInterface, AddRef
// and Release to the outer object, so the client sees one identity and one
// reference count, while the outer object keeps the aggregated object alive
// through a separate, non-delegating IUnknown (the "inner unknown").
//
// vq::Aggregated<T> adds this to a class T built on vq::ComObject without
// touching T: it derives from T, overrides the three IUnknown methods of all
// of T's interfaces to delegate to the outer object, and carries the inner
// unknown, whose methods reach T's own (ComObject's) QueryInterface and
// reference count. The inner QueryInterface answers IUnknown with the inner
// unknown itself; any other interface comes from T, and the reference it
// carries is taken through that interface, i.e. on the outer object, as the
// aggregation rules require.
//
// Ownership: the outer object holds the one reference on the inner unknown
// that creation returned and does not AddRef itself for the pointer to it
// (no cycle). The inner object keeps a plain pointer to the outer one and
// never counts it. The object deletes itself when the inner count drops to
// zero (ComObject's Release, which runs T::FinalRelease and the virtual
// destructor).
//
// Threads: the reference counts are ComObject's atomic counts; nothing else
// here holds state that changes after construction.
//
// vq::CreateAggregatableObject<T>(outer, riid, ppv, args...) is what a class
// factory's CreateInstance calls: without an outer object it makes a plain T;
// with one, riid must be IID_IUnknown (CLASS_E_NOAGGREGATION otherwise) and
// *ppv receives the inner unknown.
#pragma once

#include <new>
#include <utility>

#include "VQComObject.h"
#include "VQPlatformTypes.h"

namespace vq {

template <class T>
class Aggregated final : public T {
 public:
  template <class... Args>
  explicit Aggregated(IUnknown* outer, Args&&... args)
      : T(std::forward<Args>(args)...), m_Outer(outer), m_Inner(this) {}

  // The delegating side: every interface of T answers through the outer
  // object.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_Outer->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_Outer->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_Outer->Release(); }
  using T::QueryInterface;

  // The non-delegating IUnknown that the outer object keeps.
  IUnknown* InnerUnknown() { return &m_Inner; }
  // The controlling unknown every interface forwards to.
  IUnknown* OuterUnknown() const { return m_Outer; }

 private:
  class Inner final : public IUnknown {
   public:
    explicit Inner(Aggregated* owner) : m_Owner(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (ppv == nullptr) return E_POINTER;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
      }
      // T's own lookup; the AddRef it makes goes through the found interface,
      // that is, to the outer object.
      return m_Owner->T::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_Owner->T::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_Owner->T::Release(); }

   private:
    Aggregated* m_Owner;
  };

  IUnknown* m_Outer;
  Inner m_Inner;
};

// Creates a T alone (outer null: *ppv is riid of a new T) or aggregated into
// outer (riid must be IID_IUnknown: *ppv is the new object's inner unknown).
// E_POINTER for a null ppv, CLASS_E_NOAGGREGATION for an outer object with
// any other riid, E_OUTOFMEMORY, or T's QueryInterface result; *ppv is null on
// failure and no object is left behind.
template <class T, class... Args>
HRESULT CreateAggregatableObject(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer == nullptr) return CreateComObject<T>(riid, ppv, std::forward<Args>(args)...);
  if (riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  Aggregated<T>* object = nullptr;
  try {
    object = new (std::nothrow) Aggregated<T>(outer, std::forward<Args>(args)...);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (object == nullptr) return E_OUTOFMEMORY;
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  *ppv = inner;
  return S_OK;
}

}  // namespace vq
