// FileCache.h - the swap file of one matrix.
//
// CFileCache is a private temporary file into which storage objects write
// their values when they are swapped out, and from which they read them back.
// Each storage object owns at most one block of it, named by a block id. The
// block table lives in memory; the file has no header and no index.
//
// The file is created in the swap folder (memory/SwapFolder.h: $VQ_SWAP_DIR,
// else a disk-backed one of $TMPDIR, /var/tmp, /tmp, since a file in memory
// frees none) with mode 0600 and without a name (O_TMPFILE), so no death of
// the process can leave it behind; where the file system refuses that, it is
// named "CFileCache" + six characters and unlinked at once, which a process
// killed in between does leave behind. It is opened with O_DIRECT where the
// file system allows it; then the transfer unit (m_SectorSize) is the direct
// I/O alignment of the file, and every system call moves whole units at unit
// offsets from unit-aligned memory. Where O_DIRECT is refused (tmpfs), the
// file is buffered and the unit is 1. No O_DSYNC: the file never needs to
// survive a crash.
//
// Block states and their transitions:
//   (none) --WriteBlock--> live --RewriteBlock (same size)--> live
//   live --ReadBlock (whole or part)--> live
//   live --FreeBlock--> (none): its space is free for the next WriteBlock.
// A storage object frees its block when it no longer needs it: a new size,
// a put of another item, a re-allocation, its destruction. Block ids count
// up from 1 and are not given again while the block lives; after 2^32 - 1
// ids the count wraps, skipping the live ones, so a stale id names no block
// for billions of writes.
//
// Space. A block larger than half a unit takes an extent of whole units
// starting at a unit boundary (its last unit padded with zeros). Free
// extents are kept by offset, where a freed extent merges with free
// neighbours, and by size, where a write takes the smallest extent that
// fits (best fit; the rest stays free) before it grows the file. Freed
// space is kept written, up to a limit (KeptLimit: as much as the live
// blocks hold up to 64 MiB, an eighth of them beyond; none for a buffered
// file, which lives in memory), because writing it again is fast: a file
// system writes space it must allocate first (a hole, or past the end) at
// about half the speed of a rewrite on the machines we measured, and an
// object saved again or replaced frees one block as it takes another. Kept
// space beyond the limit is punched out (SwapFileOps::PunchHole), highest
// first, and a punched extent that reaches the end of the file lowers the
// end instead; so the file system holds the live blocks and at most as much
// again. Writes take kept space before punched space before the end. A
// failed punch only leaves the bytes allocated: the extent is free all the
// same and is reused, and when the file system cannot punch at all the
// cache stops asking.
//
// Shared units. Blocks of at most half a unit would waste most of a unit
// each (65,536 one-value elements made a 32 MiB file for 512 KiB of values),
// so they share units: such a block takes a slot of a power-of-two size (8
// bytes up to half a unit) in a unit that holds only slots of that size. A
// unit is taken from the free extents like any block and given back when its
// last slot is freed. A shared block is written by a read-modify-write of
// its unit under m_Lock: the unit is read (unless no slot of it is live),
// the block copied in and the whole unit written back. The neighbours' bytes
// go back as they were read, so even a failed or torn unit write leaves them
// intact; only the slot being written may be left half written.
//
// Bounce buffers. A transfer that is not aligned in address, offset or
// length cannot go straight to an O_DIRECT file. From aligned memory the
// whole units go directly and only the tail (less than one unit) goes
// through a one-unit buffer; from unaligned memory the bytes go through a
// buffer of at most kBounceChunk bytes, chunk by chunk. Reads do the same
// around the requested window. No transfer allocates a second buffer of the
// block's size, so saving a large element costs no extra memory exactly
// when memory is low.
//
// Checksums. Each block carries a CRC-32C (memory/Crc32c.h) of every
// kChecksumChunk bytes of it, kept in the block table beside its offset (the
// file still has no index). A large block's checksums are summed while it is
// written (Checksummer below). Every read verifies: a read of a whole block
// checks each chunk as it lands in the caller's buffer; a partial read reads
// the chunks that the window cuts whole into a bounce buffer, checks them and
// copies out the window, so it moves at most two chunks more than asked. A
// mismatch fails the read (traced and counted), so bytes changed in the file
// are never handed back as values. The chunk bounds both that extra read and
// the table: 4 bytes per 16 KiB of swapped values.
//
// Failure episodes. A disk that is full or failing fails every save, and the
// memory watcher retries every poll; one trace line at level 1 starts an
// episode (the first failed save after a success, or ever), the next
// successful save ends it with a line telling how many saves failed, and
// the failures between are only counted (vq::SwapTransfers). FailedSaves()
// lets the memory watcher tell a failing file from an object that was held.
//
// Failures: a failed WriteBlock adds no block and takes no space (the extent
// or slot it had taken is free again) and changes no other block; a failed
// RewriteBlock may leave its own block partly overwritten (its caller keeps
// the values in memory and writes again) but no other; a failed ReadBlock
// leaves the destination unspecified. Running out of memory for the free
// lists only loses free space, never a block.
//
// Every system call goes through the environment's vq::SwapFileOps, and the
// bounce buffers come from the environment too, so that a test can inject
// failed or short reads and writes, a full disk, a failed punch and a failed
// allocation, and count the bounce buffers' sizes.
//
// Threads: the memory watcher (swapping out) and the client's thread
// (reading back, bulk save) share one object. m_Lock guards the block table,
// the free space and the counts, and is the innermost lock of the matrix; it
// is not held while a block's bytes move or are checksummed, so that a long
// write of one block holds up no other block:
//   - WriteBlock reserves an extent under m_Lock (out of the free lists, so
//     no other call writes, reads or frees it), checksums and writes it
//     without the lock, and records the block (or gives the space back) under
//     it again;
//   - RewriteBlock and ReadBlock look the block up under m_Lock and move its
//     bytes without it. Nothing else can free or reuse the extent meanwhile:
//     only the block's owner rewrites, reads or frees a block, and a storage
//     object makes each of these calls under the matrix's m_DataLock, so they
//     never overlap for one block. A rewrite's new checksums are kept under
//     m_Lock once its bytes are written;
//   - a shared unit is written by a read-modify-write of one unit (at most
//     half a transfer unit per slot, 4 KiB at most in practice) on behalf of
//     several owners: its blocks are written and read wholly under m_Lock.
// The descriptor and the transfer unit are set before the cache is shared
// (Initialize, SetSectorSizeForTest) and only read afterwards.
// Each cache may have one more thread, its checksum thread (Checksummer,
// started at the first block of kOverlapMin bytes or more and joined on
// destruction), which only sums the chunks of a block being written and
// takes no lock of the cache: it touches that block's values and checksum
// slots while the writer waits for it in Checksummer::Overlap.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VQPlatform.h"
#include "memory/Environment.h"
#include "memory/Releaser.h"

