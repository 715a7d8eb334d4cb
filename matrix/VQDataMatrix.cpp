// Geometry, initialisation and life of the matrix object.
#include "matrix/VQDataMatrix.h"

#include <new>

#include "platform/VQAggregation.h"
#include "component/VQMatrixClass.h"
#include "core/VQErrorReporting.h"
#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "storage/DataBase.h"
#include "storage/SingleData.h"
#include "trace/VQTrace.h"

namespace {

// Runs one stage of Initialize; an exception is traced with the stage's
// short text and passed on to the method's guard.
template <class Stage>
void RunStage(const char* text, Stage&& stage) {
  try {
    stage();
  } catch (...) {
    VQ_TRACE("CVQDataMatrix::Initialize", "DataMatrix", 1, "%s", text);
    throw;
  }
}

}  // namespace

// The class object's way to a new matrix (component/VQMatrixClass.h).
HRESULT vq::CreateMatrixObject(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
  return vq::CreateAggregatableObject<CVQDataMatrix>(pUnkOuter, riid, ppvObject);
}

CVQDataMatrix::CVQDataMatrix() : m_Env(&vq::SystemEnvironment()) {
  m_MatrixLabel = SysAllocString(L"");
  if (m_MatrixLabel == nullptr) _com_issue_error(E_OUTOFMEMORY);
}

CVQDataMatrix::~CVQDataMatrix() { SysFreeString(m_MatrixLabel); }

void CVQDataMatrix::FinalRelease() {
  VQ_TRACE("CVQDataMatrix::FinalRelease", "DataMatrix", 2, "VQDataMatrix is being released.");
  Cleanup();
  VQ_TRACE("CVQDataMatrix::FinalRelease", "DataMatrix", 2, "VQDataMatrix is released.");
}

HRESULT CVQDataMatrix::UseEnvironment(vq::Environment& env) {
  if (m_FileCache) return E_FAIL;
  m_Env = &env;
  return S_OK;
}

void CVQDataMatrix::Cleanup() {
  ResetToNew();
  m_TagVectorData = nullptr;
  VQ_TRACE("CVQDataMatrix::Cleanup", "DataMatrix", 2, "VQDataMatrix destroyed");
}

void CVQDataMatrix::ResetToNew() {
  VQ_TRACE("CVQDataMatrix::Cleanup", "DataMatrix", 2, "Stopping worker thread (Handle=%u)",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_WorkerThread.load())));
  if (m_StopEvent != nullptr) {
    m_Stopping = true;
    SetEvent(m_StopEvent);
    if (m_WorkerThread != nullptr && WaitForSingleObject(m_WorkerThread, vq::kInfinite) == WAIT_OBJECT_0) {
      VQ_TRACE("CVQDataMatrix::Cleanup", "DataMatrix", 2, "Worker thread (Handle=%u) stopped",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_WorkerThread.load())));
    }
    CloseHandle(m_StopEvent);
    m_StopEvent = nullptr;
    if (m_WorkerThread != nullptr) CloseHandle(m_WorkerThread);
    m_WorkerThread = nullptr;
    m_Stopping = false;
  }
  m_WorkerThreadId = 0;
  ReleaseElements();
  // The storage objects are gone; now what they pointed to can go.
  m_FileCache.reset();
  m_AxisManager.reset();
  m_AttributeManager.reset();
  // No thread reads the geometry any more.
  m_Dimensions = 0;
  for (uint32_t& size : m_Sizes) size = 0;
  m_SizeAll = 0;
  for (auto& axis : m_Axes) axis = AxisInfo{};
  m_DataRows = m_DataCols = m_DataCount = m_ElementsPerData = 0;
  m_Format = m_XSize = m_ZSize = 0;
  m_Allocated = false;
}

STDMETHODIMP CVQDataMatrix::InterfaceSupportsErrorInfo(REFIID riid) {
  return vq::SupportsErrorInfoFor(riid, vq::kReportedInterface);
}

// The error information of every failure names the matrix's interface
// (core/VQErrorReporting.h).
const IID vq::kReportedInterface = IID_IVQDataMatrix;
const wchar_t vq::kReportedSource[] = L"VQDataMatrix";

// ---------------------------------------------------------------------------
// The words of the common failures.
// ---------------------------------------------------------------------------

HRESULT CVQDataMatrix::NotInitialised(HRESULT hr) const {
  return vq::ReportFailure(hr, "The matrix is not initialised: call Initialize or Initialize2 first");
}

