// The memory watcher: the check that swaps one storage object out when
// available memory is low, the worker thread that reclaims in the background, the
// two methods that steer swapping directly, and the swap queue's view of the
// element table. The queue and the swap file are memory/'s; the watcher is
// the matrix's own (it walks the matrix's element table under its locks).
//
// Who saves, and when (available memory as vq::AvailableMemory reads it):
//   - the worker thread reclaims in the background between two watermarks
//     (ReclaimWatermarks): it starts saving once memory falls below the low
//     watermark, above the 128 MiB threshold, and keeps saving until memory
//     is back above the high one, so a steady stream of puts finds memory
//     already freed; it looks every 10 ms while memory is below the high
//     watermark, every 100 ms above it, and at once when an element access
//     on the client's thread finds memory below the low watermark;
//   - the client's thread checks on element access (CheckMemoryNow) and
//     saves synchronously only below the threshold, as the backstop for a
//     burst that outruns the worker. An access in memory takes a reading
//     only when the last one (its own or the worker's) found memory short
//     or has served the environment's AccessesPerMemoryReading accesses
//     (CheckMemoryOnAccess): a reading cost about a fifth of such an
//     access, and the system's is cached for 10 ms anyway.
//
// A save writes without m_DataLock (SaveObject, storage/DataBase.h): under
// the lock the object is marked as being saved, the write runs without it,
// and under it again the block is committed only when nothing touched the
// object meanwhile; otherwise the block is freed and the values stay in
// memory (a "could not save" below). m_MemoryLock stays held throughout, so
// what destroys storage objects (ReleaseAllVQData, the final release, a
// second AllAllocate of the packed kind, Read growing the table) and the
// client's synchronous check (CheckMemoryNow) wait for the save in flight.
// What works on the object under m_DataLock alone does not wait: element
// access, puts, AllAllocate of the single kind, AllSaveToDisk, Write, the
// slices. Their call counts as a change, so the save's commit fails and
// their own result stands (AllSaveToDisk saves the object itself).
//
// Outcomes of one save attempt (SaveOneObject):
//   - nothing to pop (queue empty, or every object held by a client): false,
//     the worker waits before it looks again;
//   - saved: the object's values are in the swap file and its memory is
//     free; true, and the caller checks again at once;
//   - could not save (held meanwhile, swap file failing or full): the object
//     keeps its values in memory and goes back to the most recently used end
//     of the queue; false, the worker waits before the next candidate.
//   - could not save because the swap file failed: as above, and no save is
//     tried until a backoff has passed on the environment's clock (100 ms,
//     doubling up to 3.2 s; reset once a save of the file succeeds, whoever
//     made it), so a full disk is written neither every poll nor on every
//     element access of the client; the failure counts as a low-memory save
//     that failed (vq::CountLowMemorySaveFailure).
#include <algorithm>

#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "memory/FileCache.h"
#include "memory/MemoryBudget.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

std::atomic<bool> CVQDataMatrix::s_ReportMemoryLow{true};

// The swap queue keeps SetElementPriority's value as given and tells the two
// orders apart by the queue's own constant.
static_assert(elementPriorityFifo == CPriorityManager::kFirstInFirstOut);

size_t CVQDataMatrix::SwapTable::Size() const { return m_Elements.size(); }

bool CVQDataMatrix::SwapTable::MaySave(uint32_t index) const {
  CDataBase* object = m_Elements[index].get();
  return object != nullptr && !object->IsLocked();
}

CVQDataMatrix::Watermarks CVQDataMatrix::ReclaimWatermarks(uint64_t largestObjectBytes, uint64_t budget) {
  constexpr uint64_t kMinMargin = 32ull << 20;
  // Objects hold at most 2^32 bytes (32-bit element byte counts, packed
  // objects of at most 10 MiB), so the cap only keeps the sums from wrapping.
  uint64_t margin = std::max(kMinMargin, 8 * std::min<uint64_t>(largestObjectBytes, 1ull << 32));
  if (budget != 0) margin = std::min(margin, (budget - std::min(budget, kLowMemory)) / 4);
  return {kLowMemory + margin, kLowMemory + 2 * margin};
}

uint64_t CVQDataMatrix::LowWatermark() const {
  return ReclaimWatermarks(m_LargestObjectBytes.load(std::memory_order_relaxed), vq::MemoryBudget()).low;
}

CVQDataMatrix::ReclaimDecision CVQDataMatrix::DecideReclaim(uint64_t available, bool reclaiming, Watermarks marks) {
  if (available < marks.low) {
    reclaiming = true;
  } else if (available >= marks.high) {
    reclaiming = false;
  }
  // Between the watermarks memory may fall below the low one at any moment:
  // a quick look costs one cached reading, a late start costs the client a
  // synchronous save.
  return {reclaiming, available < marks.high ? kFastPollMs : kPollMs};
}