namespace vq {

// Transfers between memory and every swap file of the process since the
// library was loaded: blocks written (swapped out, or saved again in place)
// and read back (whole or in part), with the caller's bytes. Only transfers
// that completed count. Besides: saves that failed (WriteBlock or
// RewriteBlock could not write; invalid ids and sizes are not counted) and
// their bytes, which stayed in memory; of those, the saves the memory watcher
// made because memory was low (CountLowMemorySaveFailure); and reads that
// failed their checksum. VQGetSwapStatistics and VQGetSwapStatistics2
// (component/) report them.
struct SwapTransferCounts {
  uint64_t blocksWritten = 0;
  uint64_t bytesWritten = 0;
  uint64_t blocksRead = 0;
  uint64_t bytesRead = 0;
  uint64_t failedSaves = 0;
  uint64_t bytesNotSaved = 0;
  uint64_t failedLowMemorySaves = 0;
  uint64_t checksumFailures = 0;
};
SwapTransferCounts SwapTransfers() noexcept;
// The memory watcher's save of an object failed in the swap file while memory
// was low: the process stays above the memory it was meant to free.
void CountLowMemorySaveFailure() noexcept;

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

  // Writes a new block holding `size` bytes of `data` into free space (or at
  // the end of the file); returns its id, or 0 when the write failed (no
  // block, no space taken).
  uint32_t WriteBlock(const void* data, uint32_t size);