HRESULT CVQDataMatrix::OutsideMatrix(LONG d1, LONG d2, LONG d3, LONG d4, HRESULT hr) const {
  if (!IsInitialized()) return NotInitialised(hr);
  return vq::ReportFailuref(hr, "Position (%d, %d, %d, %d) is outside the matrix (dimensions %u x %u x %u x %u)", d1,
                            d2, d3, d4, m_Sizes[0], m_Sizes[1], m_Sizes[2], m_Sizes[3]);
}

HRESULT CVQDataMatrix::MissingArgument(const char* name, HRESULT hr) {
  return vq::ReportFailuref(hr, "The argument %s is null", name);
}

HRESULT CVQDataMatrix::ElementFailure(HRESULT hr, const char* what, LONG d1, LONG d2, LONG d3, LONG d4) {
  const _com_error error(hr);
  return vq::ReportFailuref(hr, "Element (%d, %d, %d, %d) could not be %s: %s (0x%08X)", d1, d2, d3, d4, what,
                            vq::ComErrorText(error), static_cast<unsigned>(hr));
}

HRESULT CVQDataMatrix::NotAllocated(LONG d1, LONG d2, LONG d3, LONG d4) const {
  if (!m_PointInfo) {
    return vq::ReportFailuref(E_FAIL, "Element (%d, %d, %d, %d) has no data item: ReleaseAllVQData released them", d1,
                              d2, d3, d4);
  }
  return vq::ReportFailuref(E_FAIL,
                            "Element (%d, %d, %d, %d) has no storage: the matrix is not allocated (AllAllocate, "
                            "Initialize2 or a first put_DataPtr)",
                            d1, d2, d3, d4);
}

HRESULT CVQDataMatrix::AlreadyInitialised() {
  return vq::ReportFailure(
      HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED),
      "The matrix is already initialised: Initialize, Initialize2 and Read build a new matrix once");
}

HRESULT CVQDataMatrix::IdNotFound(LONG ID, HRESULT hr) const {
  if (!IsInitialized()) return NotInitialised(hr);
  if (!m_PointInfo) return vq::ReportFailure(hr, "The identifiers were released by ReleaseAllVQData");
  return vq::ReportFailuref(hr, "No element has the identifier %d", ID);
}

HRESULT CVQDataMatrix::NoSuchDimension(LONG Dimension, HRESULT hr) const {
  if (!IsInitialized()) return NotInitialised(hr);
  return vq::ReportFailuref(hr, "Dimension %d does not exist: the matrix's dimensions are 0 to %u", Dimension,
                            m_Dimensions - 1);
}

// ---------------------------------------------------------------------------
// The element index rule.
// ---------------------------------------------------------------------------

uint32_t CVQDataMatrix::DataIndex(uint32_t idx) const {
  uint32_t dataIdx = 0, subIdx = 0;
  StorageSlot(idx, &dataIdx, &subIdx);
  return dataIdx;
}

uint32_t CVQDataMatrix::SubIndex(uint32_t idx) const {
  uint32_t dataIdx = 0, subIdx = 0;
  StorageSlot(idx, &dataIdx, &subIdx);
  return subIdx;
}

void CVQDataMatrix::PositionOf(uint32_t idx, LONG* d1, LONG* d2, LONG* d3, LONG* d4) const {
  const uint32_t s1 = m_Sizes[0], s12 = m_Sizes[0] * m_Sizes[1];
  const uint32_t perD4 = s12 * m_Sizes[2];
  const uint32_t p4 = idx / perD4;
  const uint32_t r = idx - p4 * perD4;
  const uint32_t p3 = r / s12;
  const uint32_t p2 = (r - p3 * s12) / s1;
  const uint32_t p1 = r - p3 * s12 - p2 * s1;
  *d1 = static_cast<LONG>(p1);
  *d2 = static_cast<LONG>(p2);
  *d3 = static_cast<LONG>(p3);
  *d4 = static_cast<LONG>(p4);
}

size_t CVQDataMatrix::StorageObjectCount() const {
  vq::CritSecLock lock(m_DataLock);
  return m_Data.size();
}

CDataBase* CVQDataMatrix::StorageAt(uint32_t dataIndex) const {
  vq::CritSecLock lock(m_DataLock);
  return Storage(dataIndex);
}

