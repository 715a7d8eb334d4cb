#include "memory/FileCache.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "memory/Crc32c.h"
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
  // A write that moves nothing without an error is a full device.
  return TransferFully(
      static_cast<const uint8_t*>(data), size, offset, vq::Win32ErrorFromErrno(ENOSPC), error,
      [this](const uint8_t* p, size_t n, uint64_t at, int* err) { return m_Ops.WriteAt(m_File, p, n, at, err); });
}

bool CFileCache::ReadFully(void* data, uint64_t size, uint64_t offset, DWORD* error) {
  return TransferFully(
      static_cast<uint8_t*>(data), size, offset, static_cast<DWORD>(ERROR_HANDLE_EOF), error,
      [this](uint8_t* p, size_t n, uint64_t at, int* err) { return m_Ops.ReadAt(m_File, p, n, at, err); });
}

namespace {

// Process-wide transfer counts of every swap file (vq::SwapTransfers).
struct SwapCounters {
  std::atomic<uint64_t> blocksWritten{0}, bytesWritten{0}, blocksRead{0}, bytesRead{0};
  std::atomic<uint64_t> failedSaves{0}, bytesNotSaved{0}, failedLowMemorySaves{0}, checksumFailures{0};
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
  counts.failedSaves = g_Counters.failedSaves.load(std::memory_order_relaxed);
  counts.bytesNotSaved = g_Counters.bytesNotSaved.load(std::memory_order_relaxed);
  counts.failedLowMemorySaves = g_Counters.failedLowMemorySaves.load(std::memory_order_relaxed);
  counts.checksumFailures = g_Counters.checksumFailures.load(std::memory_order_relaxed);
  return counts;
}

void vq::CountLowMemorySaveFailure() noexcept {
  g_Counters.failedLowMemorySaves.fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Space: free extents and shared units.
// ---------------------------------------------------------------------------

uint32_t CFileCache::SlotShiftFor(uint32_t size) const {
  if (m_SectorSize <= 1 || size == 0) return 0;
  uint32_t shift = kMinSlotShift;
  while ((uint64_t{1} << shift) < size) ++shift;
  return (uint64_t{1} << shift) <= m_SectorSize / 2 ? shift : 0;
}

bool CFileCache::FreeList::Take(uint64_t length, uint64_t* offset) {
  auto fit = bySize.lower_bound({length, 0});
  if (fit == bySize.end()) return false;
  const uint64_t have = fit->first, at = fit->second;
  if (have > length) {
    // The rest stays free; inserted first so that a failure changes nothing.
    auto rest = byOffset.emplace(at + length, have - length).first;
    try {
      bySize.emplace(have - length, at + length);
    } catch (...) {
      byOffset.erase(rest);
      throw;
    }
  }
  bySize.erase(fit);
  byOffset.erase(at);
  bytes -= length;
  *offset = at;
  return true;
}

std::pair<uint64_t, uint64_t> CFileCache::FreeList::Give(uint64_t offset, uint64_t length) {
  uint64_t start = offset, end = offset + length;
  // Merge with the free neighbours, so that a later large write finds one
  // extent where several blocks were.
  auto next = byOffset.lower_bound(offset);
  if (next != byOffset.end() && next->first == end) {
    end += next->second;
    Remove(next->first, next->second);
    next = byOffset.lower_bound(offset);
  }
  if (next != byOffset.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == start) {
      start = prev->first;
      Remove(prev->first, prev->second);
    }
  }
  auto placed = byOffset.emplace(start, end - start).first;
  try {
    bySize.emplace(end - start, start);
  } catch (...) {
    byOffset.erase(placed);
    throw;
  }
  bytes += end - start;
  return {start, end};
}

void CFileCache::FreeList::Remove(uint64_t offset, uint64_t length) {
  bySize.erase({length, offset});
  byOffset.erase(offset);
  bytes -= length;
}

uint64_t CFileCache::TakeExtent(uint64_t length) {
  if (length == 0) return m_EndOffset;
  uint64_t offset = 0;
  // Written space first: a file system may write space it must allocate
  // first (a hole, or past the end) at half the speed.
  if (m_Kept.Take(length, &offset) || m_Punched.Take(length, &offset)) return offset;
  offset = m_EndOffset;
  m_EndOffset += length;
  return offset;
}

void CFileCache::GiveExtent(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  m_Kept.Give(offset, length);
  Trim();
}

uint64_t CFileCache::KeptLimit() const {
  // Kept space costs disk, and memory where the file lives in memory
  // (buffered files are those of tmpfs): there, none is kept.
  if (!m_Direct) return 0;
  const uint64_t live = m_EndOffset - m_Kept.bytes - m_Punched.bytes;
  return std::min(live, std::max(kKeptMin, live / 8));
}

void CFileCache::Trim() {
  const uint64_t limit = KeptLimit();
  while (m_Kept.bytes > limit) {
    // The highest extents go first, so that the end of the file can fall;
    // of a large one only the excess (in whole units) goes.
    const auto [offset, length] = *m_Kept.byOffset.rbegin();
    const uint64_t cut = std::min(length, RoundUp(m_Kept.bytes - limit));
    m_Kept.Remove(offset, length);
    if (cut < length) m_Kept.Give(offset, length - cut);
    Punch(offset + length - cut, cut);
    const auto [start, end] = m_Punched.Give(offset + length - cut, cut);
    if (end == m_EndOffset) {
      m_Punched.Remove(start, end - start);
      m_EndOffset = start;
    }
  }
}

uint64_t CFileCache::TakeSlot(uint32_t shift, bool* fresh) {
  std::set<uint64_t>& room = m_UnitsWithRoom[shift];
  const uint32_t slots = m_SectorSize >> shift;
  if (!room.empty()) {
    const uint64_t unitOffset = *room.begin();
    SharedUnit& unit = m_SharedUnits.at(unitOffset);
    for (uint32_t i = 0; i < slots; ++i) {
      uint64_t& word = unit.used[i / 64];
      const uint64_t bit = uint64_t{1} << (i % 64);
      if ((word & bit) != 0) continue;
      word |= bit;
      if (++unit.live == slots) room.erase(room.begin());
      *fresh = false;
      return unitOffset + (uint64_t{i} << shift);
    }
  }
  const uint64_t unitOffset = TakeExtent(m_SectorSize);
  try {
    std::vector<uint64_t> used(1, 1);  // slot 0 taken
    used.resize((slots + 63) / 64, 0);
    SharedUnit unit{shift, 1, std::move(used)};
    auto placed = m_SharedUnits.emplace(unitOffset, std::move(unit)).first;
    try {
      room.insert(unitOffset);
    } catch (...) {
      m_SharedUnits.erase(placed);
      throw;
    }
  } catch (...) {
    GiveExtent(unitOffset, m_SectorSize);
    throw;
  }
  *fresh = true;
  return unitOffset;
}

void CFileCache::GiveSlot(uint64_t offset) {
  const uint64_t unitOffset = offset - offset % m_SectorSize;
  auto it = m_SharedUnits.find(unitOffset);
  if (it == m_SharedUnits.end()) return;
  SharedUnit& unit = it->second;
  const uint32_t shift = unit.slotShift;
  const uint32_t i = static_cast<uint32_t>((offset - unitOffset) >> shift);
  unit.used[i / 64] &= ~(uint64_t{1} << (i % 64));
  --unit.live;
  std::set<uint64_t>& room = m_UnitsWithRoom[shift];
  if (unit.live == 0) {
    room.erase(unitOffset);
    m_SharedUnits.erase(it);
    GiveExtent(unitOffset, m_SectorSize);
    return;
  }
  room.insert(unitOffset);  // a failure here only leaves the slot unused
}

void CFileCache::GiveSpace(const BlockRecord& block) {
  try {
    if (block.shared) {
      GiveSlot(block.offset);
    } else {
      GiveExtent(block.offset, RoundUp(block.size));
    }
  } catch (...) {
    VQ_TRACE("CFileCache::FreeBlock", "DataMatrix", 1, "Out of memory: %u bytes of free space are lost", block.size);
  }
}

void CFileCache::Punch(uint64_t offset, uint64_t length) {
  if (!m_PunchWorks) return;
  int error = 0;
  if (m_Ops.PunchHole(m_File, offset, length, &error)) return;
  // The space stays allocated but free: it is reused all the same.
  if (error == EOPNOTSUPP || error == ENOSYS) m_PunchWorks = false;
  VQ_TRACE("CFileCache::FreeBlock", "DataMatrix", 2, "PunchHole failed. Error=%u", vq::Win32ErrorFromErrno(error));
}

uint32_t CFileCache::NewId() {
  for (;;) {
    const uint32_t id = m_NextBlockId;
    m_NextBlockId = id == UINT32_MAX ? 1 : id + 1;
    if (m_Blocks.find(id) == m_Blocks.end()) return id;
  }
}

// ---------------------------------------------------------------------------
// Transfers.
// ---------------------------------------------------------------------------

// Write failures are not traced here: NoteSave traces one line per episode.
bool CFileCache::WriteSpan(const void* data, uint32_t size, uint64_t offset, WriteFailure* failure) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (IsAligned(p, 0)) {
    const uint64_t head = size - size % m_SectorSize;
    if (head != 0 && !WriteFully(p, head, offset, &failure->error)) return false;
    if (head == size) return true;
    BounceBuffer tail(m_Env, m_SectorSize);
    if (tail.data() == nullptr) {
      *failure = {"Bounce buffer allocation failed", GetLastError()};
      return false;
    }
    std::memcpy(tail.data(), p + head, size - head);
    return WriteFully(tail.data(), tail.size(), offset + head, &failure->error);
  }
  const uint64_t chunk = std::min(RoundUp(size), std::max<uint64_t>(kBounceChunk, m_SectorSize));
  BounceBuffer bounce(m_Env, chunk);
  if (bounce.data() == nullptr) {
    *failure = {"Bounce buffer allocation failed", GetLastError()};
    return false;
  }
  for (uint64_t done = 0; done < size;) {
    const uint64_t n = std::min<uint64_t>(chunk, size - done);
    const uint64_t padded = RoundUp(n);
    std::memcpy(bounce.data(), p + done, static_cast<size_t>(n));
    if (padded > n) std::memset(bounce.data() + n, 0, static_cast<size_t>(padded - n));
    if (!WriteFully(bounce.data(), padded, offset + done, &failure->error)) return false;
    done += n;
  }
  return true;
}

