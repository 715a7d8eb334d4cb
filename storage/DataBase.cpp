#include "storage/DataBase.h"

#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "trace/VQTrace.h"

CDataBase::CDataBase(CFileCache* fileCache, CAxisManager* axisManager, CAttributeManager* attributeManager)
    : m_FileCache(fileCache), m_AxisManager(axisManager), m_AttributeManager(attributeManager) {}

CDataBase::~CDataBase() { ReleaseBlock(); }

void CDataBase::WriteSave(SaveWork* work) const {
  work->block = m_FileCache != nullptr ? m_FileCache->WriteBlock(work->values, work->bytes) : 0;
}

void CDataBase::ReleaseSaved(SaveWork* work) const {
  LetGo(work->item.detach(), work->bytes);
  LetGo(work->memory.detach(), work->bytes);
}

void CDataBase::LetGo(IUnknown* reference, uint64_t bytes) const {
  if (reference == nullptr) return;
  // Only a last reference frees memory; any other goes at once, or its
  // owner (a storage object whose save failed, an item a client holds)
  // would look held by someone until the releaser came to it.
  reference->AddRef();
  const bool last = reference->Release() == 1;
  if (last && m_FileCache != nullptr) {
    m_FileCache->MemoryReleaser().Release(reference, bytes);
  } else {
    reference->Release();
  }
}

bool CDataBase::CommitSavedBlock(const SaveWork& work) {
  if (work.block == 0) return false;
  if (m_Version != work.version) {
    // Handed out, replaced, reshaped or released meanwhile: the block may not
    // hold what the object holds now.
    m_FileCache->FreeBlock(work.block);
    return false;
  }
  ReleaseBlock();
  m_Block = work.block;
  m_OnDisk = true;
  return true;
}

void CDataBase::ReleaseBlock() {
  if (m_Block != 0 && m_FileCache != nullptr) m_FileCache->FreeBlock(m_Block);
  m_Block = 0;
}

uint32_t CDataBase::BytesPerValue(LONG format) { return static_cast<uint32_t>(VQDataBytesPerValue(format)); }

bool CDataBase::ElementBytes(LONG format, LONG nXSize, LONG nZSize, uint32_t* bytes) {
  if (nXSize < 0 || nZSize < 0) return false;
  uint64_t total = static_cast<uint64_t>(BytesPerValue(format)) * static_cast<uint64_t>(nXSize);
  if (total > UINT32_MAX) return false;
  total *= static_cast<uint64_t>(nZSize);
  if (total > UINT32_MAX) return false;
  *bytes = static_cast<uint32_t>(total);
  return true;
}

bool CDataBase::BufferOf(IVQData* item, void** pointer, uint32_t* bytes) {
  *pointer = nullptr;
  *bytes = 0;
  if (item == nullptr) return false;
  VQDataBuffer buffer{};
  if (FAILED(item->GetDataBuffer(&buffer))) return false;
  uint32_t size = 0;
  if (BytesPerValue(buffer.Format) == 0 || !ElementBytes(buffer.Format, buffer.XSize, buffer.ZSize, &size)) {
    return false;
  }
  void* p = nullptr;
  switch (buffer.Format) {
    case dataFormatInt32:
      p = buffer.pLong;
      break;
    case dataFormatFloat64:
      p = buffer.pDouble;
      break;
    case dataFormatComplex128:
      p = buffer.pComplexDouble;
      break;
    case dataFormatFloat32:
      p = buffer.pFloat;
      break;
    case dataFormatComplex64:
      p = buffer.pComplexFloat;
      break;
    default: {
      // 16- and 64-bit integers have no pointer field in the descriptor:
      // their storage is reached through the raw view, which must hold
      // exactly the values the descriptor describes.
      ULONGLONG raw = 0;
      if (FAILED(item->GetRawData(&p, &raw)) || raw != size) return false;
      break;
    }
  }
  if (p == nullptr && size != 0) return false;
  *pointer = p;
  *bytes = size;
  return true;
}

HRESULT CDataBase::CreateItem(vq::ComPtr<IVQData>* item) {
  vq::ComPtr<IUnknown> unknown;
  HRESULT hr = CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER |
                                    CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                IID_IUnknown, unknown.put_void());
  if (FAILED(hr)) return hr;
  hr = OleRun(unknown.get());
  if (FAILED(hr)) return hr;
  vq::ComPtr<IVQData> data;
  hr = unknown->QueryInterface(IID_IVQData, data.put_void());
  if (FAILED(hr)) return hr;
  *item = std::move(data);
  return S_OK;
}

namespace {

HRESULT Traced(HRESULT hr, const char* origin) {
  if (FAILED(hr)) {
    VQ_TRACE(origin, "DataMatrix", 1, "Failed to copy attributes. hr=0x%08x ThreadId=%u", static_cast<unsigned>(hr),
             GetCurrentThreadId());
  }
  return hr;
}

}  // namespace

HRESULT CDataBase::CurrentAttributeId(uint32_t, CAttributeManager::Ref* id) {
  *id = m_AttributeId;
  return S_OK;
}

HRESULT CDataBase::CopyAllAttributes(uint32_t sub, IVQData* target, LONG record) {
  Touch();
  CAttributeManager::Ref id;
  HRESULT hr = CurrentAttributeId(sub, &id);
  if (FAILED(hr) || id == 0) return Traced(hr, "CDataBase::CopyAllAttributes");
  if (m_AttributeManager->LacksRecord(id.Id(), record)) return S_OK;
  if (target != nullptr) target->AddRef();  // taken over by the manager
  return Traced(m_AttributeManager->CopyAllAttributes(id, target, record), "CDataBase::CopyAllAttributes");
}

HRESULT CDataBase::CopyAllAttributesToNonIndexed(uint32_t sub, IVQData* target) {
  Touch();
  CAttributeManager::Ref id;
  HRESULT hr = CurrentAttributeId(sub, &id);
  if (FAILED(hr) || id == 0) return Traced(hr, "CDataBase::CopyAllAttributesToNonIndexed");
  if (target != nullptr) target->AddRef();
  return Traced(m_AttributeManager->CopyAllAttributesToNonIndexed(id, target),
                "CDataBase::CopyAllAttributesToNonIndexed");
}

HRESULT CDataBase::CopyAllIndexedAttributesToIndex1(uint32_t sub, IVQData* target, LONG record) {
  Touch();
  CAttributeManager::Ref id;
  HRESULT hr = CurrentAttributeId(sub, &id);
  if (FAILED(hr) || id == 0) return Traced(hr, "CDataBase::CopyAllIndexedAttributesToIndex1");
  if (m_AttributeManager->LacksRecord(id.Id(), record)) return S_OK;
  if (target != nullptr) target->AddRef();
  return Traced(m_AttributeManager->CopyAllIndexedAttributesToIndex1(id, target, record),
                "CDataBase::CopyAllIndexedAttributesToIndex1");
}
