// VQPlatform.h - the portable component runtime, as one include.
//
// Clients include this header (VQDataMatrixLib.h and VQData.h include it for
// them). It offers the Windows component runtime and kernel calls that the
// matrix and data item components use, under their standard names and
// signatures, so that client code written for the components compiles as it
// is. The pieces:
//   VQPlatformTypes.h  integer types, HRESULT codes, GUIDs, IUnknown
//   VQComObject.h      the shared IUnknown implementation
//   VQKernel.h         locks, events, threads, memory status, temporary
//                      files, profile files, debug output, system messages
//   VQOleAuto.h        BSTR, VARIANT, IDispatch, ITypeInfo, task memory
//   VQStreams.h        IStream, memory and file streams
//   VQComRuntime.h     apartments, class objects, registry store, error info
//   VQComSupport.h     _com_ptr_t, _bstr_t, _variant_t, _com_error
#pragma once

#include "VQPlatformTypes.h"
#include "VQComObject.h"
#include "VQKernel.h"
#include "VQOleAuto.h"
#include "VQStreams.h"
#include "VQStreamBase.h"
#include "VQComRuntime.h"
#include "VQComSupport.h"
