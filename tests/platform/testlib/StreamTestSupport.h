// StreamTestSupport.h - memory streams for tests: a fresh one, one holding
// given bytes, and the position, size and bytes of any stream. The helpers
// fail the test when a stream call they rely on fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "VQComSupport.h"
#include "VQStreams.h"

namespace vqtest {

inline LARGE_INTEGER Move(int64_t n) {
  LARGE_INTEGER li;
  li.QuadPart = n;
  return li;
}

// A fresh growable memory stream.
inline vq::ComPtr<IStream> NewStream() {
  vq::ComPtr<IStream> s;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
  return s;
}

inline ULONGLONG Position(IStream* s) {
  ULARGE_INTEGER pos{};
  EXPECT_EQ(s->Seek(Move(0), STREAM_SEEK_CUR, &pos), S_OK);
  return pos.QuadPart;
}

inline void Rewind(IStream* s, ULONGLONG to = 0) {
  EXPECT_EQ(s->Seek(Move(static_cast<int64_t>(to)), STREAM_SEEK_SET, nullptr), S_OK);
}

inline ULONGLONG StatSize(IStream* s) {
  STATSTG st{};
  EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  return st.cbSize.QuadPart;
}

// A memory stream holding exactly bytes, positioned at 0.
inline vq::ComPtr<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
  vq::ComPtr<IStream> s = NewStream();
  if (!bytes.empty()) {
    EXPECT_EQ(s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  }
  Rewind(s.get());
  return s;
}

// Everything a stream holds; its position is kept.
inline std::vector<uint8_t> BytesOf(IStream* s) {
  std::vector<uint8_t> bytes(static_cast<size_t>(StatSize(s)));
  const ULONGLONG keep = Position(s);
  Rewind(s);
  if (!bytes.empty()) {
    EXPECT_EQ(s->Read(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  }
  Rewind(s, keep);
  return bytes;
}

}  // namespace vqtest