bool CFileCache::WriteShared(const void* data, uint32_t size, uint64_t offset, bool fresh, WriteFailure* failure) {
  const uint64_t unitOffset = offset - offset % m_SectorSize;
  BounceBuffer unit(m_Env, m_SectorSize);
  if (unit.data() == nullptr) {
    *failure = {"Bounce buffer allocation failed", GetLastError()};
    return false;
  }
  // A fresh unit has no live neighbour, and may lie past the end of the file.
  if (!fresh && !ReadFully(unit.data(), unit.size(), unitOffset, &failure->error)) {
    failure->what = "ReadFile of the shared unit failed";
    return false;
  }
  if (size != 0) std::memcpy(unit.data() + (offset - unitOffset), data, size);
  return WriteFully(unit.data(), unit.size(), unitOffset, &failure->error);
}

bool CFileCache::WriteExtent(BlockRecord* block, const void* data, WriteFailure* failure) {
  if (block->size < kOverlapMin) {
    FillChecksums(data, block);
    return WriteSpan(data, block->size, block->offset, failure);
  }
  return m_Checksummer.Overlap(data, block, [&] { return WriteSpan(data, block->size, block->offset, failure); });
}

void CFileCache::NoteSave(bool saved, uint32_t size, const char* origin, const WriteFailure& failure) {
  if (saved) {
    CountWrite(size);
    if (m_EpisodeFailures != 0) {
      VQ_TRACE(origin, "DataMatrix", 1,
               "Saving to the swap file works again; %llu saves had failed (%llu bytes stayed in memory)",
               static_cast<unsigned long long>(m_EpisodeFailures), static_cast<unsigned long long>(m_EpisodeBytes));
    }
    m_EpisodeFailures = m_EpisodeBytes = 0;
    return;
  }
  g_Counters.failedSaves.fetch_add(1, std::memory_order_relaxed);
  g_Counters.bytesNotSaved.fetch_add(size, std::memory_order_relaxed);
  ++m_FailedSaves;
  m_EpisodeBytes += size;
  if (m_EpisodeFailures++ == 0) {
    VQ_TRACE(origin, "DataMatrix", 1,
             "Saving to the swap file failed: %s. Error=%u (%u bytes stay in memory); further failures are "
             "counted, not traced, until a save succeeds",
             failure.what, failure.error, size);
  }
}

