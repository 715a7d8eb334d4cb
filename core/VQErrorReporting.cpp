#include "core/VQErrorReporting.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace vq {

namespace {

// Failures this thread has reported (see FailureReports). Read by every
// guard, element access included: one thread-local load, next to the
// critical section each access takes.
thread_local uint32_t t_FailureReports = 0;

// The method's name in an origin "CVQDataMatrix::Method".
const char* MethodName(const char* origin) {
  if (origin == nullptr) return "The method";
  const char* colon = std::strrchr(origin, ':');
  return colon != nullptr ? colon + 1 : origin;
}

// "<method> failed: <text of hr> (0x...)".
HRESULT ReportWithCodeText(const char* origin, HRESULT hr) noexcept {
  _com_error error(hr);
  return ReportFailuref(hr, "%s failed: %s (0x%08X)", MethodName(origin), ComErrorText(error),
                        static_cast<unsigned>(hr));
}

}  // namespace

HRESULT ReportFailure(HRESULT hr, const char* description) noexcept {
  ++t_FailureReports;
  // The UTF-8 words as the wide text the error object keeps; a description
  // that cannot be converted still replaces the older one.
  wchar_t wide[kDescriptionBytes];
  wide[0] = L'\0';
  const char* text = description != nullptr ? description : "";
  const DWORD lastError = GetLastError();  // the conversion must not change what callers read next
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, static_cast<int>(kDescriptionBytes));
  if (n == 0) {
    // Longer than the buffer: cut at a character boundary.
    char cut[kDescriptionBytes];
    size_t length = std::strlen(text) < kDescriptionBytes - 1 ? std::strlen(text) : kDescriptionBytes - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    std::memcpy(cut, text, length);
    cut[length] = '\0';
    if (MultiByteToWideChar(CP_UTF8, 0, cut, -1, wide, static_cast<int>(kDescriptionBytes)) == 0) wide[0] = L'\0';
  }
  SetLastError(lastError);
  try {
    return ReportError(kReportedInterface, kReportedSource, wide, hr);
  } catch (...) {
    SetErrorInfo(0, nullptr);
    return hr;
  }
}

HRESULT ReportFailuref(HRESULT hr, const char* format, ...) noexcept {
  char description[kDescriptionBytes];
  va_list args;
  va_start(args, format);
  if (vsnprintf(description, sizeof description, format, args) < 0) description[0] = '\0';
  va_end(args);
  return ReportFailure(hr, description);
}

void ReportFailureInfo(IErrorInfo* info) noexcept {
  ++t_FailureReports;
  SetErrorInfo(0, info);
}

uint32_t FailureReports() noexcept { return t_FailureReports; }

HRESULT ErrorReturn(HRESULT hr, const char* message) noexcept {
  VQ_TRACE("CVQDataMatrix::ErrorReturn", "DataMatrix", 1, "%s", message != nullptr ? message : "");
  return hr;
}

HRESULT ErrorReturn(HRESULT hr, const char* message, unsigned number) noexcept {
  VQ_TRACE("CVQDataMatrix::ErrorReturn", "DataMatrix", 1, "%s: %u", message != nullptr ? message : "", number);
  return hr;
}

void RefuseWithReason(HRESULT code, const char* message, const char* format, ...) {
  Refusal refusal{code, message, nullptr, {}};
  va_list args;
  va_start(args, format);
  if (vsnprintf(refusal.description, sizeof refusal.description, format, args) < 0) refusal.description[0] = '\0';
  va_end(args);
  throw refusal;
}

void TraceRefusal(const char* origin, const Refusal& refusal) noexcept {
  const char* message = refusal.message != nullptr ? refusal.message : "";
  if (refusal.context != nullptr) {
    VQ_TRACE(origin, "Assert", 1, "%s: %s", refusal.context, message);
  } else {
    VQ_TRACE(origin, "Assert", 1, "%s", message);
  }
}

const char* ComErrorText(const _com_error& e) noexcept {
  try {
    const char* text = e.ErrorMessage();
    return text != nullptr ? text : "";
  } catch (...) {
    return "";
  }
}

HRESULT ReportReturnedFailure(const char* origin, HRESULT hr, uint32_t reportsBefore) noexcept {
  if (FailureReports() != reportsBefore) return hr;  // the body said why
  return ReportWithCodeText(origin, hr);
}

HRESULT ReportComError(const char* origin, const _com_error& e, uint32_t reportsBefore) noexcept {
  if (IErrorInfo* info = e.ErrorInfo()) {
    // The called object's own words: what failed is best said by it.
    ReportFailureInfo(info);
    info->Release();
    return e.Error();
  }
  return ReportReturnedFailure(origin, e.Error(), reportsBefore);
}

HRESULT ReportRefusal(const Refusal& refusal) noexcept {
  if (refusal.description[0] != '\0') return ReportFailure(refusal.code, refusal.description);
  const char* message = refusal.message != nullptr ? refusal.message : "";
  if (refusal.context == nullptr) return ReportFailure(refusal.code, message);
  return ReportFailuref(refusal.code, "%s: %s", refusal.context, message);
}

HRESULT ReportUnexpected(const char* origin) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ReportFailuref(E_FAIL, "%s failed: out of memory", MethodName(origin));
  } catch (const std::exception& e) {
    return ReportFailuref(E_FAIL, "%s failed: %s", MethodName(origin), e.what());
  } catch (...) {
    return ReportFailuref(E_FAIL, "%s failed: an unexpected error", MethodName(origin));
  }
}

}  // namespace vq
