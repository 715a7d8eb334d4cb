// VQMatrixClass.h - what the class object needs of the matrix: a new one.
//
// The class object and the exports (VQDataMatrixModule.cpp) live in
// component/, below the matrix: the matrix implements the interface this
// folder describes and serves its dispatch from here, so component/ may not
// include matrix/ (the layering of docs/ARCHITECTURE.md, which the build
// checks). The class object therefore makes matrices through this one
// function, which component/ declares and matrix/ defines
// (matrix/VQDataMatrix.cpp); the two meet when libVQDataMatrixLib.so is
// linked.
#pragma once

#include "VQPlatform.h"

namespace vq {

// A new matrix asked for riid: alone, or aggregated into pUnkOuter (then
// riid must be IID_IUnknown and *ppvObject is the matrix's non-delegating
// IUnknown), as vq::CreateAggregatableObject makes it: E_POINTER,
// CLASS_E_NOAGGREGATION, E_OUTOFMEMORY or the matrix's QueryInterface
// result, *ppvObject null on failure. An exception of the matrix's
// constructor passes through (the class object answers E_OUTOFMEMORY).
HRESULT CreateMatrixObject(IUnknown* pUnkOuter, REFIID riid, void** ppvObject);

}  // namespace vq
