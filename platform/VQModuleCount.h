// VQModuleCount.h - the lock count of a component library.
//
// A component library's DllCanUnloadNow answers S_OK only while its count is
// zero: live objects plus IClassFactory::LockServer(TRUE) calls not yet
// undone. Each library keeps one ModuleCount object of its own (a library
// answers for itself); this is the one implementation they share. The
// counters are atomic, so objects may come and go on any thread.
#pragma once

#include <atomic>

#include "VQPlatformTypes.h"

namespace vq {

class ModuleCount {
 public:
  // Counts one more / one less live object; return the new object count.
  LONG AddObject() noexcept { return m_Objects.fetch_add(1) + 1; }
  LONG RemoveObject() noexcept { return m_Objects.fetch_sub(1) - 1; }
  // LockServer: counts (lock) or uncounts a server lock. Server locks are
  // counted apart from objects and never drop below zero, so a client's
  // unbalanced LockServer(FALSE) cannot let the library go while objects
  // live. Returns the new server lock count.
  LONG LockServer(bool lock) noexcept {
    if (lock) return m_ServerLocks.fetch_add(1) + 1;
    LONG current = m_ServerLocks.load();
    while (current > 0 && !m_ServerLocks.compare_exchange_weak(current, current - 1)) {
    }
    return current > 0 ? current - 1 : 0;
  }
  // Live objects plus server locks.
  LONG LockCount() const noexcept { return m_Objects.load() + m_ServerLocks.load(); }
  // DllCanUnloadNow's answer on this count alone: S_OK at zero, else S_FALSE.
  HRESULT CanUnloadNow() const noexcept { return LockCount() == 0 ? S_OK : S_FALSE; }

 private:
  std::atomic<LONG> m_Objects{0};
  std::atomic<LONG> m_ServerLocks{0};
};

// Counts the object that holds it (as a member or base) as live in Module
// for its lifetime; a copy counts one more.
template <ModuleCount& Module>
class ModuleObject {
 public:
  ModuleObject() noexcept { Module.AddObject(); }
  ModuleObject(const ModuleObject&) noexcept { Module.AddObject(); }
  ModuleObject& operator=(const ModuleObject&) noexcept { return *this; }
  ~ModuleObject() { Module.RemoveObject(); }
};

}  // namespace vq
