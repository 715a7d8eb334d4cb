// VQErrorReporting.h - how matrix methods report failures.
//
// Every IVQDataMatrix method reports failure only through its HRESULT; the
// description of what went wrong goes to the trace, not to the caller. Four
// pieces serve all methods:
//   - the component error (`_com_error`), raised with ThrowIfFailed when a call
//     into a data item or the matrix's own interface fails, carrying the failed
//     HRESULT and, when the called object offers it, its error information;
//   - the refusal (Refuse), raised where the method's own check fails deep in
//     its work (a malformed stream, a slice the axis cannot give): the code to
//     return and the words that say why;
//   - MethodGuard, which runs a method body, turns a component error or a
//     refusal back into its HRESULT and any other exception into E_FAIL,
//     tracing each under the keyword "Assert";
//   - ErrorReturn, the one-line way of tracing a message while returning a code.
// None of these takes a lock; locks taken inside a guarded body are scoped and
// released by unwinding before the guard's handlers run.
//
// They live in core/, below storage/ and the matrix, because the storage
// objects raise and trace component errors the same way the matrix does.
#pragma once

#include "VQPlatform.h"
#include "trace/VQTrace.h"

namespace vq {

// Traces `message` ("%s") at level 1 under "DataMatrix" with the origin
// "CVQDataMatrix::ErrorReturn" and returns hr unchanged, traced or not.
HRESULT ErrorReturn(HRESULT hr, const char* message) noexcept;

// As above with the trace "%s: %u"; `number` is an element index or a system
// error code, as the caller says.
HRESULT ErrorReturn(HRESULT hr, const char* message, unsigned number) noexcept;

// A check that ends the method: the guard traces `context: message` (or the
// message alone) and returns `code`. Both texts are literals.
struct Refusal {
  HRESULT code;
  const char* message;
  const char* context;
};

[[noreturn]] inline void Refuse(HRESULT code, const char* message, const char* context = nullptr) {
  throw Refusal{code, message, context};
}

// Traces a refusal as MethodGuard does.
void TraceRefusal(const char* origin, const Refusal& refusal) noexcept;

// Raises the component error for a failed call that the matrix made itself.
inline void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) _com_issue_error(hr);
}

// Raises the component error for a failed call into `object` through the
// interface `riid`, with the object's error information when the object
// supports it for that interface.
inline void ThrowIfFailed(HRESULT hr, IUnknown* object, REFIID riid) {
  if (FAILED(hr)) _com_issue_errorex(hr, object, riid);
}

// InterfaceSupportsErrorInfo for an object whose only error-reporting
// interface is `supported`: S_OK for it, S_FALSE for any other identifier.
inline HRESULT SupportsErrorInfoFor(REFIID riid, REFIID supported) noexcept {
  return riid == supported ? S_OK : S_FALSE;
}

// The message text of a component error, never null, never throwing.
const char* ComErrorText(const _com_error& e) noexcept;

// Runs `body` (returning HRESULT). A component error that leaves it is traced
// as "COM Error, %s" at level 1 under "Assert" with `origin` and its HRESULT
// returned; a refusal is traced with its own words and gives its code; any
// other exception is traced as "Unhandled exception" and gives E_FAIL.
template <class Body>
HRESULT MethodGuard(const char* origin, Body&& body) noexcept {
  try {
    return body();
  } catch (const _com_error& e) {
    VQ_TRACE(origin, "Assert", 1, "COM Error, %s", ComErrorText(e));
    return e.Error();
  } catch (const Refusal& refusal) {
    TraceRefusal(origin, refusal);
    return refusal.code;
  } catch (...) {
    VQ_TRACE(origin, "Assert", 1, "Unhandled exception");
    return E_FAIL;
  }
}

// The same guard for methods whose traces carry their arguments: onComError
// (called with the error's message text) and onUnhandled trace the method's
// own variants of the two texts (a refusal is passed to onComError as its
// message and gives its code).
template <class Body, class OnComError, class OnUnhandled>
HRESULT MethodGuard(Body&& body, OnComError&& onComError, OnUnhandled&& onUnhandled) noexcept {
  try {
    return body();
  } catch (const Refusal& refusal) {
    try {
      onComError(refusal.message);
    } catch (...) {
    }
    return refusal.code;
  } catch (const _com_error& e) {
    try {
      onComError(ComErrorText(e));
    } catch (...) {
    }
    return e.Error();
  } catch (...) {
    try {
      onUnhandled();
    } catch (...) {
    }
    return E_FAIL;
  }
}

}  // namespace vq
