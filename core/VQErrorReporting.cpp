#include "core/VQErrorReporting.h"

namespace vq {

HRESULT ErrorReturn(HRESULT hr, const char* message) noexcept {
  VQ_TRACE("CVQDataMatrix::ErrorReturn", "DataMatrix", 1, "%s", message != nullptr ? message : "");
  return hr;
}

HRESULT ErrorReturn(HRESULT hr, const char* message, unsigned number) noexcept {
  VQ_TRACE("CVQDataMatrix::ErrorReturn", "DataMatrix", 1, "%s: %u", message != nullptr ? message : "", number);
  return hr;
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

}  // namespace vq
