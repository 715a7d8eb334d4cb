// VQDataMatrix.h - the matrix object behind IVQDataMatrix.
//
// CVQDataMatrix is a matrix of four dimensions (S1..S4, d1 varying fastest)
// whose elements are data items. Elements live in storage objects (m_Data,
// indexed by data index): one CSingleData per element (matrixSingleObject),
// or one CMultiData per run of consecutive elements of one d4 index
// (matrixMultipleObjects). The element index rule (ElementIndex, DataIndex,
// SubIndex, PositionOf) is the one place where positions become indices.
//
// Life: construction (empty, locks ready) -> Initialize or Initialize2
// (sizes, swap file, managers, point info, storage objects for the single
// kind, worker thread last) -> AllAllocate / AllInitializeAsLinear / first
// put_DataPtr (every element gets its shape) -> use -> final release
// (FinalRelease: the worker thread is stopped first, then the storage
// objects, the swap file and the managers are destroyed). Read initialises
// without the per-element tables and builds them as element records arrive
// (ElementTables::Grown); after a failed Read they end at the last element
// that arrived: later elements have no storage object (element access fails
// with "not allocated") and fresh IDs and labels.
//
// Ownership: the matrix owns the storage objects, the point info, the swap
// file, the two managers, the swap queue and the reference in
// m_TagVectorData. It does not own its environment (m_Env, the system's
// unless UseEnvironment gave another), which outlives it. Storage objects hold non-owning pointers to the swap file
// and managers, which outlive them.
//
// Threads and locks. Client calls arrive on the apartment's thread; each
// initialised matrix runs one worker thread that checks memory every 100 ms.
// Locks, outermost first (a thread holding one takes only later ones):
//   1. m_MemoryLock: serialises memory checks; also held while m_Data is
//      resized or its objects destroyed, so a pop never walks a table that is
//      changing under it;
//   2. m_DataLock: guards m_Data and every call into a storage object and the
//      attribute manager, but for the memory watcher's write of an object's
//      values (BeginSave .. EndSave), which runs under m_MemoryLock alone;
//   3. the swap queue's lock (element access records its use without it,
//      under m_DataLock: CPriorityManager::Touch); 4. a storage object's own
//      lock; 5. the swap file's lock. The managers' locks are taken innermost.
// CheckMemoryNow is never entered while m_DataLock is held. The geometry
// members are written only before the worker thread exists (Initialize) or
// under both matrix locks (AllAllocate), and read by the worker only under
// m_MemoryLock.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"
#include "core/VQModule.h"
#include "memory/PriorityManager.h"

class CDataBase;
class CFileCache;
namespace vq {
class Environment;
}
class CAxisManager;
class CAttributeManager;
class CSlicer;

class CVQDataMatrix : public vq::ComObject<CVQDataMatrix, IVQDataMatrix, ISupportErrorInfo> {
 public:
  CVQDataMatrix();
  ~CVQDataMatrix() override;