void CFileCache::PrepareChecksums(BlockRecord* block) {
  const uint32_t size = block->size;
  const uint32_t chunks = size == 0 ? 1 : (size - 1) / kChecksumChunk + 1;
  block->moreCrcs.assign(chunks - 1, 0);
}

void CFileCache::FillChecksums(const void* data, BlockRecord* block) noexcept {
  ChecksumJob job(data, block);
  job.Work(false);
}

// ---------------------------------------------------------------------------
// Checksums beside the write.
// ---------------------------------------------------------------------------

namespace {
std::atomic<uint64_t> g_ChunksSummedAside{0};
}  // namespace

uint64_t CFileCache::ChecksumChunksSummedAside() noexcept { return g_ChunksSummedAside.load(); }

CFileCache::ChecksumJob::ChecksumJob(const void* data, BlockRecord* block)
    : m_Data(static_cast<const uint8_t*>(data)),
      m_Block(block),
      m_Chunks(static_cast<uint32_t>(block->moreCrcs.size() + 1)) {}

void CFileCache::ChecksumJob::Work(bool aside) noexcept {
  const uint32_t size = m_Block->size;
  uint32_t done = 0;
  for (uint32_t i; (i = m_Next.fetch_add(1, std::memory_order_relaxed)) < m_Chunks; ++done) {
    const uint32_t at = i * kChecksumChunk;
    const uint32_t crc = vq::Crc32c(0, m_Data + at, std::min(kChecksumChunk, size - at));
    if (i == 0) {
      m_Block->crc = crc;
    } else {
      m_Block->moreCrcs[i - 1] = crc;
    }
  }
  if (aside) g_ChunksSummedAside.fetch_add(done, std::memory_order_relaxed);
}

