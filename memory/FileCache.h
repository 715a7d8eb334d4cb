// FileCache.h - the swap file of one matrix.
//
// CFileCache is a private temporary file into which storage objects write
// their values when they are swapped out, and from which they read them back.
// The file is an append-only sequence of blocks, one per storage object, each
// named by a block id (1, 2, 3, ... in the order of first writing, never
// reused). Block n starts at its recorded offset, a multiple of the transfer
// unit (m_SectorSize); its bytes are followed by padding up to the next
// multiple. There is no header and no index: the block table lives in memory.
//
// The file is created in the swap folder (memory/SwapFolder.h: $VQ_SWAP_DIR,
// else a disk-backed one of $TMPDIR, /var/tmp, /tmp, since a file in memory
// frees none) with mode 0600 and without a name (O_TMPFILE), so no death of
// the process can leave it behind; where the file system refuses that, it is
// named "CFileCache" + six characters and unlinked at once, which a process
// killed in between does leave behind. It is opened with O_DIRECT where the
// file system allows it; then the transfer unit is the direct I/O alignment
// of the file (its device's logical block size) and transfers whose address,
// offset or length are not aligned go through a page-aligned bounce buffer.
// Where O_DIRECT is refused (tmpfs), the file is buffered and the unit is 1.
// No O_DSYNC: the file never needs to survive a crash.
//
// Block states: a block is written once by WriteBlock (it then exists with a
// fixed size and offset), may be overwritten in place by RewriteBlock with
// exactly its size, and is read whole or in part by ReadBlock. A failed
// WriteBlock adds no block and leaves the end of the file where it was, so
// the next write reuses the space; a failed RewriteBlock may leave the block
// partly overwritten (its caller keeps the values in memory); a failed
// ReadBlock leaves the destination unspecified.
//
// Every system call goes through the environment's vq::SwapFileOps, and the
// bounce buffers come from the environment too, so that a test can inject
// failed or short reads and writes, a full disk and a failed allocation.
//
// Threads: the memory watcher (swapping out) and the client's thread
// (reading back, bulk save) share one object. m_Lock guards every field and
// is held for a whole transfer; it is the innermost lock of the matrix.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VQPlatform.h"
#include "memory/Environment.h"

namespace vq {

// Transfers between memory and every swap file of the process since the
// library was loaded: blocks written (swapped out, or saved again in place)
// and read back (whole or in part), with the caller's bytes. Only transfers
// that completed count. VQGetSwapStatistics (component/) reports them.
struct SwapTransferCounts {
  uint64_t blocksWritten = 0;
  uint64_t bytesWritten = 0;
  uint64_t blocksRead = 0;
  uint64_t bytesRead = 0;
};
SwapTransferCounts SwapTransfers() noexcept;

}  // namespace vq

class CFileCache {
 public:
  // env: the system calls and buffers to use; not owned, outlives the cache.
  explicit CFileCache(vq::Environment& env = vq::SystemEnvironment());
  ~CFileCache();
  CFileCache(const CFileCache&) = delete;
  CFileCache& operator=(const CFileCache&) = delete;

  // Creates and opens the file; unbuffered asks for direct transfers. False
  // (traced) when the folder, the file or the open fails; a file opened
  // before a later failure stays open until destruction.
  bool Initialize(bool unbuffered);

  // Appends a block holding `size` bytes of `data`; returns its new id, or 0
  // when the write failed (nothing is recorded then).
  uint32_t WriteBlock(const void* data, uint32_t size);

  // Overwrites block `blockId`, whose recorded size must be exactly `size`;
  // false when the id or size is wrong or the write failed.
  bool RewriteBlock(uint32_t blockId, const void* data, uint32_t size);

  // Reads `size` bytes at `offset` within block `blockId` into `dest`;
  // returns size, or 0 when the id or range is wrong or the read failed.
  uint32_t ReadBlock(uint32_t blockId, void* dest, uint32_t offset, uint32_t size);

  // Diagnostics and tests.
  uint32_t SectorSize() const;
  bool IsDirect() const;
  uint64_t EndOffset() const;
  uint32_t BlockCount() const;
  // Offset of a block's first byte in the file, or UINT64_MAX for a bad id.
  uint64_t BlockOffset(uint32_t blockId) const;
  // The environment the cache was made with (storage objects take their
  // large buffers from it too).
  vq::Environment& Env() const { return m_Env; }
  // Test only: pretends the transfer unit is `sectorSize` (a power of two
  // that the open file supports, or any value on a buffered file).
  void SetSectorSizeForTest(uint32_t sectorSize);

 private:
  struct BlockRecord {
    uint32_t id;
    uint32_t size;    // as written by the caller, unrounded
    uint64_t offset;  // of the first byte, a multiple of m_SectorSize
  };

  bool IsAligned(const void* address, uint64_t value) const VQ_REQUIRES(m_Lock);
  uint64_t RoundUp(uint64_t size) const VQ_REQUIRES(m_Lock);
  // Writes size bytes at offset, directly when aligned, else through a zero-
  // padded bounce buffer rounded up to the transfer unit, and counts it in
  // the process's swap statistics. Caller holds m_Lock.
  bool WriteAt(const void* data, uint32_t size, uint64_t offset, const char* origin) VQ_REQUIRES(m_Lock);
  bool WriteAtUncounted(const void* data, uint32_t size, uint64_t offset, const char* origin) VQ_REQUIRES(m_Lock);
  // Transfers exactly size bytes; false (with the Win32 error in *error) on a
  // failed or short transfer.
  bool WriteFully(const void* data, uint64_t size, uint64_t offset, DWORD* error) VQ_REQUIRES(m_Lock);
  bool ReadFully(void* data, uint64_t size, uint64_t offset, DWORD* error) VQ_REQUIRES(m_Lock);
  const BlockRecord* FindBlock(uint32_t blockId) const VQ_REQUIRES(m_Lock);

  mutable vq::CriticalSection m_Lock;
  uint32_t m_NextBlockId VQ_GUARDED_BY(m_Lock) = 1;
  uint64_t m_EndOffset VQ_GUARDED_BY(m_Lock) = 0;
  std::vector<BlockRecord> m_Blocks VQ_GUARDED_BY(m_Lock);  // id n at position n-1
  int m_File VQ_GUARDED_BY(m_Lock) = -1;
  uint32_t m_SectorSize VQ_GUARDED_BY(m_Lock) = 1;
  bool m_Direct VQ_GUARDED_BY(m_Lock) = false;
  vq::Environment& m_Env;
  vq::SwapFileOps& m_Ops;
};