// ---------------------------------------------------------------------------
// Geometry.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQDataMatrix::get_Dimensions(LONG* pVal) {
  if (pVal == nullptr) return MissingArgument("pVal");
  *pVal = static_cast<LONG>(m_Dimensions);
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::get_Size(LONG Dimension, LONG* pVal) {
  if (static_cast<uint32_t>(Dimension) > m_Dimensions) {
    if (!IsInitialized()) return NotInitialised();
    return vq::ReportFailuref(E_FAIL,
                              "Dimension %d does not exist: the matrix's dimensions are 1 to %u (0 gives their number)",
                              Dimension, m_Dimensions);
  }
  if (pVal == nullptr) return MissingArgument("pVal");
  // Entry 0 of the table is the number of dimensions.
  *pVal = Dimension == 0 ? static_cast<LONG>(m_Dimensions) : static_cast<LONG>(m_Sizes[Dimension - 1]);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Initialisation.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQDataMatrix::Initialize(LONG bDoCreateInstances, LONG d1, LONG d2, LONG d3, LONG d4) {
  return InitializeImpl(bDoCreateInstances, d1, d2, d3, d4, ElementTables::Full);
}

HRESULT CVQDataMatrix::InitializeImpl(LONG bDoCreateInstances, LONG d1, LONG d2, LONG d3, LONG d4,
                                      ElementTables tables) {
  VQ_TRACE("CVQDataMatrix::Initialize", "DataMatrix", 2, "Initialize( %d, %d, %d, %d )", d1, d2, d3, d4);
  if (d1 < 1 || d2 < 1 || d3 < 1 || d4 < 1) {
    return vq::ReportFailuref(E_INVALIDARG, "The sizes %d x %d x %d x %d are not all at least 1", d1, d2, d3, d4);
  }
  if (m_FileCache || m_AxisManager || m_AttributeManager || m_PointInfo) return AlreadyInitialised();
  // Every later index is computed in 32 bits: a product beyond them would
  // make positions wrap onto other elements.
  uint64_t all = static_cast<uint64_t>(d1) * static_cast<uint64_t>(d2);
  all = all > UINT32_MAX ? all : all * static_cast<uint64_t>(d3);
  all = all > UINT32_MAX ? all : all * static_cast<uint64_t>(d4);
  if (all > UINT32_MAX) {
    return vq::ReportFailuref(E_INVALIDARG, "The sizes %d x %d x %d x %d give more than 4294967295 elements", d1, d2,
                              d3, d4);
  }

  // The thread-safety analysis is off for this body: it creates the single
  // objects' items through m_Data without m_DataLock, which is correct because
  // the memory watcher thread is started only at its end (the stages that size
  // and fill m_Data take the lock themselves and stay checked).
  const HRESULT hr = vq::MethodGuard("CVQDataMatrix::Initialize", [&]() VQ_NO_THREAD_SAFETY_ANALYSIS -> HRESULT {
    m_Sizes[0] = static_cast<uint32_t>(d1);
    m_Sizes[1] = static_cast<uint32_t>(d2);
    m_Sizes[2] = static_cast<uint32_t>(d3);
    m_Sizes[3] = static_cast<uint32_t>(d4);
    m_SizeAll = static_cast<uint32_t>(all);
    m_Dimensions = 4;

    const bool full = tables == ElementTables::Full;
    if (m_MatrixType == matrixSingleObject) {
      if (!m_Priority.Initialize(full ? m_SizeAll : 0, &m_SwapTable)) {
        return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to initialize priority list");
      }
      m_DataRows = m_Sizes[3];
      m_DataCols = m_Sizes[0] * m_Sizes[1] * m_Sizes[2];
      m_DataCount = m_SizeAll;
      m_ElementsPerData = 1;
    }

    RunStage("Failed to allocate CFileCache", [&] { m_FileCache.reset(new (std::nothrow) CFileCache(*m_Env)); });
    if (!m_FileCache) return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate file cache");
    bool cacheReady = false;
    RunStage("Failed to initialize CFileCache", [&] { cacheReady = m_FileCache->Initialize(true); });
    if (!cacheReady) {
      vq::ReportFailure(E_FAIL,
                        "No swap file could be created: no temporary folder is usable (see VQ_SWAP_DIR, TMPDIR)");
      return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::Initialize: Failed to initialize file cache");
    }

    RunStage("Failed to allocate CAxisManager", [&] { m_AxisManager.reset(new (std::nothrow) CAxisManager()); });
    if (!m_AxisManager)
      return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate axis list");
    RunStage("Failed to allocate CAtttributeManager",
             [&] { m_AttributeManager.reset(new (std::nothrow) CAttributeManager()); });
    if (!m_AttributeManager) {
      return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate attribute list");
    }

    if (m_MatrixType == matrixSingleObject && full) {
      bool sized = false;
      RunStage("Failed to allocate data matrix", [&] {
        vq::CritSecLock lock(m_DataLock);
        m_Data.resize(m_SizeAll);
        sized = m_Data.size() == m_SizeAll;
      });
      if (!sized) return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate data matrix");
      bool created = true;
      RunStage("Failed to allocate data", [&] {
        vq::CritSecLock lock(m_DataLock);
        for (auto& entry : m_Data) {
          entry.reset(new (std::nothrow) CSingleData(m_FileCache.get(), m_AxisManager.get(), m_AttributeManager.get()));
          if (!entry) {
            created = false;
            break;
          }
        }
      });
      if (!created) return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate data");
    }

    RunStage("Failed to allocate point info",
             [&] { m_PointInfo.reset(new (std::nothrow) std::vector<PointInfo>(full ? m_SizeAll : 0)); });
    if (!m_PointInfo) return vq::ErrorReturn(E_OUTOFMEMORY, "CVQDataMatrix::Initialize: Failed to allocate point info");

    for (auto& axis : m_Axes) axis = AxisInfo{};

    if (m_MatrixType == matrixSingleObject && full && bDoCreateInstances != 0) {
      for (uint32_t i = 0; i < m_SizeAll; ++i) {
        try {
          m_Data[i]->CreateInstance();  // the result is not needed: items are also made on demand
        } catch (...) {
          VQ_TRACE("CVQDataMatrix::Initialize", "DataMatrix", 1, "Failed to create VQData item %d",
                   static_cast<int>(i));
          throw;
        }
      }
    }

    RunStage("Failed to create stop event", [&] { m_StopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr); });
    if (m_StopEvent == nullptr) {
      return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::Initialize: Failed to create stop event", GetLastError());
    }
    RunStage("Failed to create worker thread", [&] {
      m_WorkerThread = CreateThread(nullptr, 0, &CVQDataMatrix::WorkerThreadEntry, this, 0, &m_WorkerThreadId);
    });
    if (m_WorkerThread == nullptr) {
      return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::Initialize: Failed to create worker thread", GetLastError());
    }
    return S_OK;
  });
  // Half an initialisation would leave managers, a swap file or a layout
  // missing behind a matrix that looks initialised: what the call made goes
  // again, so the matrix is new, every later call fails as on a new one, and
  // Initialize can be tried again.
  if (FAILED(hr)) ResetToNew();
  return hr;
}

