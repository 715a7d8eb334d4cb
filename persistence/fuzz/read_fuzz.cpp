// libFuzzer target for IVQDataMatrix::Read: each input is read into a fresh
// matrix (ReadFuzzOne.h says how the first byte picks the stream); an
// accepted input that does not write back to a stable form stops the run.
#include <cstddef>
#include <cstdint>

#include "persistence/fuzz/ReadFuzzOne.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool apartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  (void)apartment;
  if (!vq::persist::fuzz::ReadOne(data, size)) __builtin_trap();
  return 0;
}