  // Overwrites block `blockId`, whose recorded size must be exactly `size`;
  // false when the id or size is wrong or the write failed.
  bool RewriteBlock(uint32_t blockId, const void* data, uint32_t size);

  // Reads `size` bytes at `offset` within block `blockId` into `dest`;
  // returns size, or 0 when the id or range is wrong, the read failed or the
  // bytes do not match the block's checksums (dest is then unspecified).
  uint32_t ReadBlock(uint32_t blockId, void* dest, uint32_t offset, uint32_t size);

  // Frees block `blockId`: its id names nothing any more and its space is
  // reused or given back. False (traced) for an id that names no block.
  bool FreeBlock(uint32_t blockId);

  // Where a save lets go of the memory it wrote out (the cache's second
  // thread; memory/Releaser.h).
  vq::Releaser& MemoryReleaser() { return m_Releaser; }

  // Bounce buffers are at most this large (or one unit, when that is larger).
  static constexpr uint64_t kBounceChunk = 1u << 20;
  // Each such span of a block has a checksum of its own.
  static constexpr uint32_t kChecksumChunk = 16384;
  // Blocks of at least this size have their checksums summed on the cache's
  // checksum thread while they are written (smaller ones: first, by the
  // writer, where waking the thread would cost more than it saves).
  static constexpr uint32_t kOverlapMin = 16 * kChecksumChunk;
  // Checksum chunks summed on the checksum threads of every cache (tests).
  static uint64_t ChecksumChunksSummedAside() noexcept;

  // Saves of this file that failed in the file (counted as in
  // vq::SwapTransfers), and whether the latest save failed.
  uint64_t FailedSaves() const;
  bool Failing() const;

  // Diagnostics and tests.
  uint32_t SectorSize() const;
  bool IsDirect() const;
  // One past the last byte in use; free space at the end lowers it.
  uint64_t EndOffset() const;
  // Bytes below EndOffset that hold live blocks (whole units, and whole
  // shared units): the space the file keeps allocated when every punch
  // succeeded.
  uint64_t AllocatedBytes() const;
  // Free bytes kept written rather than punched out (see "Space").
  uint64_t KeptFreeBytes() const;
  // Live blocks.
  uint32_t BlockCount() const;
  // Offset of a block's first byte in the file, or UINT64_MAX for a bad id.
  uint64_t BlockOffset(uint32_t blockId) const;
  // The environment the cache was made with (storage objects take their
  // large buffers from it too).
  vq::Environment& Env() const { return m_Env; }
  // Test only: pretends the transfer unit is `sectorSize` (a power of two
  // that the open file supports, or any value on a buffered file), before
  // the first block is written.
  void SetSectorSizeForTest(uint32_t sectorSize);

 private:
  struct BlockRecord {
    uint32_t size;    // as written by the caller, unrounded
    uint64_t offset;  // of the first byte: a unit boundary, or a slot of a shared unit
    bool shared;      // in a slot of a shared unit
    // CRC-32C of chunk 0 and of the chunks after it (kChecksumChunk bytes
    // each, the last one shorter): most blocks have one chunk and no vector.
    uint32_t crc = 0;
    std::vector<uint32_t> moreCrcs;
    uint32_t ChunkCrc(uint64_t chunk) const { return chunk == 0 ? crc : moreCrcs[chunk - 1]; }
  };
  // Why a write failed: what was being done and the Win32 error.
  struct WriteFailure {
    const char* what = "WriteFile failed";
    DWORD error = 0;
  };
  // A unit divided into slots of one size; used[i] bit set: slot i is live.
  struct SharedUnit {
    uint32_t slotShift;  // slot size 1 << slotShift
    uint32_t live;
    std::vector<uint64_t> used;
  };
  // Free extents by offset (offset -> length) and by size (length, offset),
  // never adjacent to each other. Take and Give may throw std::bad_alloc,
  // changing nothing (Take) or losing only the extent given (Give).
  struct FreeList {
    std::map<uint64_t, uint64_t> byOffset;
    std::set<std::pair<uint64_t, uint64_t>> bySize;
    uint64_t bytes = 0;
    // The smallest extent of at least `length` bytes, cut to it (best fit).
    bool Take(uint64_t length, uint64_t* offset);
    // Adds an extent, merged with its neighbours; returns the merged extent
    // as [start, end).
    std::pair<uint64_t, uint64_t> Give(uint64_t offset, uint64_t length);
    void Remove(uint64_t offset, uint64_t length);
  };
  // Free space kept written: at least this much, when the live blocks have
  // that much (else as much as they have), and an eighth of them beyond.
  static constexpr uint64_t kKeptMin = 64ull << 20;

