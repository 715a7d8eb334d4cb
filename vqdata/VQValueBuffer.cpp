// VQValueBuffer.cpp - heap or mapped value blocks.
#include "vqdata/VQValueBuffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace vqdata {

ValueBuffer::ValueBuffer(ValueBuffer&& other) noexcept { Swap(other); }

ValueBuffer& ValueBuffer::operator=(ValueBuffer&& other) noexcept {
  if (this != &other) {
    Free();
    Swap(other);
  }
  return *this;
}

void ValueBuffer::Swap(ValueBuffer& other) noexcept {
  std::swap(m_Data, other.m_Data);
  std::swap(m_Size, other.m_Size);
  std::swap(m_Capacity, other.m_Capacity);
  std::swap(m_Mapped, other.m_Mapped);
  std::swap(m_Owner, other.m_Owner);
}

void ValueBuffer::View(IUnknown* owner, void* data, uint64_t bytes) noexcept {
  // The reference is taken first: the memory shown may be the memory this
  // buffer lets go of below.
  if (owner != nullptr) owner->AddRef();
  Free();
  m_Owner = owner;
  m_Data = bytes != 0 ? data : nullptr;
  m_Size = bytes;
  m_Capacity = bytes;
}

HRESULT ValueBuffer::Detach() noexcept {
  if (m_Owner == nullptr) return S_OK;
  ValueBuffer own;
  if (FAILED(own.Allocate(m_Size, true))) return E_OUTOFMEMORY;
  if (m_Size != 0) std::memcpy(own.data(), m_Data, static_cast<size_t>(m_Size));
  Swap(own);
  return S_OK;
}

HRESULT ValueBuffer::Allocate(uint64_t bytes, bool filling) noexcept {
  Free();
  if (bytes == 0) return S_OK;
  if (bytes > kMaxValueBytes) return E_OUTOFMEMORY;
  if (bytes >= VQDATA_SYSTEM_BUFFER_THRESHOLD) {
    uint64_t capacity = (bytes + VQDATA_DIRECT_ALIGNMENT - 1) / VQDATA_DIRECT_ALIGNMENT * VQDATA_DIRECT_ALIGNMENT;
    const int populate = filling ? MAP_POPULATE : 0;
    void* p = mmap(nullptr, static_cast<size_t>(capacity), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
    if (p == MAP_FAILED) return E_OUTOFMEMORY;
    m_Data = p;
    m_Capacity = capacity;
    m_Mapped = true;
  } else {
    uint64_t capacity = (bytes + 63) / 64 * 64;
    void* p = std::aligned_alloc(64, static_cast<size_t>(capacity));
    if (p == nullptr) return E_OUTOFMEMORY;
    // Values start at zero on both paths (mapped pages are zero already): a
    // new buffer never shows what the heap held before, unless the caller
    // overwrites it at once.
    if (!filling) std::memset(p, 0, static_cast<size_t>(capacity));
    m_Data = p;
    m_Capacity = capacity;
    m_Mapped = false;
  }
  m_Size = bytes;
  return S_OK;
}

void ValueBuffer::Free() noexcept {
  if (m_Owner != nullptr) {
    m_Owner->Release();
    m_Owner = nullptr;
  } else if (m_Data != nullptr) {
    if (m_Mapped) {
      // Pages first, under the mapping's own lock: a plain munmap would zap
      // them under the address-space lock that every other thread's mmap
      // (a new item's) waits for.
      madvise(m_Data, static_cast<size_t>(m_Capacity), MADV_DONTNEED);
      munmap(m_Data, static_cast<size_t>(m_Capacity));
    } else {
      std::free(m_Data);
    }
  }
  m_Data = nullptr;
  m_Size = 0;
  m_Capacity = 0;
  m_Mapped = false;
}

bool ValueBytes(LONG nXSize, LONG nZSize, LONG format, uint64_t* bytes) noexcept {
  LONG perValue = VQDataBytesPerValue(format);
  if (nXSize < 0 || nZSize < 0 || perValue == 0) return false;
  // Two factors below 2^31 give a count below 2^62, so only the last
  // multiplication needs a check.
  uint64_t count = static_cast<uint64_t>(nXSize) * static_cast<uint64_t>(nZSize);
  if (count > kMaxValueBytes / static_cast<uint64_t>(perValue)) return false;
  *bytes = count * static_cast<uint64_t>(perValue);
  return true;
}

}  // namespace vqdata