  // Runs once when the last reference goes: stops the worker and frees
  // everything the matrix owns (Cleanup).
  void FinalRelease();

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IVQDataMatrix
  STDMETHODIMP Initialize(LONG bDoCreateInstances, LONG d1, LONG d2, LONG d3, LONG d4) override;
  STDMETHODIMP ReleaseAllVQData() override;
  STDMETHODIMP get_DataPtr(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown** pVal) override;
  STDMETHODIMP put_DataPtr(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown* newVal) override;
  STDMETHODIMP get_Dimensions(LONG* pVal) override;
  STDMETHODIMP get_Size(LONG Dimension, LONG* pVal) override;
  STDMETHODIMP InitializeAxis(LONG Dimension, DOUBLE FirstValue, DOUBLE Step, BSTR Unit) override;
  STDMETHODIMP GetAxis(LONG Dimension, DOUBLE* FirstValue, DOUBLE* Step, BSTR* Unit) override;
  STDMETHODIMP AllAllocate(LONG nXSize, LONG nZSize, LONG Format) override;
  STDMETHODIMP AllInitializeAsLinear(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) override;
  STDMETHODIMP GetD1D2Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d3, LONG d4, matrixDirectionType dir,
                            IUnknown* pData) override;
  STDMETHODIMP GetD1D3Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d2, LONG d4, matrixDirectionType dir,
                            IUnknown* pData) override;
  STDMETHODIMP GetD2D3Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d1, LONG d4, matrixDirectionType dir,
                            IUnknown* pData) override;
  STDMETHODIMP GetD1D2SliceSpectrum(LONG Z, LONG d3, LONG d4, matrixDirectionType dir, IUnknown* Data) override;
  STDMETHODIMP GetD1D3SliceSpectrum(LONG Z, LONG d2, LONG d4, matrixDirectionType dir, IUnknown* Data) override;
  STDMETHODIMP GetD2D3SliceSpectrum(LONG Z, LONG d1, LONG d4, matrixDirectionType dir, IUnknown* Data) override;
  STDMETHODIMP Write(IStream* pStream) override;
  STDMETHODIMP Read(IStream* pStream) override;
  STDMETHODIMP get_ID(LONG d1, LONG d2, LONG d3, LONG d4, LONG* pVal) override;
  STDMETHODIMP put_ID(LONG d1, LONG d2, LONG d3, LONG d4, LONG newVal) override;
  STDMETHODIMP get_Label(LONG d1, LONG d2, LONG d3, LONG d4, BSTR* pVal) override;
  STDMETHODIMP put_Label(LONG d1, LONG d2, LONG d3, LONG d4, BSTR newVal) override;
  STDMETHODIMP get_DataPtrID(LONG ID, IUnknown** pVal) override;
  STDMETHODIMP put_DataPtrID(LONG ID, IUnknown* newVal) override;
  STDMETHODIMP GetPositionFromID(LONG ID, LONG* d1, LONG* d2, LONG* d3, LONG* d4) override;
  STDMETHODIMP get_MatrixLabel(BSTR* pVal) override;
  STDMETHODIMP put_MatrixLabel(BSTR newVal) override;
  STDMETHODIMP get_FirstValidDataPtr(LONG* d1, LONG* d2, LONG* d3, LONG* d4, IUnknown** pVal) override;
  STDMETHODIMP get_IsAllDataValid(LONG* pVal) override;
  STDMETHODIMP SetElementPriority(elementPriorityType priority) override;
  STDMETHODIMP get_ConstDataPtr(LONG d1, LONG d2, LONG d3, LONG d4, LONG WithAttributes, IUnknown** pVal) override;
  STDMETHODIMP AllSaveToDisk() override;
  STDMETHODIMP get_ConstDataSubsetPtr(LONG d1, LONG d2, LONG d3, LONG d4, LONG firstIndex, LONG lastIndex,
                                      LONG WithAttributes, IUnknown** pVal) override;
  STDMETHODIMP put_AttributesDataPtr(LONG d4, IUnknown* newVal) override;
  STDMETHODIMP Initialize2(LONG d1, LONG d2, LONG d3, LONG d4, LONG nXSize, LONG nZSize, LONG Format,
                           matrixType matrixType) override;
  STDMETHODIMP CopyContentsToSingleVqData(IUnknown* Data) override;
  STDMETHODIMP GetTagVectorsData(IUnknown* pVal) override;
  STDMETHODIMP PutTagVectorsData(IUnknown* pVal) override;
  STDMETHODIMP HasData(LONG ID, LONG* pHasData) override;

  // ISupportErrorInfo: S_OK for IVQDataMatrix only.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // The element index rule. ElementIndex: true with *idx when the position's
  // exact index ((d4*S3 + d3)*S2 + d2)*S1 + d1 lies in 0..m_SizeAll-1 (single
  // coordinates are not checked: d1 = S1 is element (0, 1, 0, 0)).
  bool ElementIndex(LONG d1, LONG d2, LONG d3, LONG d4, uint32_t* idx) const;
  // Storage object and slot of an element index (requires m_ElementsPerData
  // and m_DataCols, i.e. an allocated layout).
  uint32_t DataIndex(uint32_t idx) const;
  uint32_t SubIndex(uint32_t idx) const;
  // Both at once (same requirement).
  void StorageSlot(uint32_t idx, uint32_t* dataIdx, uint32_t* subIdx) const;
  // The inverse: the position of an element index.
  void PositionOf(uint32_t idx, LONG* d1, LONG* d2, LONG* d3, LONG* d4) const;

  // The memory check (matrix/MemoryWatcher.cpp): saves one storage object
  // that no client holds when available memory is below 128 MiB; true when
  // one was saved. While the swap file fails saves, tries at most one per
  // backoff interval (see m_RetryAtMs).
  bool CheckMemory();
  // Available memory as the memory check reads it (vq::AvailableMemory),
  // counting memory on its way back (the swap file's releaser) as available.
  bool ReadAvailable(uint64_t* available);
  // One step of the worker thread, under m_MemoryLock (which it takes):
  // saves one object when the watermarks say so (see ReclaimWatermarks);
  // the milliseconds to wait before the next step (0 after a save). Never
  // called while m_DataLock is held.
  DWORD ReclaimStep();
  // Runs CheckMemory until it saves nothing more, under m_MemoryLock. Never
  // called while m_DataLock is held.
  void CheckMemoryNow();
  // The element access's check: nothing while the last reading, which found
  // memory plenty, still stands (AccessesPerMemoryReading of the
  // environment), else CheckMemoryNow. Never called while m_DataLock is held.
  void CheckMemoryOnAccess() {
    if (m_MemoryPlenty.load(std::memory_order_relaxed)) {
      // A lost update between two clients' threads lets a reading serve
      // one access more or less: no matter.
      const uint32_t left = m_ReadingUses.load(std::memory_order_relaxed);
      if (left != 0) {
        m_ReadingUses.store(left - 1, std::memory_order_relaxed);
        return;
      }
    }
    CheckMemoryNow();
  }

  // Layout of multi-object storage for element bytes b and P elements per d4
  // index, at most kMaxBytesPerData bytes per storage object: columns per d4
  // index, elements per full object (E), elements in the last object (L),
  // and the bytes of a full (k) and of the last (l) object (0 when an element
  // alone exceeds the limit). False when b is 0.
  struct MultiLayout {
    uint32_t dataCols, elementsPerData, elementsInLast, fullBytes, lastBytes;
  };
  static bool ComputeMultiLayout(uint32_t elementBytes, uint32_t perD4, MultiLayout* layout);
  static constexpr uint32_t kMaxBytesPerData = 10485760;

  // Process-wide: the "Memory low" line is traced once per low stretch.
  static std::atomic<bool> s_ReportMemoryLow;
  // Memory thresholds of the check (bytes of available physical memory).
  static constexpr uint64_t kLowMemory = 134217728;     // below: swap
  static constexpr uint64_t kRearmMemory = 144703488;   // above: re-arm the trace
  // The longest wait between saves on a failing swap file.
  static constexpr uint64_t kMaxRetryMs = 3200;

  // The worker's watermarks (bytes of available memory): it starts saving
  // below `low` and keeps on until `high`, so that the client's synchronous
  // check below kLowMemory is a backstop that seldom runs. Both sit a margin
  // of max(32 MiB, 8 x the largest storage object) apart, so a burst of puts
  // of large objects is absorbed before the threshold. Under a memory budget
  // (`budget`, 0 for none) the margin is at most a quarter of what the
  // budget leaves above the threshold: a high watermark the process can
  // never reach would keep the worker saving everything, down to the packed
  // object a client is filling, which the next put then reads back.
  struct Watermarks {
    uint64_t low, high;
  };
  static Watermarks ReclaimWatermarks(uint64_t largestObjectBytes, uint64_t budget);
  // The worker's decision for one reading: whether it is reclaiming after
  // this step (the hysteresis between the watermarks; it saves one object
  // whenever it is), and how long to wait when nothing was saved (faster
  // below `high`).
  struct ReclaimDecision {
    bool reclaiming;
    DWORD waitMs;
  };
  static ReclaimDecision DecideReclaim(uint64_t available, bool reclaiming, Watermarks marks);
  static constexpr DWORD kPollMs = 100;     // above the high watermark
  static constexpr DWORD kFastPollMs = 10;  // below it
  // Whether the worker is between a fall below the low watermark and a rise
  // above the high one (tests and diagnostics).
  bool Reclaiming() const { return m_Reclaiming.load(std::memory_order_relaxed); }

  // Makes the matrix use env (not owned; it must outlive the matrix) instead
  // of the system for its swap file, its large buffers and the memory check.
  // S_OK before the swap file exists (Initialize, Initialize2 or Read made
  // it); E_FAIL after, when the swap file and storage are already bound to
  // the old one. Not part of the interface: tests and tools that reach the
  // implementation object use it.
  HRESULT UseEnvironment(vq::Environment& env);

  // Tests and diagnostics.
  uint32_t DataCount() const { return m_DataCount; }
  uint32_t ElementsPerData() const { return m_ElementsPerData; }
  uint32_t DataCols() const { return m_DataCols; }
  size_t StorageObjectCount() const;
  CDataBase* StorageAt(uint32_t dataIndex) const;
  CFileCache* FileCache() const { return m_FileCache.get(); }
  const CAxisManager* AxisManager() const { return m_AxisManager.get(); }
  const CAttributeManager* AttributeManager() const { return m_AttributeManager.get(); }
  CPriorityManager& Priority() { return m_Priority; }
  DWORD WorkerThreadId() const { return m_WorkerThreadId; }
  // How often the client's check has woken the worker.
  uint32_t WakeCount() const { return m_Wakes.load(); }

 private:
  // The walk over a plane that the scalar and spectrum slices share
  // (slicing/Slices.cpp) reads the geometry and storage table directly.
  friend class CSlicer;

  // The storage objects by data index.
  using ElementTable = std::vector<std::unique_ptr<CDataBase>>;
  // The swap queue's view of the element table (matrix/MemoryWatcher.cpp):
  // its size, and whether an object exists that no client holds
  // (CDataBase::IsLocked). Asked under the queue's lock, while m_MemoryLock
  // keeps the table from changing.
  class SwapTable final : public CPriorityManager::Table {
   public:
    explicit SwapTable(const ElementTable& elements) : m_Elements(elements) {}
    size_t Size() const override;
    bool MaySave(uint32_t index) const override;

   private:
    const ElementTable& m_Elements;
  };

  struct AxisInfo {
    double FirstValue = 0.0;
    double Step = 0.0;
    std::wstring Unit;
  };
  struct PointInfo {
    // What an element carries until it is given an identifier (and after it
    // is given -1): no lookup by identifier finds it.
    static constexpr LONG kNoId = -1;
    LONG ID = kNoId;
    std::wstring Label;
  };

  // How Initialize, Initialize2 and AllAllocate build the per-element
  // tables (storage objects, their items and values, IDs and labels):
  // Full, for every element at once; Grown, not at all: Read builds each
  // element's share with GrowElementTables as its record arrives, so that
  // memory follows the bytes read rather than the sizes a header declares.
  enum class ElementTables { Full, Grown };
  HRESULT InitializeImpl(LONG bDoCreateInstances, LONG d1, LONG d2, LONG d3, LONG d4, ElementTables tables);
  HRESULT Initialize2Impl(LONG d1, LONG d2, LONG d3, LONG d4, LONG nXSize, LONG nZSize, LONG Format,
                          matrixType type, ElementTables tables);
  // Grown tables: makes them reach element index idx (its point info entry,
  // its storage object and the swap queue's entry for it). Elements arrive
  // in index order, so each call adds at most one storage object; a new
  // multi-object storage object gets its slots and buffer, a new
  // single-object one stays empty. E_OUTOFMEMORY when memory runs out (the
  // tables stay as they were).
  HRESULT GrowElementTables(uint32_t idx);
  // Elements a multi-object storage object at dataIndex holds.
  uint32_t ElementsInData(uint32_t dataIndex) const;
  // Makes the matrix's tag-vector carrier an item of its own holding copies
  // of source's non-empty tag vectors (Read: element 0's item stays the
  // element's, so no client seems to hold it); clears the carrier when
  // source has none.
  HRESULT PutTagVectorsCopy(IUnknown* source);
  // The work of GetTagVectorsData and PutTagVectorsData without their guard:
  // copies the carrier's non-empty tag vectors into pVal (S_OK without a
  // carrier), or makes pVal the carrier (null, or an item without tag
  // vectors, clears it). Failed calls into data items raise the component
  // error for the calling method's guard.
  HRESULT CopyTagVectorsTo(IUnknown* pVal);
  HRESULT SetTagVectorCarrier(IUnknown* pVal);
  // The position of the element with identifier ID: S_OK, or E_FAIL when no
  // element has it (GetPositionFromID without its pointer checks).
  HRESULT FindPosition(LONG ID, LONG* d1, LONG* d2, LONG* d3, LONG* d4) const;
  // put_MatrixLabel's work: a copy of newVal becomes the label (E_OUTOFMEMORY
  // leaves the old one).
  HRESULT SetMatrixLabel(BSTR newVal);
  // InitializeAxis's work: E_FAIL for a dimension the matrix does not have.
  HRESULT SetAxis(LONG Dimension, DOUBLE FirstValue, DOUBLE Step, BSTR Unit);
  // The point info of element idx; entries beyond the table (Read builds it
  // as elements arrive) are those of a fresh element: ID -1, empty label.
  // Caller checks m_PointInfo.
  const PointInfo& PointAt(uint32_t idx) const;
  // The entry of element idx, the table grown to reach it; throws
  // std::bad_alloc when memory runs out.
  PointInfo& PointForWriting(uint32_t idx);
  // The element index of a position for the identifier and label methods:
  // E_INVALIDARG outside the matrix, E_POINTER when the caller's out-parameter
  // is missing (noOut), E_FAIL once the point information was released.
  HRESULT PointIndex(LONG d1, LONG d2, LONG d3, LONG d4, bool noOut, uint32_t* idx) const;

  // The reports (vq::ReportFailure) of the checks most methods make; each
  // returns hr. NotInitialised: no Initialize or Initialize2 yet.
  // OutsideMatrix: the position names no element (or the matrix is not
  // initialised). MissingArgument: a null argument `name`.
  HRESULT NotInitialised(HRESULT hr = E_FAIL) const;
  HRESULT OutsideMatrix(LONG d1, LONG d2, LONG d3, LONG d4, HRESULT hr = E_INVALIDARG) const;
  static HRESULT MissingArgument(const char* name, HRESULT hr = E_POINTER);
  // A failure of element (d1, d2, d3, d4) that the storage returned:
  // "Element (...) could not be <what>: <text of hr>".
  static HRESULT ElementFailure(HRESULT hr, const char* what, LONG d1, LONG d2, LONG d3, LONG d4);
  // Element (d1, d2, d3, d4) has no storage object: never allocated, or
  // released (E_FAIL).
  HRESULT NotAllocated(LONG d1, LONG d2, LONG d3, LONG d4) const;
  // No element has identifier ID (or there are no identifiers: not
  // initialised, or released).
  HRESULT IdNotFound(LONG ID, HRESULT hr = E_FAIL) const;
  // Initialize, Initialize2 or Read on a matrix that was built already.
  static HRESULT AlreadyInitialised();
  // A dimension argument that names none of the matrix's (0..3).
  HRESULT NoSuchDimension(LONG Dimension, HRESULT hr = E_FAIL) const;

  void Cleanup();
  // Undoes initialisation: stops the worker thread, destroys the storage
  // objects, point info, swap file and managers, and gives the geometry its
  // values after construction. The matrix label, the tag vector carrier, the
  // storage kind and the swap order stay. Runs on the client's thread.
  void ResetToNew();
  // ReleaseAllVQData's work: destroys the storage objects (releasing their
  // data items), the swap queue's entries and the point info. Takes
  // m_MemoryLock, then m_DataLock.
  void ReleaseElements() noexcept;
  // Element access behind the interface methods, for the calling method's
  // guard: failures the matrix finds are returned (with *out null); a
  // component error raised inside (a data item or the swap file failing) is
  // traced with the element's position and passed on to the caller.
  HRESULT GetElement(LONG d1, LONG d2, LONG d3, LONG d4, bool forWriting, bool withAttributes, IUnknown** out);
  HRESULT PutElement(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown* item);
  // Gives every element the shape of `item`, keeping the elements that have
  // one already (AllocateElements with keepShaped).
  virtual HRESULT AllAllocateFromData(IUnknown* item);
  // AllAllocate's work. With keepShaped (the first put_DataPtr) an element
  // that already has a shape keeps its item and values; only the others get
  // this one. With ElementTables::Grown the per-element tables are left for
  // Read to grow.
  HRESULT AllocateElements(LONG nXSize, LONG nZSize, LONG Format, bool keepShaped,
                           ElementTables tables = ElementTables::Full);
  bool IsInitialized() const { return m_Dimensions == 4; }
  // The storage object at dataIndex, or null when the table does not reach it
  // (never allocated, or released by ReleaseAllVQData). Caller holds
  // m_DataLock.
  CDataBase* Storage(uint32_t dataIndex) const VQ_REQUIRES(m_DataLock);
  // Whether element idx has a storage object (takes m_DataLock).
  bool HasStorage(uint32_t idx) VQ_EXCLUDES(m_DataLock);
  DWORD WorkerThread();
  // Pops the next object the queue offers and saves it (CheckMemory's and
  // ReclaimStep's shared work); true when one was saved. Caller holds
  // m_MemoryLock.
  bool SaveOneObject();
  // Saves the storage object at dataIdx, writing without m_DataLock (see
  // matrix/MemoryWatcher.cpp); true when saved. Caller holds m_MemoryLock,
  // not m_DataLock.
  bool SaveObject(uint32_t dataIdx) VQ_EXCLUDES(m_DataLock);
  // Has the worker take its next step now instead of after its wait.
  void WakeWorker();
  // The low watermark for the objects and budget as they are now: the
  // client's check compares with it, not with the worker's last step, which
  // may predate the allocation or the budget (or not have happened yet).
  uint64_t LowWatermark() const;
  // The "Memory low" trace, once per stretch below kLowMemory.
  static void NoteMemoryReading(uint64_t available);
  // Records for CheckMemoryOnAccess whether a reading found memory plenty
  // (nothing for the client's check to do: at or above `lowWatermark` and
  // the trace's re-arm mark) and, if so, lets it serve the environment's
  // AccessesPerMemoryReading. No reading (`haveReading` false) is not
  // plenty.
  void NoteReadingForAccess(bool haveReading, uint64_t available, uint64_t lowWatermark);
  static DWORD WorkerThreadEntry(LPVOID parameter);

  // Counts this object in the library's lock count (DllCanUnloadNow) from
  // construction to destruction; the first member, so it goes last.
  vq::ModuleLock m_ModuleLock;
  uint32_t m_Dimensions = 0;
  uint32_t m_Sizes[4] = {0, 0, 0, 0};
  uint32_t m_SizeAll = 0;
  AxisInfo m_Axes[4];
  uint32_t m_DataRows = 0;
  uint32_t m_DataCols = 0;
  uint32_t m_DataCount = 0;
  uint32_t m_ElementsPerData = 0;
  matrixType m_MatrixType = matrixSingleObject;
  LONG m_Format = 0;
  LONG m_XSize = 0;
  LONG m_ZSize = 0;
  bool m_Allocated = false;  // AllAllocate has given every element its shape
  // Resized only under m_MemoryLock as well. Shorter than m_DataCount while
  // (or after a failed) Read builds it.
  ElementTable m_Data VQ_GUARDED_BY(m_DataLock);
  // The storage object of the last put (an index that may have gone stale:
  // Storage() checks it).
  uint32_t m_LastPutObject VQ_GUARDED_BY(m_DataLock) = 0;
  SwapTable m_SwapTable{m_Data};
  // IDs and labels by element index; null after ReleaseAllVQData. Shorter
  // than m_SizeAll while (or after a failed) Read builds it: the missing
  // entries are fresh ones (PointAt).
  std::unique_ptr<std::vector<PointInfo>> m_PointInfo;
  BSTR m_MatrixLabel = nullptr;  // empty (not null) after construction
  CPriorityManager m_Priority;
  // Written only while there is no swap file and hence no worker thread.
  vq::Environment* m_Env;
  std::unique_ptr<CFileCache> m_FileCache;
  std::unique_ptr<CAxisManager> m_AxisManager;
  std::unique_ptr<CAttributeManager> m_AttributeManager;
  vq::ComPtr<IVQData> m_TagVectorData;
  // Element 0's item was last handed out with copies of the matrix's tag
  // vectors: once the carrier is cleared those copies are stale and go.
  bool m_Element0ShowsTags = false;
  mutable vq::CriticalSection m_DataLock;
  vq::CriticalSection m_MemoryLock;
  // Backoff of the memory check's saves while the swap file fails them: no
  // save is tried before m_RetryAtMs of the environment's clock, and the wait
  // doubles with each failure from kPollMs to kMaxRetryMs (0: no backoff).
  // Written under m_MemoryLock; atomics because tests call CheckMemory
  // without it.
  std::atomic<uint64_t> m_RetryAtMs{0};
  std::atomic<uint64_t> m_RetryDelayMs{0};
  std::atomic<HANDLE> m_WorkerThread{nullptr};  // read by the worker for its traces
  DWORD m_WorkerThreadId = 0;
  HANDLE m_StopEvent = nullptr;
  // The largest storage object's bytes as allocated (the watermarks' size);
  // written under m_MemoryLock by the allocation, read by the worker.
  std::atomic<uint64_t> m_LargestObjectBytes{0};
  std::atomic<bool> m_Reclaiming{false};  // written by ReclaimStep only
  std::atomic<bool> m_WakePending{false};  // a wake since the worker's last step
  std::atomic<uint32_t> m_Wakes{0};
  // CheckMemoryOnAccess's view of the last reading, by whoever took it (the
  // client's check or the worker): whether memory was plenty, and how many
  // more accesses may act on it. Two words, so that a client's decrement
  // can never undo a reading that found memory short.
  std::atomic<bool> m_MemoryPlenty{false};
  std::atomic<uint32_t> m_ReadingUses{0};
  std::atomic<bool> m_Stopping{false};     // the stop event means "stop", not "wake"
};

