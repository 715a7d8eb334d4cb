// VQModule.h - the lock count of the VQDataMatrixLib library.
//
// DllCanUnloadNow answers S_OK only while this count is zero. It counts every
// live matrix object (each holds a vq::ModuleLock member from construction to
// destruction, aggregated or not; the class objects count too) and every
// IClassFactory::LockServer(TRUE) not yet undone. The counts are changed with
// atomic (interlocked) operations, so objects may come and go on any thread.
//
// The count belongs to this library alone: the VQData library keeps its own.
#pragma once

#include "VQPlatformTypes.h"

namespace vq {

class MatrixModule {
 public:
  // Counts one more / one less live object; return the new object count.
  static LONG AddObject() noexcept;
  static LONG RemoveObject() noexcept;
  // LockServer: counts (fLock) or uncounts a server lock. Server locks are
  // counted apart from objects and never drop below zero, so a client's
  // unbalanced LockServer(FALSE) cannot let the library go while objects
  // live. Returns the new server lock count.
  static LONG LockServer(bool lock) noexcept;
  // Live objects plus server locks: DllCanUnloadNow's S_OK needs zero.
  static LONG LockCount() noexcept;
};

// Counts one live object for its lifetime; a copy counts one more.
class ModuleLock {
 public:
  ModuleLock() noexcept { MatrixModule::AddObject(); }
  ModuleLock(const ModuleLock&) noexcept { MatrixModule::AddObject(); }
  ModuleLock& operator=(const ModuleLock&) noexcept { return *this; }
  ~ModuleLock() { MatrixModule::RemoveObject(); }
};

}  // namespace vq
