// VQWin32Compat.h - the Windows spellings that code ported from Windows keeps.
//
// The other public headers define the component model's own vocabulary
// (HRESULT codes, SUCCEEDED/FAILED, STDMETHOD, VARIANT_TRUE, CLSCTX_*, the
// kernel's WAIT_* and ERROR_* codes...) and nothing that an ordinary Linux
// program is likely to use as a name of its own. The words defined here are the
// ones it would: lower-case and generic words (`interface`, `PURE`, `CALLBACK`,
// `INFINITE`, `NO_ERROR`), a name glibc's <arpa/nameser.h> defines otherwise
// (`NOERROR`), Windows' path limit, which Linux programs define to their own
// value (`MAX_PATH`), and decorations that mean nothing here (`WINAPI`,
// `__RPC_FAR`, `DECLSPEC_NOVTABLE`, `DECLSPEC_UUID`).
//
// The one opt-in: a translation unit that spells them includes this header, or
// a ported code base defines VQ_WIN32_COMPAT on its command line, and every
// public header then includes this one. The library itself does not use the
// words: interfaces are structs with `= 0` methods, waits take vq::kInfinite,
// temporary names fit vq::kMaxPath bytes.
#pragma once

#include "VQPlatformTypes.h"

#define interface struct
#define PURE = 0

#define WINAPI
#define CALLBACK
#define __RPC_FAR
#define DECLSPEC_NOVTABLE
#define DECLSPEC_UUID(x)

#define NOERROR S_OK
#define NO_ERROR ERROR_SUCCESS

// Spellings of the kernel's constants (VQKernel.h), so that one value serves
// both; they are usable where VQKernel.h has been included.
#define INFINITE (::vq::kInfinite)
#define MAX_PATH (::vq::kMaxPath)
