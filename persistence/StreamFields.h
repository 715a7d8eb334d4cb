// StreamFields.h - the field encodings of the matrix stream: 32-bit integers,
// 64-bit reals and counted texts, read and written on a caller's IStream.
//
// StreamWriter and StreamReader borrow the stream (no reference is taken;
// the caller keeps it alive for their lifetime) and raise a component error
// (_com_error) for every failure, so that the matrix's method guard turns it
// into the HRESULT it returns. Neither takes a lock: they run on the thread of
// the Write or Read call that created them, and the stream serialises itself.
//
// Encodings: integers are little-endian two's complement; reals IEEE 754
// binary64 little-endian; a counted text is an int32 count N followed by N
// bytes of Windows-1252 (the system ANSI code page) ending in a zero byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "VQPlatform.h"
#include "core/VQErrorReporting.h"

namespace vq::persist {

// Bytes one counted text may hold, its terminating zero included.
inline constexpr LONG kMaxTextBytes = 10000;

// Why a stream is refused: malformed content and a stream that ends early.
inline constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
inline constexpr HRESULT kEndOfStream = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

// Refuses the stream: the method guard traces "Stream refused: <what>" and
// returns hr; the caller reads "The stream cannot be read: <what>".
[[noreturn]] inline void Refuse(HRESULT hr, const char* what) {
  vq::Refusal refusal{hr, what, "Stream refused", {}};
  snprintf(refusal.description, sizeof refusal.description, "The stream cannot be read: %s", what);
  throw refusal;
}

class StreamWriter {
 public:
  explicit StreamWriter(IStream* stream) : m_Stream(stream) {}
  // Each writes one field; a stream that fails or takes fewer bytes than
  // given raises its failure (STG_E_MEDIUMFULL for a short write).
  void Int32(LONG value);
  void Double(double value);
  // Writes `text` (length characters) as a counted text; texts whose
  // encoded form would exceed kMaxTextBytes raise E_INVALIDARG before
  // anything is written.
  void Text(const wchar_t* text, size_t length);
  uint64_t BytesWritten() const { return m_Written; }

  // Bytes of the counted text's byte part for `length` characters (each
  // character becomes one byte in the system code page, plus the zero).
  static uint64_t TextBytes(size_t length) { return static_cast<uint64_t>(length) + 1; }

 private:
  void Bytes(const void* data, ULONG count);
  IStream* m_Stream;
  uint64_t m_Written = 0;
};

class StreamReader {
 public:
  explicit StreamReader(IStream* stream) : m_Stream(stream) {}
  // Each reads one field; a stream that ends first raises kEndOfStream, a
  // failing stream its own HRESULT.
  LONG Int32();
  double Double();
  // Reads a counted text into *text (up to its first zero byte). False, with
  // *text untouched, when the count is 0 or less (no bytes follow); a count
  // above kMaxTextBytes raises kInvalidData before any byte is read.
  bool Text(std::wstring* text);
  // Bytes the stream still holds after its current position, when it can
  // tell (Seek and Stat both answer); false otherwise.
  bool Remaining(uint64_t* bytes) const;

 private:
  // Reads exactly `count` bytes, asking again after partial reads.
  void Exact(void* data, ULONG count);
  IStream* m_Stream;
};

}  // namespace vq::persist