void CVQDataMatrix::NoteMemoryReading(uint64_t available) {
  if (available < kLowMemory) {
    if (s_ReportMemoryLow.exchange(false)) {
      VQ_TRACE("CVQDataMatrix::CheckMemory", "DataMatrix", 3, "Memory low: %0.0f MB thread %u",
               static_cast<double>(available) / 1048576.0, GetCurrentThreadId());
    }
  } else if (available > kRearmMemory) {
    s_ReportMemoryLow.store(true);
  }
}

bool CVQDataMatrix::SaveOneObject() {
  CFileCache* file = m_FileCache.get();
  if (m_RetryAtMs.load(std::memory_order_relaxed) != 0) {
    if (file != nullptr && file->Failing() && m_Env->NowMs() < m_RetryAtMs.load(std::memory_order_relaxed)) {
      return false;
    }
    if (file == nullptr || !file->Failing()) {
      m_RetryAtMs.store(0, std::memory_order_relaxed);
      m_RetryDelayMs.store(0, std::memory_order_relaxed);
    }
  }
  uint32_t dataIdx = 0;
  if (!m_Priority.PopPriority(&dataIdx)) return false;
  const uint64_t failedBefore = file != nullptr ? file->FailedSaves() : 0;
  VQ_TRACE("CVQDataMatrix::CheckMemory", "DataMatrix", 3, "CheckMemory: Saving element %u to disk in thread %u",
           dataIdx, GetCurrentThreadId());
  const bool saved = SaveObject(dataIdx);
  if (saved) {
    m_RetryAtMs.store(0, std::memory_order_relaxed);
    m_RetryDelayMs.store(0, std::memory_order_relaxed);
    // The next check must see the memory this save freed: acting on the
    // cached reading would keep swapping out objects for up to one refresh
    // interval after memory stopped being low.
    vq::MemoryFreed(*m_Env);
    return true;
  }
  if (file != nullptr && file->FailedSaves() != failedBefore) {
    vq::CountLowMemorySaveFailure();
    const uint64_t delay = std::min<uint64_t>(
        std::max<uint64_t>(2 * m_RetryDelayMs.load(std::memory_order_relaxed), kPollMs), kMaxRetryMs);
    m_RetryDelayMs.store(delay, std::memory_order_relaxed);
    m_RetryAtMs.store(m_Env->NowMs() + delay, std::memory_order_relaxed);
  }
  m_Priority.PushPriority(dataIdx);
  return false;
}

bool CVQDataMatrix::SaveObject(uint32_t dataIdx) {
  // The write runs without m_DataLock, so that the client's element accesses
  // (this object's included) go on meanwhile; m_MemoryLock, which the caller
  // holds, keeps the storage object alive until the save has ended.
  CDataBase* storage = nullptr;
  CDataBase::SaveWork work;
  CDataBase::SaveStart start = CDataBase::SaveStart::Failed;
  {
    vq::CritSecLock lock(m_DataLock);
    storage = Storage(dataIdx);
    try {
      if (storage != nullptr) start = storage->BeginSave(&work);
    } catch (const _com_error& e) {
      VQ_TRACE("CVQDataMatrix::CheckMemory", "Assert", 1, "COM Error, %s", vq::ComErrorText(e));
    } catch (...) {
      VQ_TRACE("CVQDataMatrix::CheckMemory", "Assert", 1, "Unhandled exception");
    }
  }
  if (start != CDataBase::SaveStart::Write) return start == CDataBase::SaveStart::Saved;
  storage->WriteSave(&work);
  bool saved = false;
  {
    vq::CritSecLock lock(m_DataLock);
    try {
      saved = storage->EndSave(&work);
    } catch (const _com_error& e) {
      VQ_TRACE("CVQDataMatrix::CheckMemory", "Assert", 1, "COM Error, %s", vq::ComErrorText(e));
    } catch (...) {
      VQ_TRACE("CVQDataMatrix::CheckMemory", "Assert", 1, "Unhandled exception");
    }
  }
  // Unmapping an element's memory takes a while: not under m_DataLock.
  storage->ReleaseSaved(&work);
  return saved;
}

bool CVQDataMatrix::ReadAvailable(uint64_t* available) {
  if (!vq::AvailableMemory(*m_Env, available)) return false;
  // Memory a finished save handed to the releaser is as good as free: the
  // reading may not show it yet.
  if (CFileCache* file = m_FileCache.get()) *available += file->MemoryReleaser().PendingBytes();
  return true;
}

bool CVQDataMatrix::CheckMemory() {
  uint64_t available = 0;
  if (!ReadAvailable(&available)) return false;
  NoteMemoryReading(available);
  return available < kLowMemory && SaveOneObject();
}