  // Slot sizes 8 (1 << kMinSlotShift) up to half the unit.
  static constexpr uint32_t kMinSlotShift = 3;

  bool IsAligned(const void* address, uint64_t value) const;
  uint64_t RoundUp(uint64_t size) const;
  // The slot size shift of a block of `size` bytes, or 0 when the block
  // takes whole units.
  uint32_t SlotShiftFor(uint32_t size) const;

  // Space. Take* reserve space for a block, Give* return it; both may throw
  // std::bad_alloc, in which case Take* changed nothing and Give* lost only
  // free space.
  uint64_t TakeExtent(uint64_t length) VQ_REQUIRES(m_Lock);
  void GiveExtent(uint64_t offset, uint64_t length) VQ_REQUIRES(m_Lock);
  // The most free space kept written (see "Space").
  uint64_t KeptLimit() const VQ_REQUIRES(m_Lock);
  // Punches kept space out, highest first, down to KeptLimit().
  void Trim() VQ_REQUIRES(m_Lock);
  // A slot of 1 << shift bytes; *fresh tells that no other slot of its unit
  // is live (the unit need not be read before it is written).
  uint64_t TakeSlot(uint32_t shift, bool* fresh) VQ_REQUIRES(m_Lock);
  void GiveSlot(uint64_t offset) VQ_REQUIRES(m_Lock);
  void GiveSpace(const BlockRecord& block) VQ_REQUIRES(m_Lock);
  void Punch(uint64_t offset, uint64_t length) VQ_REQUIRES(m_Lock);
  uint32_t NewId() VQ_REQUIRES(m_Lock);

  // Sizes block->moreCrcs for a block of block->size bytes (may throw
  // std::bad_alloc), so that computing them from the values (FillChecksums,
  // or a ChecksumJob beside the write) allocates nothing.
  static void PrepareChecksums(BlockRecord* block);
  static void FillChecksums(const void* data, BlockRecord* block) noexcept;

  // The checksums of one block, chunk by chunk, taken from one counter by
  // whoever works on it (the writing thread and the checksum thread).
  class ChecksumJob {
   public:
    ChecksumJob(const void* data, BlockRecord* block);
    // Sums chunks until none is left; `aside`: on the checksum thread.
    void Work(bool aside) noexcept;

   private:
    const uint8_t* m_Data;
    BlockRecord* m_Block;
    uint32_t m_Chunks;
    std::atomic<uint32_t> m_Next{0};
  };

  // A thread of the cache's own that sums a block's chunks while the writing
  // thread is in its system calls: the checksums read the same values from
  // memory as the device's transfer does and are bound by memory bandwidth
  // (10-12 GB/s here, whether one stream or three interleaved), so summing
  // them first cost about a fifth of the time of saving 1 MiB elements; beside
  // the write that time is hidden. The writer sums whatever chunks the thread
  // has not taken when its write returns, so a machine without a free core
  // loses nothing against summing first. Started at the first block of
  // kOverlapMin bytes or more; where it cannot be started, writers sum alone.
  class Checksummer {
   public:
    Checksummer() = default;
    ~Checksummer();
    Checksummer(const Checksummer&) = delete;
    Checksummer& operator=(const Checksummer&) = delete;
    // Runs write() while the thread fills block's checksums (prepared) from
    // data, and returns its result once every checksum is in.
    template <class Write>
    bool Overlap(const void* data, BlockRecord* block, Write&& write) {
      ChecksumJob job(data, block);
      const bool posted = Post(&job);
      const bool written = write();
      job.Work(false);
      if (posted) Retire(&job);
      return written;
    }

