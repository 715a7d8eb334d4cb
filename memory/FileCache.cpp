#include "memory/FileCache.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "trace/VQTrace.h"

namespace {

// A page-aligned, zero-filled buffer of the environment for one unaligned
// transfer.
class BounceBuffer {
 public:
  BounceBuffer(vq::Environment& env, uint64_t size) : m_Env(env), m_Size(size) {
    if (size <= SIZE_MAX) m_Data = static_cast<uint8_t*>(env.AllocateLarge(static_cast<size_t>(size)));
  }
  ~BounceBuffer() {
    if (m_Data != nullptr) m_Env.FreeLarge(m_Data, static_cast<size_t>(m_Size));
  }
  BounceBuffer(const BounceBuffer&) = delete;
  BounceBuffer& operator=(const BounceBuffer&) = delete;
  uint8_t* data() const { return m_Data; }
  uint64_t size() const { return m_Size; }

 private:
  vq::Environment& m_Env;
  uint8_t* m_Data = nullptr;
  uint64_t m_Size;
};

// Transfers are split so that no single call exceeds what the kernel moves
// at once (about 2 GiB), and resumed after a short count.
constexpr uint64_t kMaxTransfer = 1u << 30;

// Moves exactly `size` bytes at `offset` with `transfer` (shaped like pwrite
// or pread), resuming after short counts. False with the Win32 error in
// *error on failure; `nothingMoved` is the error of a call that moves 0 bytes.
template <class Byte, class Transfer>
bool TransferFully(Byte* p, uint64_t size, uint64_t offset, DWORD nothingMoved, DWORD* error, Transfer&& transfer) {
  while (size > 0) {
    size_t chunk = static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
    int err = 0;
    ssize_t n = transfer(p, chunk, offset, &err);
    if (n <= 0) {
      *error = n < 0 ? vq::Win32ErrorFromErrno(err) : nothingMoved;
      return false;
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

CFileCache::CFileCache(vq::Environment& env) : m_Env(env), m_Ops(env.SwapFile()) {}

CFileCache::~CFileCache() {
  if (m_File >= 0) m_Ops.Close(m_File);
}

bool CFileCache::Initialize(bool unbuffered) {
  vq::CritSecLock lock(m_Lock);
  int error = 0;
  std::string folder;
  if (!m_Ops.TempFolder(&folder, &error)) {
    VQ_TRACE("CFileCache::Initialize", "DataMatrix", 1,
             "No usable folder for the swap file ($VQ_SWAP_DIR, $TMPDIR, /var/tmp, /tmp). Error=%u",
             vq::Win32ErrorFromErrno(error));
    return false;
  }
  std::string name;
  bool direct = false;
  int fd = m_Ops.CreateUnlinked(folder, "CFileCache", unbuffered, &direct, &name, &error);
  if (fd < 0) {
    VQ_TRACE("CFileCache::Initialize", "DataMatrix", 1, "CreateFile failed. Error=%u",
             vq::Win32ErrorFromErrno(error));
    return false;
  }
  m_File = fd;
  m_Direct = direct;
  VQ_TRACE("CFileCache::Initialize", "DataMatrix", 2, "File=%s", name.c_str());
  if (!direct) {
    m_SectorSize = 1;
    return true;
  }
  uint32_t align = m_Ops.DirectAlignment(fd);
  // A power of two is required for the rounding and alignment tests; 512 is
  // the smallest unit any direct I/O device accepts.
  if (align == 0 || (align & (align - 1)) != 0) align = 512;
  m_SectorSize = align;
  VQ_TRACE("CFileCache::Initialize", "DataMatrix", 2, "%u bytes per sector", m_SectorSize);
  return true;
}

bool CFileCache::IsAligned(const void* address, uint64_t value) const {
  if (m_SectorSize <= 1) return true;
  return value % m_SectorSize == 0 && reinterpret_cast<uintptr_t>(address) % m_SectorSize == 0;
}

uint64_t CFileCache::RoundUp(uint64_t size) const {
  if (m_SectorSize <= 1 || size % m_SectorSize == 0) return size;
  return (size / m_SectorSize + 1) * m_SectorSize;
}

bool CFileCache::WriteFully(const void* data, uint64_t size, uint64_t offset, DWORD* error) {
  // A write that moves nothing without an error is a full device. The lambda
  // runs within this call, under the caller's m_Lock, which the analysis
  // cannot follow into a lambda.
  return TransferFully(static_cast<const uint8_t*>(data), size, offset, vq::Win32ErrorFromErrno(ENOSPC), error,
                       [this](const uint8_t* p, size_t n, uint64_t at, int* err)
                           VQ_NO_THREAD_SAFETY_ANALYSIS { return m_Ops.WriteAt(m_File, p, n, at, err); });
}

bool CFileCache::ReadFully(void* data, uint64_t size, uint64_t offset, DWORD* error) {
  // As in WriteFully: the lambda runs under the caller's m_Lock.
  return TransferFully(static_cast<uint8_t*>(data), size, offset, static_cast<DWORD>(ERROR_HANDLE_EOF), error,
                       [this](uint8_t* p, size_t n, uint64_t at, int* err)
                           VQ_NO_THREAD_SAFETY_ANALYSIS { return m_Ops.ReadAt(m_File, p, n, at, err); });
}

namespace {

// Process-wide transfer counts of every swap file (vq::SwapTransfers).
struct SwapCounters {
  std::atomic<uint64_t> blocksWritten{0}, bytesWritten{0}, blocksRead{0}, bytesRead{0};
};
SwapCounters g_Counters;

void CountWrite(uint64_t bytes) {
  g_Counters.blocksWritten.fetch_add(1, std::memory_order_relaxed);
  g_Counters.bytesWritten.fetch_add(bytes, std::memory_order_relaxed);
}

uint32_t CountRead(uint32_t bytes) {
  g_Counters.blocksRead.fetch_add(1, std::memory_order_relaxed);
  g_Counters.bytesRead.fetch_add(bytes, std::memory_order_relaxed);
  return bytes;
}

}  // namespace

vq::SwapTransferCounts vq::SwapTransfers() noexcept {
  SwapTransferCounts counts;
  counts.blocksWritten = g_Counters.blocksWritten.load(std::memory_order_relaxed);
  counts.bytesWritten = g_Counters.bytesWritten.load(std::memory_order_relaxed);
  counts.blocksRead = g_Counters.blocksRead.load(std::memory_order_relaxed);
  counts.bytesRead = g_Counters.bytesRead.load(std::memory_order_relaxed);
  return counts;
}

bool CFileCache::WriteAt(const void* data, uint32_t size, uint64_t offset, const char* origin) {
  const bool written = WriteAtUncounted(data, size, offset, origin);
  if (written) CountWrite(size);
  return written;
}

bool CFileCache::WriteAtUncounted(const void* data, uint32_t size, uint64_t offset, const char* origin) {
  DWORD error = 0;
  if (IsAligned(data, size)) {
    if (!WriteFully(data, size, offset, &error)) {
      VQ_TRACE(origin, "DataMatrix", 1, "WriteFile failed. Error=%u", error);
      return false;
    }
    return true;
  }
  BounceBuffer bounce(m_Env, RoundUp(size));
  if (bounce.data() == nullptr) {
    VQ_TRACE(origin, "DataMatrix", 1, "Bounce buffer allocation failed. Error=%u", GetLastError());
    return false;
  }
  std::memcpy(bounce.data(), data, size);
  if (!WriteFully(bounce.data(), bounce.size(), offset, &error)) {
    VQ_TRACE(origin, "DataMatrix", 1, "WriteFile failed. Error=%u", error);
    return false;
  }
  return true;
}

uint32_t CFileCache::WriteBlock(const void* data, uint32_t size) {
  vq::CritSecLock lock(m_Lock);
  if (m_File < 0 || (data == nullptr && size != 0)) {
    VQ_TRACE("CFileCache::WriteBlock", "DataMatrix", 1, "WriteFile failed. Error=%u",
             static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return 0;
  }
  if (m_NextBlockId == UINT32_MAX) return 0;  // ids are never reused, nor wrapped
  if (!WriteAt(data, size, m_EndOffset, "CFileCache::WriteBlock")) return 0;
  try {
    m_Blocks.push_back(BlockRecord{m_NextBlockId, size, m_EndOffset});
  } catch (...) {
    return 0;  // the written bytes are simply overwritten by the next block
  }
  m_EndOffset += RoundUp(size);
  return m_NextBlockId++;
}

const CFileCache::BlockRecord* CFileCache::FindBlock(uint32_t blockId) const {
  if (blockId == 0 || blockId >= m_NextBlockId) return nullptr;
  return &m_Blocks[blockId - 1];
}

bool CFileCache::RewriteBlock(uint32_t blockId, const void* data, uint32_t size) {
  vq::CritSecLock lock(m_Lock);
  const BlockRecord* block = FindBlock(blockId);
  if (block == nullptr) {
    VQ_TRACE("CFileCache::RewriteBlock", "DataMatrix", 1, "blockId is invalid");
    return false;
  }
  if (block->size != size || (data == nullptr && size != 0)) {
    VQ_TRACE("CFileCache::RewriteBlock", "DataMatrix", 1, "blockId+bufferSize is invalid");
    return false;
  }
  return WriteAt(data, size, block->offset, "CFileCache::RewriteBlock");
}

uint32_t CFileCache::ReadBlock(uint32_t blockId, void* dest, uint32_t offset, uint32_t size) {
  vq::CritSecLock lock(m_Lock);
  const BlockRecord* block = FindBlock(blockId);
  if (block == nullptr) {
    VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "blockId is invalid");
    return 0;
  }
  if (static_cast<uint64_t>(offset) + size > block->size || (dest == nullptr && size != 0)) {
    VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "offset+bufferSize is invalid");
    return 0;
  }
  if (size == 0) return 0;
  DWORD error = 0;
  if (IsAligned(dest, offset) && IsAligned(dest, size)) {
    if (!ReadFully(dest, size, block->offset + offset, &error)) {
      VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "ReadFile failed. Error=%u", error);
      return 0;
    }
    return CountRead(size);
  }
  // Read the sector-aligned window around the request and copy out of it.
  uint64_t start = offset - offset % m_SectorSize;
  uint64_t end = RoundUp(static_cast<uint64_t>(offset) + size);
  BounceBuffer bounce(m_Env, end - start);
  if (bounce.data() == nullptr) {
    VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "Bounce buffer allocation failed. Error=%u", GetLastError());
    return 0;
  }
  if (!ReadFully(bounce.data(), bounce.size(), block->offset + start, &error)) {
    VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "ReadFile failed. Error=%u", error);
    return 0;
  }
  std::memcpy(dest, bounce.data() + (offset - start), size);
  return CountRead(size);
}

uint32_t CFileCache::SectorSize() const {
  vq::CritSecLock lock(m_Lock);
  return m_SectorSize;
}

bool CFileCache::IsDirect() const {
  vq::CritSecLock lock(m_Lock);
  return m_Direct;
}

uint64_t CFileCache::EndOffset() const {
  vq::CritSecLock lock(m_Lock);
  return m_EndOffset;
}

uint32_t CFileCache::BlockCount() const {
  vq::CritSecLock lock(m_Lock);
  return static_cast<uint32_t>(m_Blocks.size());
}

uint64_t CFileCache::BlockOffset(uint32_t blockId) const {
  vq::CritSecLock lock(m_Lock);
  const BlockRecord* block = FindBlock(blockId);
  return block != nullptr ? block->offset : UINT64_MAX;
}

void CFileCache::SetSectorSizeForTest(uint32_t sectorSize) {
  vq::CritSecLock lock(m_Lock);
  m_SectorSize = sectorSize == 0 ? 1 : sectorSize;
}