STDMETHODIMP CVQDataMatrix::Initialize2(LONG d1, LONG d2, LONG d3, LONG d4, LONG nXSize, LONG nZSize, LONG Format,
                                        matrixType type) {
  return Initialize2Impl(d1, d2, d3, d4, nXSize, nZSize, Format, type, ElementTables::Full);
}

HRESULT CVQDataMatrix::Initialize2Impl(LONG d1, LONG d2, LONG d3, LONG d4, LONG nXSize, LONG nZSize, LONG Format,
                                       matrixType type, ElementTables tables) {
  VQ_TRACE("CVQDataMatrix::Initialize2", "DataMatrix", 2, "Initialize2( %d,%d,%d,%d, %d*%d, Format=%d, Type=%d )",
           d1, d2, d3, d4, nXSize, nZSize, Format, static_cast<int>(type));
  // Any other kind would leave the matrix without a storage layout (and
  // element access dividing by its 0 elements per storage object).
  if (type != matrixSingleObject && type != matrixMultipleObjects) {
    return vq::ReportFailuref(E_INVALIDARG,
                              "The matrix type %d is neither matrixSingleObject (0) nor matrixMultipleObjects (1)",
                              static_cast<int>(type));
  }
  // A second call must not change the kind of a matrix whose storage objects
  // were built for the other one.
  if (m_FileCache || m_AxisManager || m_AttributeManager || m_PointInfo) return AlreadyInitialised();
  return vq::MethodGuard("CVQDataMatrix::Initialize2", [&]() -> HRESULT {
    const matrixType previous = m_MatrixType;
    m_MatrixType = type;
    try {
      vq::ThrowIfFailed(InitializeImpl(1, d1, d2, d3, d4, tables));
      vq::ThrowIfFailed(AllocateElements(nXSize, nZSize, Format, false, tables));
    } catch (...) {
      // Initialize2 either initialises and allocates or leaves the matrix as
      // it found it: new, of its earlier kind.
      ResetToNew();
      m_MatrixType = previous;
      throw;
    }
    return S_OK;
  });
}

DWORD CVQDataMatrix::WorkerThreadEntry(LPVOID parameter) {
  auto* self = static_cast<CVQDataMatrix*>(parameter);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (hr != S_OK) {
    VQ_TRACE("CVQDataMatrix::_WorkerThread", "DataMatrix", 1, "CheckMemory: CoInitializeEx returned 0x%08x",
             static_cast<unsigned>(hr));
    if (SUCCEEDED(hr)) CoUninitialize();
    return static_cast<DWORD>(hr);
  }
  DWORD result = self->WorkerThread();
  CoUninitialize();
  return result;
}