CFileCache::Checksummer::~Checksummer() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stop = true;
  }
  m_Wake.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

bool CFileCache::Checksummer::Post(ChecksumJob* job) noexcept {
  std::lock_guard<std::mutex> lock(m_Mutex);
  // One job at a time: a second writer (another thread) sums its own.
  if (m_Job != nullptr || m_Busy || m_NoThread) return false;
  if (!m_Thread.joinable()) {
    try {
      m_Thread = std::thread([this] { Serve(); });
    } catch (...) {
      m_NoThread = true;  // the writers sum their own, as before the thread
      return false;
    }
  }
  m_Job = job;
  m_Wake.notify_one();
  return true;
}

void CFileCache::Checksummer::Retire(ChecksumJob* job) noexcept {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (m_Job == job) {
    m_Job = nullptr;  // never picked up: the writer did it all
    return;
  }
  m_Idle.wait(lock, [this] { return !m_Busy; });
}

void CFileCache::Checksummer::Serve() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Wake.wait(lock, [this] { return m_Stop || m_Job != nullptr; });
    if (m_Stop) return;
    ChecksumJob* job = m_Job;
    m_Job = nullptr;
    m_Busy = true;
    lock.unlock();
    job->Work(true);
    lock.lock();
    m_Busy = false;
    m_Idle.notify_all();
  }
}

