// VQValueBuffer.h - the memory block that holds an item's values.
//
// A ValueBuffer owns one block of bytes. Blocks of at least
// VQDATA_SYSTEM_BUFFER_THRESHOLD bytes are mapped from the system (mmap), so
// that freeing them returns the memory at once and they start on a page
// boundary with a capacity rounded up to whole pages (ready for unbuffered
// file transfers); smaller blocks come from the heap, aligned to 64 bytes. The
// contents of a new block are unspecified. Not synchronised: the owning item's
// lock guards it.
//
// A buffer may instead show memory it does not own (View): it then holds a
// counted reference on that memory's owner, which keeps the memory in place,
// and lets go of the reference where it would free its own block. A storage
// object that packs many items' values into one block hands them out this way
// instead of copying them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VQData.h"

namespace vqdata {

class ValueBuffer {
 public:
  ValueBuffer() = default;
  ValueBuffer(const ValueBuffer&) = delete;
  ValueBuffer& operator=(const ValueBuffer&) = delete;
  ValueBuffer(ValueBuffer&& other) noexcept;
  ValueBuffer& operator=(ValueBuffer&& other) noexcept;
  ~ValueBuffer() { Free(); }

  // Makes a block of `bytes` bytes (0 gives none). E_OUTOFMEMORY when the
  // system refuses; the buffer is then empty. `filling`: the caller is about
  // to write every byte, so a mapped block gets its pages at once (one system
  // call instead of a page fault per page, which made up most of the time of
  // reading values from a stream into new items) and a heap block is not
  // cleared first.
  HRESULT Allocate(uint64_t bytes, bool filling = false) noexcept;
  // Shows `bytes` bytes at `data`, which `owner` keeps alive while this
  // buffer holds its reference; whatever the buffer held before is freed.
  void View(IUnknown* owner, void* data, uint64_t bytes) noexcept;
  // A shown buffer becomes a block of its own with the same bytes
  // (E_OUTOFMEMORY leaves it showing); S_OK at once for an own block.
  HRESULT Detach() noexcept;
  // True while the buffer shows memory it does not own.
  bool viewing() const noexcept { return m_Owner != nullptr; }
  void Free() noexcept;
  void* data() const noexcept { return m_Data; }
  uint64_t size() const noexcept { return m_Size; }
  // Usable bytes from data(), at least size().
  uint64_t capacity() const noexcept { return m_Capacity; }
  bool mapped() const noexcept { return m_Mapped; }
  void Swap(ValueBuffer& other) noexcept;

 private:
  void* m_Data = nullptr;
  uint64_t m_Size = 0;
  uint64_t m_Capacity = 0;
  bool m_Mapped = false;
  IUnknown* m_Owner = nullptr;  // one reference, while the buffer shows its memory
};

// The byte count of nXSize * nZSize values of format; false when a size is
// negative, the format unknown, or the count beyond what can be addressed.
bool ValueBytes(LONG nXSize, LONG nZSize, LONG format, uint64_t* bytes) noexcept;

// The largest value buffer the component makes or loads.
inline constexpr uint64_t kMaxValueBytes = uint64_t{1} << 46;

}  // namespace vqdata
