// VQModule.h - the lock count of the VQDataMatrixLib library.
//
// DllCanUnloadNow answers S_OK only while this count is zero (and the VQData
// library's own count is too). It counts every live matrix object (each holds
// a vq::ModuleLock member from construction to destruction, aggregated or
// not; the class objects count too) and every IClassFactory::LockServer(TRUE)
// not yet undone. The counting itself is vq::ModuleCount (VQModuleCount.h),
// which the VQData library uses for a count of its own.
//
// The count lives in core/ because both the matrix (its objects) and the
// class object and exports in component/ use it, and neither may include the
// other's files.
#pragma once

#include "platform/VQModuleCount.h"

namespace vq {

// This library's count (defined in core/VQModule.cpp).
extern ModuleCount g_MatrixModule;

// Counts one live object of this library for its lifetime; a copy counts one more.
using ModuleLock = ModuleObject<g_MatrixModule>;

}  // namespace vq
