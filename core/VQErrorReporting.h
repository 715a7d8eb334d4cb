// VQErrorReporting.h - how matrix methods report failures.
//
// Every failure of an IVQDataMatrix method is told three ways: its HRESULT,
// the thread's error information (GetErrorInfo: GUID IID_IVQDataMatrix,
// source "VQDataMatrix", a description in the caller's words), and the trace
// (the developer's words, at level 1). The pieces that serve all methods:
//   - ReportFailure, the one place that sets the error information: every
//     failure a method returns passes through it, from a check before the
//     guard as well as from the guard below;
//   - the component error (`_com_error`), raised with ThrowIfFailed when a call
//     into a data item or the matrix's own interface fails, carrying the failed
//     HRESULT and, when the called object offers it, its error information,
//     which is then passed on to the caller as it is;
//   - the refusal (Refuse), raised where the method's own check fails deep in
//     its work (a malformed stream, a slice the axis cannot give): the code to
//     return, the words the trace gives and, when they differ, those the
//     caller reads;
//   - MethodGuard, which runs a method body, turns a component error or a
//     refusal back into its HRESULT and any other exception into E_FAIL,
//     tracing each under the keyword "Assert" and reporting each; a failure the
//     body returns without having reported one gets the HRESULT's own text;
//   - ErrorReturn, the one-line way of tracing a message while returning a code.
// Success leaves the thread's error information alone: a caller reads it
// only after a failure, and every failure sets it anew, so no older
// description can be read for it; the element access paths pay nothing.
// None of these takes a lock; locks taken inside a guarded body are scoped and
// released by unwinding before the guard's handlers run. Reporting never
// throws: descriptions are formatted into fixed buffers on the failure path.
//
// They live in core/, below storage/ and the matrix, because the storage
// objects raise and trace component errors the same way the matrix does.
#pragma once

#include <cstdint>

#include "VQPlatform.h"
#include "trace/VQTrace.h"

namespace vq {

// The interface whose failures are reported and the source the error
// information names. The interface's identifier belongs to component/, above
// this folder, so matrix/VQDataMatrix.cpp defines both; they meet when the
// library is linked, as vq::CreateMatrixObject does.
extern const IID kReportedInterface;
extern const wchar_t kReportedSource[];

// Longest description kept (bytes of UTF-8, its zero included); longer ones
// are cut.
inline constexpr size_t kDescriptionBytes = 320;

// Sets the thread's error information for a failure (`description` in UTF-8)
// and returns hr. When the object cannot be made the slot is emptied, so no
// older description passes for this one.
HRESULT ReportFailure(HRESULT hr, const char* description) noexcept;
// The same with a printf description.
HRESULT ReportFailuref(HRESULT hr, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
// Hands `info` (the caller keeps its reference) to the thread as the
// failure's error information.
void ReportFailureInfo(IErrorInfo* info) noexcept;
// How many failures this thread has reported: a guard compares the count
// before and after its body to tell whether a returned failure has a
// description.
uint32_t FailureReports() noexcept;

// Traces `message` ("%s") at level 1 under "DataMatrix" with the origin
// "CVQDataMatrix::ErrorReturn" and returns hr unchanged, traced or not.
HRESULT ErrorReturn(HRESULT hr, const char* message) noexcept;

// As above with the trace "%s: %u"; `number` is an element index or a system
// error code, as the caller says.
HRESULT ErrorReturn(HRESULT hr, const char* message, unsigned number) noexcept;

// A check that ends the method: the guard traces `context: message` (or the
// message alone) and returns `code`; the caller reads `description`, or the
// traced words when it is empty. Message and context are literals.
struct Refusal {
  HRESULT code;
  const char* message;
  const char* context;
  char description[kDescriptionBytes];
};

[[noreturn]] inline void Refuse(HRESULT code, const char* message, const char* context = nullptr) {
  throw Refusal{code, message, context, {}};
}

// A refusal whose caller reads a description of its own (printf).
[[noreturn]] void RefuseWithReason(HRESULT code, const char* message, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

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

// The guard's reports; `origin` is "CVQDataMatrix::Method", and the caller
// reads the method's name. `reportsBefore` is FailureReports() at the body's
// start.
// A failure the body returned: described by the HRESULT's text unless the
// body reported one.
HRESULT ReportReturnedFailure(const char* origin, HRESULT hr, uint32_t reportsBefore) noexcept;
// A component error: its own error information when it carries one, else as
// a returned failure.
HRESULT ReportComError(const char* origin, const _com_error& e, uint32_t reportsBefore) noexcept;
// A refusal: its description.
HRESULT ReportRefusal(const Refusal& refusal) noexcept;
// Any other exception, the one being handled (call only inside a handler):
// E_FAIL, with the exception's own text when it is a standard one.
HRESULT ReportUnexpected(const char* origin) noexcept;

// Runs `body` (returning HRESULT). A component error that leaves it is traced
// as "COM Error, %s" at level 1 under "Assert" with `origin` and its HRESULT
// returned; a refusal is traced with its own words and gives its code; any
// other exception is traced as "Unhandled exception" and gives E_FAIL. Each
// failure is reported (see above).
template <class Body>
HRESULT MethodGuard(const char* origin, Body&& body) noexcept {
  const uint32_t reports = FailureReports();
  try {
    const HRESULT hr = body();
    return SUCCEEDED(hr) ? hr : ReportReturnedFailure(origin, hr, reports);
  } catch (const _com_error& e) {
    VQ_TRACE(origin, "Assert", 1, "COM Error, %s", ComErrorText(e));
    return ReportComError(origin, e, reports);
  } catch (const Refusal& refusal) {
    TraceRefusal(origin, refusal);
    return ReportRefusal(refusal);
  } catch (...) {
    VQ_TRACE(origin, "Assert", 1, "Unhandled exception");
    return ReportUnexpected(origin);
  }
}

// The same guard for methods whose traces carry their arguments: onComError
// (called with the error's message text) and onUnhandled trace the method's
// own variants of the two texts (a refusal is passed to onComError as its
// message and gives its code). The reports are those of the guard above.
template <class Body, class OnComError, class OnUnhandled>
HRESULT MethodGuard(const char* origin, Body&& body, OnComError&& onComError, OnUnhandled&& onUnhandled) noexcept {
  const uint32_t reports = FailureReports();
  try {
    const HRESULT hr = body();
    return SUCCEEDED(hr) ? hr : ReportReturnedFailure(origin, hr, reports);
  } catch (const Refusal& refusal) {
    try {
      onComError(refusal.message);
    } catch (...) {
    }
    return ReportRefusal(refusal);
  } catch (const _com_error& e) {
    try {
      onComError(ComErrorText(e));
    } catch (...) {
    }
    return ReportComError(origin, e, reports);
  } catch (...) {
    try {
      onUnhandled();
    } catch (...) {
    }
    return ReportUnexpected(origin);
  }
}

}  // namespace vq