   private:
    // Hands the job to the thread (started on first use); false when the
    // thread is busy or cannot run.
    bool Post(ChecksumJob* job) noexcept;
    // Returns once the thread no longer touches the job.
    void Retire(ChecksumJob* job) noexcept;
    void Serve();

    std::mutex m_Mutex;
    std::condition_variable m_Wake, m_Idle;
    ChecksumJob* m_Job = nullptr;  // posted, not yet taken
    bool m_Busy = false;           // the thread works on a job
    bool m_Stop = false;
    bool m_NoThread = false;
    std::thread m_Thread;
  };
  // Fills a block's checksums (prepared) and writes its bytes into its own
  // extent, without m_Lock: the caller owns the extent. Large blocks are
  // summed beside the write. False with *failure set when the write failed
  // (the checksums are then unspecified).
  bool WriteExtent(BlockRecord* block, const void* data, WriteFailure* failure);
  // Counts a save of `size` bytes in the process's statistics and starts or
  // ends a failure episode (one trace line each).
  void NoteSave(bool saved, uint32_t size, const char* origin, const WriteFailure& failure) VQ_REQUIRES(m_Lock);
  // Writes size bytes at the unit boundary `offset`: whole units directly from
  // aligned memory, the tail or unaligned memory through bounded bounce
  // buffers, padding the last unit with zeros.
  bool WriteSpan(const void* data, uint32_t size, uint64_t offset, WriteFailure* failure);
  // The read-modify-write of the shared unit holding `offset`.
  bool WriteShared(const void* data, uint32_t size, uint64_t offset, bool fresh, WriteFailure* failure)
      VQ_REQUIRES(m_Lock);
  // Reads `size` bytes at `offset` of `block` into dest and checks them
  // against the block's checksums (counted and traced when they differ).
  bool ReadVerified(uint32_t blockId, const BlockRecord& block, void* dest, uint32_t offset, uint32_t size);
  // Reads size bytes at any file offset into dest, through bounded bounce
  // buffers where the address, offset or length is not aligned.
  bool ReadSpan(void* dest, uint32_t size, uint64_t offset, const char* origin);
  // Transfers exactly size bytes; false (with the Win32 error in *error) on a
  // failed or short transfer.
  bool WriteFully(const void* data, uint64_t size, uint64_t offset, DWORD* error);
  bool ReadFully(void* data, uint64_t size, uint64_t offset, DWORD* error);
  const BlockRecord* FindBlock(uint32_t blockId) const VQ_REQUIRES(m_Lock);

  mutable vq::CriticalSection m_Lock;
  uint32_t m_NextBlockId VQ_GUARDED_BY(m_Lock) = 1;
  uint64_t m_EndOffset VQ_GUARDED_BY(m_Lock) = 0;
  std::unordered_map<uint32_t, BlockRecord> m_Blocks VQ_GUARDED_BY(m_Lock);
  // Free extents below m_EndOffset: kept (written space, not punched) and
  // punched (never adjacent to the end).
  FreeList m_Kept VQ_GUARDED_BY(m_Lock);
  FreeList m_Punched VQ_GUARDED_BY(m_Lock);
  // Shared units by offset, and per slot size the units with a free slot.
  std::map<uint64_t, SharedUnit> m_SharedUnits VQ_GUARDED_BY(m_Lock);
  std::array<std::set<uint64_t>, 32> m_UnitsWithRoom VQ_GUARDED_BY(m_Lock);
  bool m_PunchWorks VQ_GUARDED_BY(m_Lock) = true;
  // Saves that failed in the file, ever and in the current episode (0: none).
  uint64_t m_FailedSaves VQ_GUARDED_BY(m_Lock) = 0;
  uint64_t m_EpisodeFailures VQ_GUARDED_BY(m_Lock) = 0;
  uint64_t m_EpisodeBytes VQ_GUARDED_BY(m_Lock) = 0;
  // Set before the cache is shared (see "Threads"), read without m_Lock.
  int m_File = -1;
  uint32_t m_SectorSize = 1;
  bool m_Direct = false;
  vq::Environment& m_Env;
  vq::SwapFileOps& m_Ops;
  Checksummer m_Checksummer;
  vq::Releaser m_Releaser{m_Env};
};