void CVQDataMatrix::NoteReadingForAccess(bool haveReading, uint64_t available, uint64_t lowWatermark) {
  const bool plenty = haveReading && available > kRearmMemory && available >= lowWatermark;
  if (plenty) {
    m_ReadingUses.store(std::max<uint32_t>(m_Env->AccessesPerMemoryReading(), 1) - 1, std::memory_order_relaxed);
  }
  m_MemoryPlenty.store(plenty, std::memory_order_relaxed);
}

void CVQDataMatrix::CheckMemoryNow() {
  // When memory is not low the check does nothing but re-arm the trace flag,
  // so the common case takes no lock: element access pays one cached
  // memory-status read. Without a reading there is nothing to act on.
  uint64_t available = 0;
  const bool haveReading = vq::AvailableMemory(*m_Env, &available);
  const uint64_t lowWatermark = LowWatermark();
  NoteReadingForAccess(haveReading, available, lowWatermark);
  if (!haveReading) return;
  if (available >= kLowMemory) {
    if (available > kRearmMemory && !s_ReportMemoryLow.load(std::memory_order_relaxed)) {
      s_ReportMemoryLow.store(true);
    }
    if (available < lowWatermark) WakeWorker();
    return;
  }
  vq::CritSecLock lock(m_MemoryLock);
  while (CheckMemory()) {
  }
}

void CVQDataMatrix::WakeWorker() {
  // A worker that reclaims already needs no call; one wake per step is
  // enough, so a stream of accesses below the watermark costs no system call
  // each.
  if (m_Reclaiming.load(std::memory_order_relaxed) || m_WakePending.exchange(true)) return;
  m_Wakes.fetch_add(1, std::memory_order_relaxed);
  if (m_StopEvent != nullptr) SetEvent(m_StopEvent);
}

DWORD CVQDataMatrix::ReclaimStep() {
  vq::CritSecLock lock(m_MemoryLock);
  m_WakePending.store(false);
  uint64_t available = 0;
  const bool haveReading = ReadAvailable(&available);
  if (!haveReading) {
    NoteReadingForAccess(false, 0, 0);
    return kPollMs;
  }
  NoteMemoryReading(available);
  const Watermarks marks = ReclaimWatermarks(m_LargestObjectBytes, vq::MemoryBudget());
  // The client's next accesses may act on this reading: so the reading they
  // act on is never older than this step's wait (10 ms below the high
  // watermark, 100 ms above it, where memory has two margins to fall before
  // the client's synchronous check would have to act).
  NoteReadingForAccess(true, available, marks.low);
  const ReclaimDecision decision = DecideReclaim(available, m_Reclaiming.load(std::memory_order_relaxed), marks);
  m_Reclaiming.store(decision.reclaiming, std::memory_order_relaxed);
  if (decision.reclaiming && SaveOneObject()) return 0;
  return decision.waitMs;
}

DWORD CVQDataMatrix::WorkerThread() {
  VQ_TRACE("CVQDataMatrix::WorkerThread", "DataMatrix", 2, "Entering WorkerThread ID=%u Handle=%u",
           GetCurrentThreadId(), static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_WorkerThread.load())));
  // The stop event also wakes the worker early (WakeWorker); m_Stopping
  // tells the two apart.
  DWORD next = kPollMs;
  for (;;) {
    const DWORD wait = WaitForSingleObject(m_StopEvent, next);
    if (wait != WAIT_TIMEOUT && (wait != WAIT_OBJECT_0 || m_Stopping.load())) break;
    next = ReclaimStep();
  }
  VQ_TRACE("CVQDataMatrix::WorkerThread", "DataMatrix", 2, "Leaving WorkerThread ID=%u Handle=%u",
           GetCurrentThreadId(), static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_WorkerThread.load())));
  return 0;
}

STDMETHODIMP CVQDataMatrix::SetElementPriority(elementPriorityType priority) {
  m_Priority.SetPriorityType(priority);
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::AllSaveToDisk() {
  VQ_TRACE("CVQDataMatrix::AllSaveToDisk", "DataMatrix", 2, "AllSaveToDisk(%u elements)", m_SizeAll);
  if (!IsInitialized()) return NotInitialised();  // no swap file to save to
  return vq::MethodGuard("CVQDataMatrix::AllSaveToDisk", [&]() -> HRESULT {
    for (uint32_t i = 0; i < m_DataCount; ++i) {
      vq::CritSecLock lock(m_DataLock);
      CDataBase* storage = Storage(i);
      if (storage == nullptr) break;  // released: nothing in memory to save
      if (storage->SaveToDisk()) {
        m_Priority.RemovePriority(i);
      } else {
        VQ_TRACE("CVQDataMatrix::AllSaveToDisk", "DataMatrix", 2, "SaveToDisk(%u) failed", i);
      }
    }
    VQ_TRACE("CVQDataMatrix::AllSaveToDisk", "DataMatrix", 2, "%u elements left in priority queue",
             m_Priority.Length());
    return S_OK;
  });
}