bool CFileCache::ReadSpan(void* dest, uint32_t size, uint64_t offset, const char* origin) {
  uint8_t* p = static_cast<uint8_t*>(dest);
  DWORD error = 0;
  if (IsAligned(p, offset)) {
    const uint64_t head = size - size % m_SectorSize;
    bool read = head == 0 || ReadFully(p, head, offset, &error);
    if (read && head < size) {
      BounceBuffer tail(m_Env, m_SectorSize);
      if (tail.data() == nullptr) {
        VQ_TRACE(origin, "DataMatrix", 1, "Bounce buffer allocation failed. Error=%u", GetLastError());
        return false;
      }
      read = ReadFully(tail.data(), tail.size(), offset + head, &error);
      if (read) std::memcpy(p + head, tail.data(), size - head);
    }
    if (!read) VQ_TRACE(origin, "DataMatrix", 1, "ReadFile failed. Error=%u", error);
    return read;
  }
  // The unit-aligned window around the request, chunk by chunk.
  const uint64_t start = offset - offset % m_SectorSize;
  const uint64_t end = RoundUp(offset + size);
  const uint64_t chunk = std::min(end - start, std::max<uint64_t>(kBounceChunk, m_SectorSize));
  BounceBuffer bounce(m_Env, chunk);
  if (bounce.data() == nullptr) {
    VQ_TRACE(origin, "DataMatrix", 1, "Bounce buffer allocation failed. Error=%u", GetLastError());
    return false;
  }
  for (uint64_t at = start; at < end; at += chunk) {
    const uint64_t n = std::min(chunk, end - at);
    if (!ReadFully(bounce.data(), n, at, &error)) {
      VQ_TRACE(origin, "DataMatrix", 1, "ReadFile failed. Error=%u", error);
      return false;
    }
    const uint64_t from = std::max(at, offset), to = std::min(at + n, offset + size);
    std::memcpy(p + (from - offset), bounce.data() + (from - at), static_cast<size_t>(to - from));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Blocks.
// ---------------------------------------------------------------------------

uint32_t CFileCache::WriteBlock(const void* data, uint32_t size) {
  const char* origin = "CFileCache::WriteBlock";
  BlockRecord block{size, 0, false, 0, {}};
  WriteFailure failure;
  bool written = false;
  {
    vq::CritSecLock lock(m_Lock);
    if (m_File < 0 || (data == nullptr && size != 0)) {
      NoteSave(false, size, origin, {"WriteFile failed", static_cast<DWORD>(ERROR_INVALID_HANDLE)});
      return 0;
    }
    bool fresh = false;
    try {
      const uint32_t shift = SlotShiftFor(size);
      block.shared = shift != 0;
      block.offset = block.shared ? TakeSlot(shift, &fresh) : TakeExtent(RoundUp(size));
    } catch (...) {
      NoteSave(false, size, origin, {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)});
      return 0;
    }
    if (block.shared) {
      try {
        PrepareChecksums(&block);
        FillChecksums(data, &block);
        written = WriteShared(data, size, block.offset, fresh, &failure);
      } catch (...) {
        failure = {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
      }
    }
  }
  if (!block.shared) {
    // The extent is no longer free and no block names it yet: nobody else
    // touches it until it is recorded below.
    try {
      PrepareChecksums(&block);
      written = WriteExtent(&block, data, &failure);
    } catch (...) {
      failure = {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
    }
  }
  vq::CritSecLock lock(m_Lock);
  uint32_t id = 0;
  if (written) {
    try {
      id = NewId();
      m_Blocks.emplace(id, block);
    } catch (...) {
      failure = {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
      id = 0;
    }
  }
  NoteSave(id != 0, size, origin, failure);
  // What the failed write left there is overwritten by the next block that
  // takes the space.
  if (id == 0) GiveSpace(block);
  return id;
}

const CFileCache::BlockRecord* CFileCache::FindBlock(uint32_t blockId) const {
  auto it = m_Blocks.find(blockId);
  return it != m_Blocks.end() ? &it->second : nullptr;
}

bool CFileCache::RewriteBlock(uint32_t blockId, const void* data, uint32_t size) {
  const char* origin = "CFileCache::RewriteBlock";
  // The new checksums are kept only once the bytes are written: a failed
  // rewrite leaves a block that its owner writes again before it reads it.
  BlockRecord written{};
  WriteFailure failure;
  bool saved = false;
  {
    vq::CritSecLock lock(m_Lock);
    const BlockRecord* block = FindBlock(blockId);
    if (block == nullptr) {
      VQ_TRACE(origin, "DataMatrix", 1, "blockId is invalid");
      return false;
    }
    if (block->size != size || (data == nullptr && size != 0)) {
      VQ_TRACE(origin, "DataMatrix", 1, "blockId+bufferSize is invalid");
      return false;
    }
    written = BlockRecord{block->size, block->offset, block->shared, 0, {}};
    if (written.shared) {
      try {
        PrepareChecksums(&written);
        FillChecksums(data, &written);
        saved = WriteShared(data, size, written.offset, false, &failure);
      } catch (...) {
        failure = {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
      }
    }
  }
  if (!written.shared) {
    // Only the owner rewrites, reads or frees its block (see "Threads"):
    // the extent stays this block's for the whole write.
    try {
      PrepareChecksums(&written);
      saved = WriteExtent(&written, data, &failure);
    } catch (...) {
      failure = {"Out of memory", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
    }
  }
  vq::CritSecLock lock(m_Lock);
  if (saved) {
    auto kept = m_Blocks.find(blockId);
    if (kept != m_Blocks.end() && kept->second.offset == written.offset) {
      kept->second.crc = written.crc;
      kept->second.moreCrcs.swap(written.moreCrcs);
    }
  }
  NoteSave(saved, size, origin, failure);
  return saved;
}

bool CFileCache::ReadVerified(uint32_t blockId, const BlockRecord& block, void* dest, uint32_t offset, uint32_t size) {
  const char* origin = "CFileCache::ReadBlock";
  uint8_t* out = static_cast<uint8_t*>(dest);
  const uint64_t chunk = kChecksumChunk;
  const uint64_t end = uint64_t{offset} + size;
  auto mismatch = [&](uint64_t at) {
    g_Counters.checksumFailures.fetch_add(1, std::memory_order_relaxed);
    VQ_TRACE(origin, "DataMatrix", 1,
             "Checksum mismatch in block %u at byte %llu: the swap file does not hold what was written", blockId,
             static_cast<unsigned long long>(at));
    return false;
  };
  // The chunks that lie wholly inside the window go straight to dest.
  const uint64_t innerStart = (offset + chunk - 1) / chunk * chunk;
  const uint64_t innerEnd = end == block.size ? end : end / chunk * chunk;
  if (innerStart < innerEnd) {
    if (!ReadSpan(out + (innerStart - offset), static_cast<uint32_t>(innerEnd - innerStart), block.offset + innerStart,
                  origin)) {
      return false;
    }
    for (uint64_t at = innerStart; at < innerEnd; at += chunk) {
      const uint64_t n = std::min(chunk, innerEnd - at);
      if (vq::Crc32c(0, out + (at - offset), static_cast<size_t>(n)) != block.ChunkCrc(at / chunk)) {
        return mismatch(at);
      }
    }
  }
  // The chunks the window cuts are read whole into a bounce buffer.
  std::unique_ptr<BounceBuffer> edge;
  for (uint64_t at = offset / chunk * chunk; at < end; at += chunk) {
    const uint64_t n = std::min<uint64_t>(chunk, block.size - at);
    if (at >= offset && at + n <= end) continue;
    if (edge == nullptr) {
      edge = std::make_unique<BounceBuffer>(m_Env, std::min<uint64_t>(chunk, block.size));
      if (edge->data() == nullptr) {
        VQ_TRACE(origin, "DataMatrix", 1, "Bounce buffer allocation failed. Error=%u", GetLastError());
        return false;
      }
    }
    if (!ReadSpan(edge->data(), static_cast<uint32_t>(n), block.offset + at, origin)) return false;
    if (vq::Crc32c(0, edge->data(), static_cast<size_t>(n)) != block.ChunkCrc(at / chunk)) return mismatch(at);
    const uint64_t from = std::max<uint64_t>(at, offset), to = std::min(at + n, end);
    std::memcpy(out + (from - offset), edge->data() + (from - at), static_cast<size_t>(to - from));
  }
  return true;
}

uint32_t CFileCache::ReadBlock(uint32_t blockId, void* dest, uint32_t offset, uint32_t size) {
  BlockRecord block{};
  {
    vq::CritSecLock lock(m_Lock);
    const BlockRecord* found = FindBlock(blockId);
    if (found == nullptr) {
      VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "blockId is invalid");
      return 0;
    }
    if (static_cast<uint64_t>(offset) + size > found->size || (dest == nullptr && size != 0)) {
      VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "offset+bufferSize is invalid");
      return 0;
    }
    if (size == 0) return 0;
    // A shared unit may be in the middle of another slot's read-modify-write.
    if (found->shared) return ReadVerified(blockId, *found, dest, offset, size) ? CountRead(size) : 0;
    try {
      block = *found;
    } catch (...) {
      VQ_TRACE("CFileCache::ReadBlock", "DataMatrix", 1, "Out of memory");
      return 0;
    }
  }
  // Without the lock: only the owner reads or frees the block (see "Threads").
  if (!ReadVerified(blockId, block, dest, offset, size)) return 0;
  return CountRead(size);
}

bool CFileCache::FreeBlock(uint32_t blockId) {
  vq::CritSecLock lock(m_Lock);
  auto it = m_Blocks.find(blockId);
  if (it == m_Blocks.end()) {
    VQ_TRACE("CFileCache::FreeBlock", "DataMatrix", 1, "blockId is invalid");
    return false;
  }
  const BlockRecord block = it->second;
  m_Blocks.erase(it);
  GiveSpace(block);
  return true;
}

uint64_t CFileCache::FailedSaves() const {
  vq::CritSecLock lock(m_Lock);
  return m_FailedSaves;
}

bool CFileCache::Failing() const {
  vq::CritSecLock lock(m_Lock);
  return m_EpisodeFailures != 0;
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

uint64_t CFileCache::AllocatedBytes() const {
  vq::CritSecLock lock(m_Lock);
  return m_EndOffset - m_Kept.bytes - m_Punched.bytes;
}

uint64_t CFileCache::KeptFreeBytes() const {
  vq::CritSecLock lock(m_Lock);
  return m_Kept.bytes;
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