// Element access calls these on every access: defined here, so that they
// are inlined.
inline bool CVQDataMatrix::ElementIndex(LONG d1, LONG d2, LONG d3, LONG d4, uint32_t* idx) const {
  // Exact arithmetic: 32-bit wrap-around must never turn a far-away position
  // into a valid element.
  int64_t v = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(d4), static_cast<int64_t>(m_Sizes[2]), &v) ||
      __builtin_add_overflow(v, static_cast<int64_t>(d3), &v) ||
      __builtin_mul_overflow(v, static_cast<int64_t>(m_Sizes[1]), &v) ||
      __builtin_add_overflow(v, static_cast<int64_t>(d2), &v) ||
      __builtin_mul_overflow(v, static_cast<int64_t>(m_Sizes[0]), &v) ||
      __builtin_add_overflow(v, static_cast<int64_t>(d1), &v)) {
    return false;
  }
  if (v < 0 || v >= static_cast<int64_t>(m_SizeAll)) return false;
  *idx = static_cast<uint32_t>(v);
  return true;
}

inline void CVQDataMatrix::StorageSlot(uint32_t idx, uint32_t* dataIdx, uint32_t* subIdx) const {
  // One element per object (every single-object matrix) means as many
  // columns as elements per d4 index, so the data index is the element
  // index: element access pays no division.
  if (m_ElementsPerData == 1) {
    *dataIdx = idx;
    *subIdx = 0;
    return;
  }
  const uint32_t perD4 = m_Sizes[0] * m_Sizes[1] * m_Sizes[2];
  const uint32_t d4 = idx / perD4, inD4 = idx - d4 * perD4;
  const uint32_t column = inD4 / m_ElementsPerData;
  *dataIdx = column + m_DataCols * d4;
  *subIdx = inD4 - column * m_ElementsPerData;
}

inline CDataBase* CVQDataMatrix::Storage(uint32_t dataIndex) const {
  return dataIndex < m_Data.size() ? m_Data[dataIndex].get() : nullptr;
}
