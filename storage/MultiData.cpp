#include "storage/MultiData.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "core/VQErrorReporting.h"
#include "dataitem/VQDataView.h"
#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "trace/VQTrace.h"

namespace {

DWORD Tid() { return GetCurrentThreadId(); }


uint64_t RoundUpTo(uint64_t value, uint64_t unit) {
  if (unit <= 1 || value % unit == 0) return value;
  return (value / unit + 1) * unit;
}

uint64_t PageSize() {
  static const uint64_t page = [] {
    long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<uint64_t>(p) : uint64_t{4096};
  }();
  return page;
}

// The values of an item: shape from its buffer descriptor, storage from its
// raw view (which also covers the formats the descriptor has no pointer for).
struct ItemValues {
  VQDataBuffer shape{};
  void* values = nullptr;
  ULONGLONG bytes = 0;
};

bool ReadItemValues(IVQData* item, ItemValues* v) {
  if (item == nullptr || FAILED(item->GetDataBuffer(&v->shape))) return false;
  return SUCCEEDED(item->GetRawData(&v->values, &v->bytes)) && (v->values != nullptr || v->bytes == 0);
}

// The memory of a packed buffer, unmapped when the last reference goes: the
// storage object holds one while the buffer is its own, a save in flight one
// while it writes it, and every item showing a part of it one. So the memory
// stays in place for an item a client still holds after the object let go of
// it (a new allocation, a clear, the matrix's end). The environment that made
// it outlives it (the system's lives as long as the process).
class PackedMemory final : public vq::ComObject<PackedMemory, IUnknown> {
 public:
  PackedMemory(vq::Environment& env, void* memory, size_t length) : m_Env(env), m_Memory(memory), m_Length(length) {}
  ~PackedMemory() { m_Env.FreeLarge(m_Memory, m_Length); }

 private:
  vq::Environment& m_Env;
  void* m_Memory;
  size_t m_Length;
};

// Memory from the environment with its counted owner; null (nothing kept)
// when either cannot be had.
uint8_t* AllocatePacked(vq::Environment& env, size_t length, vq::ComPtr<IUnknown>* owner) {
  void* p = env.AllocateLarge(length);
  if (p == nullptr) return nullptr;
  PackedMemory* memory = nullptr;
  try {
    memory = vq::MakeComObject<PackedMemory>(env, p, length);
  } catch (const std::bad_alloc&) {
  }
  if (memory == nullptr) {
    env.FreeLarge(p, length);
    return nullptr;
  }
  owner->attach(static_cast<IUnknown*>(memory));
  return static_cast<uint8_t*>(p);
}

}  // namespace

std::unique_ptr<CDataBase> CreateMultiData(CFileCache* fileCache, CAxisManager* axisManager,
                                           CAttributeManager* attributeManager) {
  try {
    return std::make_unique<CMultiData>(fileCache, axisManager, attributeManager);
  } catch (...) {
    return nullptr;
  }
}

CMultiData::CMultiData(CFileCache* fileCache, CAxisManager* axisManager, CAttributeManager* attributeManager)
    : CDataBase(fileCache, axisManager, attributeManager) {}

CMultiData::~CMultiData() { Clear(); }

HRESULT CMultiData::CreateInstanceImpl() { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// The buffer.
// ---------------------------------------------------------------------------

vq::Environment& CMultiData::Env() const {
  return m_FileCache != nullptr ? m_FileCache->Env() : vq::SystemEnvironment();
}

void CMultiData::DropIdleViews() {
  for (auto& pool : m_FreeItems) {
    vq::ComPtr<IVQDataView> view;
    IVQData* item = pool->DataItem();
    if (item != nullptr && SUCCEEDED(item->QueryInterface(IID_IVQDataView, view.put_void())) && view &&
        view->ShowsValues(nullptr) == S_OK) {
      item->FreeData();
    }
  }
}

void CMultiData::FreeBuffer() {
  // Idle items go on showing the buffer only while it is the object's; a
  // save in flight and items clients hold keep it by their own references.
  DropIdleViews();
  LetGo(m_BufferOwner.detach(), m_BufferLength);
  m_Buffer = nullptr;
  m_BufferLength = 0;
}

bool CMultiData::UnshareBuffer() {
  if (m_Buffer == nullptr || m_Buffer != m_SavingBuffer) return true;
  vq::ComPtr<IUnknown> owner;
  uint8_t* copy = AllocatePacked(Env(), m_BufferLength, &owner);
  if (copy == nullptr) {
    VQ_TRACE("CMultiData::UnshareBuffer", "DataMatrix", 1, "Out of memory");
    return false;
  }
  std::memcpy(copy, m_Buffer, m_BufferLength);
  DropIdleViews();
  m_BufferOwner = std::move(owner);
  m_Buffer = copy;
  return true;
}

uint64_t CMultiData::NewBlockBytes() const {
  if (m_Block != 0) return m_BlockBytes;
  // Padded to whole units so that the block moves without a bounce copy;
  // a buffer smaller than half a unit is written as it is, to share a
  // unit of the swap file with other small blocks.
  const uint32_t unit = m_FileCache->SectorSize();
  const uint64_t bytes = m_ByteSize <= unit / 2 ? m_ByteSize : RoundUpTo(m_ByteSize, unit);
  return bytes > m_BufferLength || bytes > UINT32_MAX ? m_ByteSize : bytes;
}

bool CMultiData::AllocateImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) {
  vq::CritSecLock lock(m_Lock);
  uint32_t slotBytes = 0;
  const uint64_t bytes = ElementBytes(Format, nXSize, nZSize, &slotBytes) ? uint64_t{slotBytes} * count : 0;
  FreeBuffer();
  if (bytes == 0 || bytes > UINT32_MAX) {
    VQ_TRACE("CMultiData::Allocate", "DataMatrix", 1, "Out of memory");
    return false;
  }
  // Padded to whole transfer units of the swap file (and to the size of an
  // existing block), so that the block moves without a bounce copy.
  uint64_t padded = RoundUpTo(bytes, m_FileCache != nullptr ? m_FileCache->SectorSize() : 1);
  if (m_Block != 0) padded = std::max<uint64_t>(padded, m_BlockBytes);
  const uint64_t length = RoundUpTo(padded, PageSize());
  vq::ComPtr<IUnknown> owner;
  uint8_t* p = length <= SIZE_MAX ? AllocatePacked(Env(), static_cast<size_t>(length), &owner) : nullptr;
  if (p == nullptr) {
    VQ_TRACE("CMultiData::Allocate", "DataMatrix", 1, "Out of memory");
    return false;
  }
  m_BufferOwner = std::move(owner);
  m_Buffer = p;
  m_BufferLength = static_cast<size_t>(length);
  return true;
}

bool CMultiData::InitializeImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) {
  Clear();
  vq::CritSecLock lock(m_Lock);
  uint32_t slotBytes = 0;
  if (!ElementBytes(Format, nXSize, nZSize, &slotBytes) || slotBytes == 0 || count == 0 ||
      uint64_t{slotBytes} * count > UINT32_MAX) {
    VQ_TRACE("CMultiData::Initialize", "DataMatrix", 1, "Invalid size (%u x %dx%d type %d)", count, nXSize, nZSize,
             Format);
    return false;
  }
  const uint32_t byteSize = slotBytes * count;
  // A block of another size cannot be rewritten in place.
  if (m_Block != 0 && byteSize != m_ByteSize) {
    ReleaseBlock();
    m_BlockBytes = 0;
  }
  m_SlotSize = slotBytes;
  m_ByteSize = byteSize;
  m_XSize = static_cast<uint32_t>(nXSize);
  m_ZSize = static_cast<uint32_t>(nZSize);
  m_Format = Format;
  m_SlotCount = count;
  m_OnDisk = false;
  m_Modified = false;
  m_InMemory = false;  // only once the buffer exists
  try {
    m_Slots.assign(count, nullptr);
    // New values; the elements keep their attributes.
    m_SlotAttributes.resize(count);
    m_SlotLost.assign(count, 0);
  } catch (const std::bad_alloc&) {
    m_Slots.clear();
    m_SlotCount = 0;
    VQ_TRACE("CMultiData::Initialize", "DataMatrix", 1, "Out of memory");
    return false;
  }
  if (!Allocate(count, nXSize, nZSize, Format)) {
    VQ_TRACE("CMultiData::Initialize", "DataMatrix", 1, "Allocate failed");
    return false;
  }
  m_InMemory = true;
  return true;
}

void CMultiData::ClearImpl() {
  vq::CritSecLock lock(m_Lock);
  FreeBuffer();
  for (auto& pool : m_ActiveItems) {
    if (pool->Slot() < m_Slots.size()) m_Slots[pool->Slot()] = nullptr;
  }
  // The pool items' own values (an item a client put holds its own buffer
  // until the save folds it back) go with their last references, on the
  // releaser: unmapping ten of them held the data lock for a millisecond.
  for (PoolList* list : {&m_ActiveItems, &m_FreeItems}) {
    for (auto& pool : *list) LetGo(pool->Surrender().detach(), m_SlotSize);
    list->clear();
  }
  m_InMemory = false;
}

bool CMultiData::GetAllFromDiskImpl(bool) {
  vq::CritSecLock lock(m_Lock);
  return ReadBack() == S_OK;
}

HRESULT CMultiData::ReadBack() {
  if (!m_OnDisk) {
    VQ_TRACE("CMultiData::GetAllFromDisk", "DataMatrix", 1, "Data is not stored on disk. ThreadId=%u", Tid());
    return E_FAIL;
  }
  // Values in memory are at least as new as the block.
  if (m_InMemory && m_Buffer != nullptr) return S_OK;
  if (!Allocate(m_SlotCount, static_cast<LONG>(m_XSize), static_cast<LONG>(m_ZSize), m_Format)) {
    VQ_TRACE("CMultiData::GetAllFromDisk", "DataMatrix", 1, "Failed to allocate data buffer. ThreadId=%u", Tid());
    return E_OUTOFMEMORY;
  }
  if (m_FileCache == nullptr || m_BlockBytes > m_BufferLength ||
      m_FileCache->ReadBlock(m_Block, m_Buffer, 0, m_BlockBytes) != m_BlockBytes) {
    FreeBuffer();  // half-read values must never be handed out or saved
    VQ_TRACE("CMultiData::GetAllFromDisk", "DataMatrix", 1, "Failed to read data from disk. ThreadId=%u", Tid());
    return E_FAIL;
  }
  m_InMemory = true;
  return S_OK;
}

bool CMultiData::SaveToDiskImpl() {
  vq::CritSecLock lock(m_Lock);
  if (m_Buffer == nullptr) return true;
  Recycle(RecycleMode::Owner);
  if (!m_ActiveItems.empty()) {
    VQ_TRACE("CMultiData::SaveToDisk", "DataMatrix", 1, "SaveToDisk(1): Element is locked. ThreadId=%u", Tid());
    return false;
  }
  if (!m_InMemory && m_OnDisk) return true;
  if (!m_InMemory || !m_OnDisk || m_Modified) {
    if (m_FileCache == nullptr) return false;
    if (m_Block != 0) {
      if (!m_FileCache->RewriteBlock(m_Block, m_Buffer, m_BlockBytes)) return false;
    } else {
      const uint64_t bytes = NewBlockBytes();
      const uint32_t block = m_FileCache->WriteBlock(m_Buffer, static_cast<uint32_t>(bytes));
      if (block == 0) return false;
      m_Block = block;
      m_BlockBytes = static_cast<uint32_t>(bytes);
    }
    m_OnDisk = true;
  }
  m_Modified = false;
  if (m_InMemory) ClearImpl();
  return true;
}

CDataBase::SaveStart CMultiData::BeginSave(SaveWork* work) {
  vq::CritSecLock lock(m_Lock);
  if (m_SaveInFlight) return SaveStart::Failed;
  if (m_Buffer == nullptr) return SaveStart::Saved;
  Recycle(RecycleMode::Owner);
  if (!m_ActiveItems.empty()) {
    VQ_TRACE("CMultiData::SaveToDisk", "DataMatrix", 1, "SaveToDisk(1): Element is locked. ThreadId=%u", Tid());
    return SaveStart::Failed;
  }
  if (!m_InMemory && m_OnDisk) return SaveStart::Saved;
  if (m_OnDisk && !m_Modified) {
    ClearImpl();
    return SaveStart::Saved;
  }
  if (m_FileCache == nullptr) return SaveStart::Failed;
  // Always a new block: the object's own stays valid until the commit, and
  // a dropped save leaves it as it was.
  const uint64_t bytes = NewBlockBytes();
  m_SavingBuffer = m_Buffer;
  m_SavingOwner = m_BufferOwner;
  m_SaveInFlight = true;
  work->values = m_Buffer;
  work->bytes = static_cast<uint32_t>(bytes);
  work->version = m_Version;
  return SaveStart::Write;
}

bool CMultiData::EndSave(SaveWork* work) {
  vq::CritSecLock lock(m_Lock);
  // The save's reference goes to the caller, which lets go of it after
  // m_DataLock: the memory is unmapped there when the object let go of it
  // meanwhile (or lets go of it below) and no item shows it.
  work->memory = std::move(m_SavingOwner);
  m_SavingBuffer = nullptr;
  m_SaveInFlight = false;
  if (!CommitSavedBlock(*work)) return false;
  m_BlockBytes = work->bytes;
  m_Modified = false;
  if (m_InMemory) {
    // Untouched since BeginSave: the buffer is the one written, and no item
    // a client holds shows it (a hand-out would have touched the object).
    ClearImpl();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Pool items.
// ---------------------------------------------------------------------------

CPoolItem* CMultiData::PoolAt(uint32_t slot) const { return slot < m_Slots.size() ? m_Slots[slot] : nullptr; }

uint8_t* CMultiData::SlotValues(uint32_t slot) const { return m_Buffer + uint64_t{slot} * m_SlotSize; }

bool CMultiData::ShowSlot(uint32_t slot, uint32_t first, LONG n, LONG m, bool writable, IVQData* item) {
  const uint64_t offset = uint64_t{first} * BytesPerValue(m_Format);
  const uint64_t bytes = uint64_t{BytesPerValue(m_Format)} * static_cast<uint64_t>(n) * static_cast<uint64_t>(m);
  if (m_Buffer == nullptr || slot >= m_SlotCount || n < 0 || m < 0 || offset > m_SlotSize ||
      bytes > m_SlotSize - offset) {
    return false;
  }
  vq::ComPtr<IVQDataView> view;
  if (SUCCEEDED(item->QueryInterface(IID_IVQDataView, view.put_void())) && view) {
    return SUCCEEDED(view->ShowValues(m_BufferOwner.get(), SlotValues(slot) + offset, n, m, m_Format, writable));
  }
  // A client's own kind of item (put, then kept idle) cannot show the
  // buffer: it gets a copy of the values, folded back when it is written.
  VQDataBuffer shape{};
  if ((FAILED(item->GetDataBuffer(&shape)) || shape.XSize != n || shape.ZSize != m || shape.Format != m_Format) &&
      FAILED(item->Allocate(n, m, m_Format))) {
    return false;
  }
  void* values = nullptr;
  ULONGLONG got = 0;
  if (FAILED(item->GetRawData(&values, &got)) || got != bytes || (values == nullptr && bytes != 0)) return false;
  if (bytes != 0) std::memcpy(values, SlotValues(slot) + offset, static_cast<size_t>(bytes));
  return true;
}

bool CMultiData::FoldBack(CPoolItem* pool, bool* ownValues) {
  *ownValues = false;
  const uint32_t slot = pool->Slot();
  IVQData* item = pool->DataItem();
  ItemValues v;
  if (m_Buffer == nullptr || slot >= m_SlotCount || !ReadItemValues(item, &v)) {
    VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Failed to get data buffer. ThreadId=%u", Tid());
    return false;
  }
  if (v.shape.Format != m_Format || v.bytes != m_SlotSize) {
    // Values of another format or count cannot live in the slot, and the
    // old values are not what the client stored: the element is marked
    // lost, so that its accesses fail until a put stores it anew.
    VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1,
             "Recycle(%u): Item changed to %dx%d type %d; its values are not stored. ThreadId=%u", slot,
             v.shape.XSize, v.shape.ZSize, v.shape.Format, Tid());
    m_SlotLost[slot] = 1;
    pool->SetAxisUnknown();
    pool->SetAttributesUnknown();
    return true;
  }
  // An item that still shows the slot wrote its values there already; one
  // that took values of its own (a client's put, a detached view) is copied.
  if (v.values != SlotValues(slot)) {
    if (!UnshareBuffer()) return false;
    std::memcpy(SlotValues(slot), v.values, m_SlotSize);
    *ownValues = true;
  }
  m_Modified = true;

  if (m_AxisId == 0) {
    vq::ComPtr<IVQAxis> axis;
    CAxisManager::Ref id;
    HRESULT hr = item->GetAxis(axis.put());
    if (SUCCEEDED(hr)) hr = m_AxisManager->AddAxis(axis.get(), &id);
    if (FAILED(hr)) {
      VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Failed to save axis. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return false;
    }
    m_AxisId = id;
    pool->SetAxisId(id);
    if (id > 1) VQ_TRACE("CMultiData::Recycle", "DataMatrix", 3, "AxisID=%u", id.Id());
  } else {
    // The client may have changed the item's axis; the object keeps its own.
    pool->SetAxisUnknown();
  }
  // The client may have changed the element's attributes: they are the
  // slot's from now on.
  CAttributeManager::Ref id;
  HRESULT hr = m_AttributeManager->AddAttributes(item, &id);
  if (FAILED(hr)) {
    VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Failed to save attributes. hr=0x%08x ThreadId=%u",
             static_cast<unsigned>(hr), Tid());
    return false;
  }
  m_SlotAttributes[slot] = id;
  pool->SetAttributeId(id);
  if (id > 1) VQ_TRACE("CMultiData::Recycle", "DataMatrix", 3, "AttributeID=%u", id.Id());
  return true;
}

void CMultiData::Recycle(RecycleMode mode) {
  vq::CritSecLock lock(m_Lock);
  // Under the matrix's data lock no hand-out is under way: every caller has
  // added its reference by now (or never will).
  if (mode == RecycleMode::Owner) {
    for (auto& pool : m_ActiveItems) pool->SetHandOutPending(false);
  }
  for (auto it = m_ActiveItems.begin(); it != m_ActiveItems.end();) {
    CPoolItem* pool = it->get();
    if (mode == RecycleMode::Worker && (pool->HandOutPending() || pool->Writable())) {
      ++it;
      continue;
    }
    if (pool->RefCount() != 1) {
      ++it;
      continue;
    }
    bool ownValues = false;
    if (pool->Writable()) {
      bool folded = false;
      try {
        folded = FoldBack(pool, &ownValues);
      } catch (const _com_error& e) {
        VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Recycle(%u): %s", pool->Slot(), vq::ComErrorText(e));
      } catch (...) {
        VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Recycle(%u): Unknown error", pool->Slot());
      }
      if (!folded) break;  // this item and all after it stay active
    }
    if (PoolAt(pool->Slot()) == pool) m_Slots[pool->Slot()] = nullptr;
    auto next = std::next(it);
    if (ownValues) {
      // A client's put item: its values are in the slot now, and keeping it
      // idle would hold a second copy of them until the object is cleared
      // (twice the memory of an acquisition's objects). It goes, unmapped on
      // the releaser.
      LetGo(pool->Surrender().detach(), m_SlotSize);
      m_ActiveItems.erase(it);
    } else if (m_FreeItems.size() < kMaxFreeItems) {
      pool->SetWritable(false);
      m_FreeItems.splice(m_FreeItems.end(), m_ActiveItems, it);
    } else {
      const HRESULT hr = pool->Discard();
      if (FAILED(hr)) {
        VQ_TRACE("CMultiData::Recycle", "DataMatrix", 1, "Recycle(%u): FreeData failed. hr=0x%08x", pool->Slot(),
                 static_cast<unsigned>(hr));
      }
      m_ActiveItems.erase(it);
    }
    it = next;
  }
}

void CMultiData::StoreReleasedItems() {
  vq::CritSecLock lock(m_Lock);
  if (m_ActiveItems.empty()) return;
  Touch();  // a save in flight wrote the buffer without what is folded back now
  Recycle(RecycleMode::Owner);
}

bool CMultiData::IsLocked() {
  vq::CritSecLock lock(m_Lock);
  Recycle(RecycleMode::Worker);
  for (const auto& pool : m_ActiveItems) {
    if (pool->RefCount() >= 2) return true;
  }
  return false;
}

void CMultiData::SetSubAxis(CPoolItem* pool) {
  if (m_AxisId == 0) return;
  IVQData* item = pool->DataItem();
  LONG size = 0;
  double first = 0.0, delta = 0.0;
  std::wstring unit;
  vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, nullptr, &size, &first, &delta, &unit, nullptr, nullptr));
  CPoolItem::Subset s{};
  pool->GetSubset(&s);
  const LONG n = s.LastX - s.FirstX + 1;
  const double subFirst = first + static_cast<double>(s.FirstX) * delta;

  vq::ComPtr<IVQAxis> axis;
  vq::ThrowIfFailed(item->GetAxis(axis.put()), item, IID_IVQData);
  LONG kind = -1, currentSize = 0;
  double currentFirst = 0.0, currentDelta = 0.0;
  _bstr_t currentUnit;
  axis->GetKind(&kind);
  axis->GetSize(&currentSize);
  axis->GetFirstValue(&currentFirst);
  axis->GetDelta(&currentDelta);
  axis->GetUnit(currentUnit.GetAddress());
  const wchar_t* current = currentUnit.length() != 0 ? static_cast<const wchar_t*>(currentUnit) : L"";
  if (kind == axisKindLinear && currentSize == n && std::fabs(currentFirst - subFirst) <= 1e-6 &&
      std::fabs(currentDelta - delta) <= 1e-6 && unit == current) {
    return;
  }
  VQ_TRACE("CMultiData::SetSubAxis", "DataMatrix", 3,
           "SetSubAxis(%u): Current. Axis size=%d FirstValue=%g Delta=%g Unit=\"%ls\"", pool->Slot(), currentSize,
           currentFirst, currentDelta, current);
  _bstr_t unitText(unit.c_str());
  vq::ThrowIfFailed(axis->InitializeAsLinear(n, subFirst, delta, unitText.GetBSTR()), axis.get(), IID_IVQAxis);
  VQ_TRACE("CMultiData::SetSubAxis", "DataMatrix", 3,
           "SetSubAxis(%u): Adjusted. Axis size=%d FirstValue=%g Delta=%g Unit=\"%ls\"", pool->Slot(), n, subFirst,
           delta, unit.c_str());
  // The item no longer shows the object's own axis: a later whole hand-out
  // must give it back.
  pool->SetAxisUnknown();
}

HRESULT CMultiData::UpdatePoolItem(CPoolItem* pool) {
  IVQData* item = pool->DataItem();
  const uint32_t slot = pool->Slot();
  try {
    const CAttributeManager::Ref attributeId =
        slot < m_SlotAttributes.size() ? m_SlotAttributes[slot] : CAttributeManager::Ref();
    if (pool->AttributeId() != attributeId) {
      CPoolItem::Subset s{};
      pool->GetSubset(&s);
      const bool subset = pool->HasSubset();
      const HRESULT hr = m_AttributeManager->RestoreSet(
          attributeId, item, subset ? s.FirstRecord : 0,
          subset ? s.LastRecord - s.FirstRecord + 1 : static_cast<LONG>(m_ZSize));
      if (FAILED(hr)) {
        pool->SetAttributesUnknown();
        VQ_TRACE("CMultiData::UpdatePoolItem", "DataMatrix", 1, "Failed to set attributes on item %u. HR=0x%08x",
                 slot, static_cast<unsigned>(hr));
        vq::ThrowIfFailed(hr);
      }
      pool->SetAttributeId(attributeId);
    }
    if (pool->HasSubset()) {
      SetSubAxis(pool);
    } else if (pool->AxisId() != m_AxisId) {
      if (m_AxisId != 0) {
        vq::ComPtr<IVQAxis> axis;
        vq::ThrowIfFailed(item->GetAxis(axis.put()), item, IID_IVQData);
        vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, axis.get()));
      }
      pool->SetAxisId(m_AxisId);
    }
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::UpdatePoolItem", "DataMatrix", 1, "UpdatePoolItem(%u): %s", pool->Slot(),
             vq::ComErrorText(e));
    return e.Error();
  }
  return S_OK;
}

HRESULT CMultiData::HandOut(uint32_t slot, bool forWriting, const CPoolItem::Subset* subset, const char* operation,
                            IUnknown** out) {
  Recycle(RecycleMode::Owner);
  if (m_SlotLost[slot] != 0) {
    VQ_TRACE("CMultiData::HandOut", "DataMatrix", 1,
             "%s(%u): The element's values were lost: it was reshaped while held. ThreadId=%u", operation, slot, Tid());
    return E_FAIL;
  }
  const bool whole = subset == nullptr;
  const LONG n = whole ? static_cast<LONG>(m_XSize) : subset->LastX - subset->FirstX + 1;
  const LONG m = whole ? static_cast<LONG>(m_ZSize) : subset->LastRecord - subset->FirstRecord + 1;
  const uint32_t first =
      whole ? 0 : static_cast<uint32_t>(subset->FirstRecord) * m_XSize + static_cast<uint32_t>(subset->FirstX);
  // Items show the buffer's values, so they must show the object's own
  // buffer, never one a save in flight reads and may free: a later fold-back
  // would copy the buffer away from under an item still writing into it.
  if (!UnshareBuffer()) return E_OUTOFMEMORY;
  // Written straight into the buffer from now on.
  if (forWriting) m_Modified = true;

  if (m_FreeItems.empty()) {
    vq::ComPtr<IVQData> item;
    vq::ThrowIfFailed(CreateItem(&item));
    if (!ShowSlot(slot, first, n, m, forWriting, item.get())) {
      VQ_TRACE("CMultiData::HandOut", "DataMatrix", 1, "%s(%u): Failed to show the values", operation, slot);
      return E_FAIL;
    }
    if (whole) {
      vq::ComPtr<IVQAxis> axis;
      vq::ThrowIfFailed(item->GetAxis(axis.put()), item.get(), IID_IVQData);
      vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, axis.get()));
      if (::TraceLevel.load(std::memory_order_relaxed) != 0) {
        LONG size = 0;
        double firstValue = 0.0, delta = 0.0;
        _bstr_t unit;
        axis->GetSize(&size);
        axis->GetFirstValue(&firstValue);
        axis->GetDelta(&delta);
        axis->GetUnit(unit.GetAddress());
        VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 3,
                 "GetAllData(%u): Item %u created. Axis size=%d FirstValue=%g Delta=%g Unit=%ls", slot,
                 static_cast<unsigned>(m_ActiveItems.size()), size, firstValue, delta,
                 unit.length() != 0 ? static_cast<const wchar_t*>(unit) : L"");
      }
    }
    // A new item shows no attributes (id 0) until the slot's set is restored.
    auto pool = std::make_unique<CPoolItem>(slot, whole ? m_AxisId : CAxisManager::Ref(), CAttributeManager::Ref(),
                                            item.get(), forWriting, subset);
    const HRESULT hr = UpdatePoolItem(pool.get());
    if (FAILED(hr)) return hr;
    m_ActiveItems.push_back(std::move(pool));
  } else {
    CPoolItem* pool = m_FreeItems.front().get();
    IVQData* item = pool->DataItem();
    VQDataBuffer shape{};
    const HRESULT described = item->GetDataBuffer(&shape);
    const bool reshaped = FAILED(described) || shape.XSize != n || shape.ZSize != m || shape.Format != m_Format;
    if (!ShowSlot(slot, first, n, m, forWriting, item)) {
      VQ_TRACE("CMultiData::HandOut", "DataMatrix", 1, "%s(%u): Failed to show the values", operation, slot);
      return E_FAIL;
    }
    if (reshaped) {
      if (whole) {
        try {
          vq::ComPtr<IVQAxis> axis;
          vq::ThrowIfFailed(item->GetAxis(axis.put()), item, IID_IVQData);
          vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, axis.get()));
          pool->SetAxisId(m_AxisId);
        } catch (const _com_error& e) {
          VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): Failed to Re-initialize. %s", slot,
                   vq::ComErrorText(e));
          return e.Error();
        }
      } else {
        VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 3,
                 "GetDataSubset(%u): Resize (%dx%d type %d) to (%dx%d type %d)", slot, shape.XSize, shape.ZSize,
                 shape.Format, n, m, m_Format);
      }
    }
    // Tag vectors belong to the element that was handed out with them. The
    // pool item's attribute id says which set the item shows (0: none); a set
    // shown for another slot or other records (its record attributes are
    // numbered from the part's first record) must be restored anew.
    if (pool->Slot() != slot) item->ClearTagVectors();
    CPoolItem::Subset shown{};
    pool->GetSubset(&shown);
    const LONG firstRecord = whole ? -1 : subset->FirstRecord, lastRecord = whole ? -1 : subset->LastRecord;
    if (pool->AttributeId() != 0 &&
        (pool->Slot() != slot || shown.FirstRecord != firstRecord || shown.LastRecord != lastRecord)) {
      pool->SetAttributesUnknown();
    }
    pool->Reuse(slot, forWriting, subset);
    const HRESULT hr = UpdatePoolItem(pool);
    if (FAILED(hr)) return hr;  // stays idle
    m_ActiveItems.splice(m_ActiveItems.end(), m_FreeItems, m_FreeItems.begin());
  }
  CPoolItem* pool = m_ActiveItems.back().get();
  m_Slots[slot] = pool;
  pool->SetHandOutPending(true);
  *out = pool->DataItem();
  return S_OK;
}

// ---------------------------------------------------------------------------
// The contract operations that hand out items.
// ---------------------------------------------------------------------------

HRESULT CMultiData::GetAllDataImpl(uint32_t slot, bool /*withAttributes*/, bool forWriting, IUnknown** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  try {
    vq::CritSecLock lock(m_Lock);
    if (slot >= m_SlotCount) {
      VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): Invalid slot. ThreadId=%u", slot, Tid());
      return E_INVALIDARG;
    }
    if (!m_InMemory) {
      const HRESULT hr = m_OnDisk ? ReadBack() : S_OK;
      if (FAILED(hr)) {
        VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1,
                 "GetAllData(%u): GetAllFromDisk failed. Can't retrieve full element. ThreadId=%u", slot, Tid());
        return hr;
      }
      if (!m_InMemory) return S_OK;
    }
    CPoolItem* pool = m_Slots[slot];
    if (pool != nullptr && (pool->HasSubset() || pool->Writable())) {
      // An item the client has let go of is retired first: a subset does not
      // block the element, and a reshaped writable item is found out now.
      Recycle(RecycleMode::Owner);
      pool = m_Slots[slot];
    }
    if (pool != nullptr) {
      if (pool->HasSubset()) {
        VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1,
                 "GetAllData(%u): Partial element locked in memory. ThreadId=%u", slot, Tid());
        return E_FAIL;
      }
      if (forWriting && !pool->Writable()) {
        // A view lent for reading may now write into the buffer (it shows the
        // object's own buffer: the hand-out that made it took it from a save).
        // One the client detached keeps its values, for the fold-back to judge.
        vq::ComPtr<IVQDataView> view;
        pool->DataItem()->QueryInterface(IID_IVQDataView, view.put_void());
        if (view && view->ShowsValues(SlotValues(slot)) == S_OK &&
            FAILED(view->ShowValues(m_BufferOwner.get(), SlotValues(slot), static_cast<LONG>(m_XSize),
                                    static_cast<LONG>(m_ZSize), m_Format, TRUE))) {
          VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): Failed to show the values", slot);
          return E_FAIL;
        }
        pool->SetWritable(true);
        m_Modified = true;
      }
      pool->SetHandOutPending(true);
      *out = pool->DataItem();
      return S_OK;
    }
    return HandOut(slot, forWriting, nullptr, "GetAllData", out);
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): %s", slot, vq::ComErrorText(e));
    return e.Error();
  } catch (const std::bad_alloc&) {
    VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): Out of memory", slot);
    return E_OUTOFMEMORY;
  } catch (...) {
    VQ_TRACE("CMultiData::GetAllData", "DataMatrix", 1, "GetAllData(%u): Unknown error", slot);
    return E_FAIL;
  }
}

HRESULT CMultiData::GetDataSubsetImpl(uint32_t slot, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                                      IUnknown** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  try {
    vq::CritSecLock lock(m_Lock);
    if (slot >= m_SlotCount) {
      VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "GetDataSubset(%u): Invalid slot. ThreadId=%u", slot,
               Tid());
      return E_INVALIDARG;
    }
    const uint64_t valueCount = uint64_t{m_XSize} * m_ZSize;
    if (firstIndex == 0 && uint64_t{lastIndex} + 1 == valueCount) {
      return GetAllData(slot, withAttributes, false, out);
    }
    const HRESULT loaded = !m_InMemory && m_OnDisk ? ReadBack() : S_OK;
    if (FAILED(loaded)) {
      VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1,
               "GetDataSubset(%u): GetAllFromDisk failed. Can't retrieve full element. ThreadId=%u", slot, Tid());
      return loaded;
    }
    if (m_AxisId != 0) {
      LONG kind = -1;
      const HRESULT hr =
          m_AxisManager->GetAxis(m_AxisId, &kind, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
      if (FAILED(hr)) {
        VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "Failed to get axis. hr=0x%08x ThreadId=%u",
                 static_cast<unsigned>(hr), Tid());
        return hr;
      }
      if (kind != axisKindLinear) {
        // Only a linear axis can be cut: the whole element stands in.
        const HRESULT whole = GetAllData(slot, withAttributes, false, out);
        return FAILED(whole) ? whole : S_FALSE;
      }
    }
    const uint32_t firstX = firstIndex % m_XSize, firstRecord = firstIndex / m_XSize;
    const uint32_t lastX = lastIndex % m_XSize, lastRecord = lastIndex / m_XSize;
    if (firstIndex > lastIndex || lastIndex >= valueCount ||
        (firstRecord != lastRecord && (firstX != 0 || lastX != m_XSize - 1))) {
      VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "GetDataSubset(%u): Invalid index(%u,%u). ThreadId=%u",
               slot, firstIndex, lastIndex, Tid());
      return E_INVALIDARG;
    }
    if (!m_InMemory) return S_OK;
    const CPoolItem::Subset request{static_cast<LONG>(firstX), static_cast<LONG>(firstRecord),
                                    static_cast<LONG>(lastX), static_cast<LONG>(lastRecord)};
    CPoolItem* pool = m_Slots[slot];
    if (pool != nullptr && (pool->CompareSubset(request) > 0 || pool->Writable())) {
      Recycle(RecycleMode::Owner);  // another part the client has let go of does not block
      pool = m_Slots[slot];
    }
    if (pool != nullptr) {
      const int compared = pool->CompareSubset(request);
      if (compared > 0) {
        VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1,
                 "GetDataSubset(%u): Element is locked. Can't retrieve subset. ThreadId=%u", slot, Tid());
        return E_FAIL;
      }
      pool->SetHandOutPending(true);
      *out = pool->DataItem();
      return compared == 0 ? S_OK : S_FALSE;
    }
    return HandOut(slot, false, &request, "GetDataSubset", out);
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "GetDataSubset(%u): %s", slot, vq::ComErrorText(e));
    return e.Error();
  } catch (const std::bad_alloc&) {
    VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "GetDataSubset(%u): Out of memory", slot);
    return E_OUTOFMEMORY;
  } catch (...) {
    VQ_TRACE("CMultiData::GetDataSubset", "DataMatrix", 1, "GetDataSubset(%u): Unknown error", slot);
    return E_FAIL;
  }
}

HRESULT CMultiData::ReadValuesImpl(const uint32_t* slots, uint32_t count, LONG format, uint32_t record, uint32_t first,
                               uint32_t last, const void** values) {
  for (uint32_t k = 0; k < count; ++k) values[k] = nullptr;
  try {
    vq::CritSecLock lock(m_Lock);
    const uint32_t bytesPerValue = BytesPerValue(format);
    if (count == 0 || m_Format != format || bytesPerValue == 0 || record >= m_ZSize || first > last ||
        last >= m_XSize) {
      return S_OK;
    }
    if (!m_InMemory) {
      if (!m_OnDisk) return S_OK;
      const HRESULT hr = ReadBack();
      if (FAILED(hr)) {
        VQ_TRACE("CMultiData::ReadValues", "DataMatrix", 1,
                 "ReadValues: GetAllFromDisk failed. Can't retrieve the values. ThreadId=%u", Tid());
        return hr;
      }
    }
    if (m_Buffer == nullptr) return S_OK;
    // Items the clients have let go of are retired once for the whole call:
    // the slot they showed is then read from the buffer.
    bool recycled = false;
    const uint64_t offset = (static_cast<uint64_t>(record) * m_XSize + first) * bytesPerValue;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t slot = slots[k];
      if (slot >= m_SlotCount) continue;
      if (m_Slots[slot] != nullptr && !recycled) {
        Recycle(RecycleMode::Owner);
        recycled = true;
      }
      // A pool item a client holds may show values the buffer has not got
      // yet, and a lost slot must fail as a hand-out does.
      if (m_Slots[slot] != nullptr || m_SlotLost[slot] != 0) continue;
      values[k] = m_Buffer + uint64_t{slot} * m_SlotSize + offset;
    }
    return S_OK;
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::ReadValues", "DataMatrix", 1, "ReadValues: %s", vq::ComErrorText(e));
    return e.Error();
  } catch (...) {
    VQ_TRACE("CMultiData::ReadValues", "DataMatrix", 1, "ReadValues: Unknown error");
    return E_FAIL;
  }
}

HRESULT CMultiData::ReplaceDataImpl(uint32_t slot, IUnknown* newItem) {
  try {
    vq::CritSecLock lock(m_Lock);
    if (slot >= m_SlotCount) {
      VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1, "ReplaceData(%u): Invalid slot. ThreadId=%u", slot, Tid());
      return E_INVALIDARG;
    }
    Recycle(RecycleMode::Owner);
    if (CPoolItem* pool = m_Slots[slot]) {
      if (newItem != nullptr && vq::IsSameObject(pool->DataItem(), newItem)) {
        if (pool->HasSubset()) {
          VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1,
                   "ReplaceData(%u): New data and old data have different size. ThreadId=%u", slot, Tid());
          return E_FAIL;
        }
        // Stored explicitly: the values are folded back even when the item
        // was handed out for reading.
        pool->SetWritable(true);
        return S_OK;
      }
      VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1,
               "ReplaceData(%u): Existing data is locked in memory. ThreadId=%u", slot, Tid());
      return E_FAIL;
    }
    vq::ComPtr<IVQData> incoming;
    if (newItem == nullptr || FAILED(newItem->QueryInterface(IID_IVQData, incoming.put_void())) || !incoming) {
      VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1, "ReplaceData(%u): New data is not a data item. ThreadId=%u",
               slot, Tid());
      return E_FAIL;
    }
    VQDataBuffer shape{};
    if (FAILED(incoming->GetDataBuffer(&shape)) || shape.XSize < 0 || shape.ZSize < 0 ||
        static_cast<uint32_t>(shape.XSize) != m_XSize || static_cast<uint32_t>(shape.ZSize) != m_ZSize ||
        shape.Format != m_Format) {
      VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1,
               "ReplaceData(%u): New data and old data have different size. ThreadId=%u", slot, Tid());
      return E_FAIL;
    }
    // The other slots' values must be in memory before the item can later be
    // folded into the buffer; a failed load changes nothing.
    if (!m_InMemory) {
      const HRESULT hr = ReadBack();
      if (FAILED(hr)) {
        VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1,
                 "ReplaceData(%u): Failed to load saved data item from disk. ThreadId=%u", slot, Tid());
        return hr;
      }
    }
    // An item this object keeps idle is the client's now.
    for (auto it = m_FreeItems.begin(); it != m_FreeItems.end(); ++it) {
      if (vq::IsSameObject((*it)->DataItem(), incoming.get())) {
        (*it)->Discard();
        m_FreeItems.erase(it);
        break;
      }
    }
    // An item that shows another slot would lock both slots for good: its
    // values are stored now instead.
    for (auto& pool : m_ActiveItems) {
      if (vq::IsSameObject(pool->DataItem(), incoming.get())) {
        CPoolItem copy(slot, {}, {}, incoming.get(), true, nullptr);
        m_SlotLost[slot] = 0;
        bool ownValues = false;
        const bool stored = FoldBack(&copy, &ownValues);
        copy.Discard();  // the client keeps its item and its values
        return stored ? S_OK : E_FAIL;
      }
    }
    m_ActiveItems.push_back(std::make_unique<CPoolItem>(slot, CAxisManager::Ref(), CPoolItem::UnknownAttributes(),
                                                        incoming.get(), true, nullptr));
    m_Slots[slot] = m_ActiveItems.back().get();
    m_SlotLost[slot] = 0;
    return S_OK;
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1, "ReplaceData(%u): %s", slot, vq::ComErrorText(e));
    return e.Error();
  } catch (...) {
    VQ_TRACE("CMultiData::ReplaceData", "DataMatrix", 1, "ReplaceData(%u): Unknown error", slot);
    return E_FAIL;
  }
}

// ---------------------------------------------------------------------------
// Axis and attributes of the whole object.
// ---------------------------------------------------------------------------

HRESULT CMultiData::InitializeAsLinearImpl(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) {
  try {
    vq::CritSecLock lock(m_Lock);
    if (m_AxisId != 0) return S_OK;
    vq::ThrowIfFailed(
        m_AxisManager->AddAxis(axisKindLinear, Size, FirstValue, Delta, Unit != nullptr ? Unit : L"", 0, 0, &m_AxisId));
    for (PoolList* list : {&m_ActiveItems, &m_FreeItems}) {
      for (auto& pool : *list) {
        if (pool->HasSubset()) {
          SetSubAxis(pool.get());
        } else if (pool->AxisId() != m_AxisId) {
          IVQData* item = pool->DataItem();
          vq::ComPtr<IVQAxis> axis;
          vq::ThrowIfFailed(item->GetAxis(axis.put()), item, IID_IVQData);
          vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, axis.get()));
          pool->SetAxisId(m_AxisId);
        }
      }
    }
    return S_OK;
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::InitializeAsLinear", "DataMatrix", 1, "%s", vq::ComErrorText(e));
    return e.Error();
  }
}

HRESULT CMultiData::SetAttributesImpl(const CAttributeManager::Ref& attributeId) {
  try {
    vq::CritSecLock lock(m_Lock);
    // Written items a client let go of are folded back first, so that their
    // values are stored before the set below replaces their attributes.
    Recycle(RecycleMode::Owner);
    // The set replaces what every element of the object carried, in the
    // buffer, in items clients hold and in idle items alike.
    m_AttributeId = attributeId;
    std::fill(m_SlotAttributes.begin(), m_SlotAttributes.end(), attributeId);
    for (PoolList* list : {&m_ActiveItems, &m_FreeItems}) {
      for (auto& pool : *list) {
        pool->SetAttributesUnknown();  // whatever a client added goes too
        vq::ThrowIfFailed(UpdatePoolItem(pool.get()));
      }
    }
    return S_OK;
  } catch (const _com_error& e) {
    VQ_TRACE("CMultiData::SetAttributes", "DataMatrix", 1, "%s", vq::ComErrorText(e));
    return e.Error();
  }
}

HRESULT CMultiData::CurrentAttributeId(uint32_t slot, CAttributeManager::Ref* id) {
  vq::CritSecLock lock(m_Lock);
  *id = CAttributeManager::Ref();
  if (slot >= m_SlotAttributes.size()) return E_INVALIDARG;
  const CPoolItem* pool = PoolAt(slot);
  if (pool != nullptr && pool->Writable()) return m_AttributeManager->AddAttributes(pool->DataItem(), id);
  *id = m_SlotAttributes[slot];
  return S_OK;
}

// ---------------------------------------------------------------------------
// Diagnostics.
// ---------------------------------------------------------------------------

uint32_t CMultiData::SlotCount() const {
  vq::CritSecLock lock(m_Lock);
  return m_SlotCount;
}

uint32_t CMultiData::SlotSize() const {
  vq::CritSecLock lock(m_Lock);
  return m_SlotSize;
}

size_t CMultiData::ActiveItemCount() const {
  vq::CritSecLock lock(m_Lock);
  return m_ActiveItems.size();
}

size_t CMultiData::FreeItemCount() const {
  vq::CritSecLock lock(m_Lock);
  return m_FreeItems.size();
}

const CPoolItem* CMultiData::SlotItem(uint32_t slot) const {
  vq::CritSecLock lock(m_Lock);
  return PoolAt(slot);
}

bool CMultiData::ReadSlot(uint32_t slot, void* dest, uint32_t bytes) const {
  vq::CritSecLock lock(m_Lock);
  if (m_Buffer == nullptr || slot >= m_SlotCount || bytes > m_SlotSize) return false;
  std::memcpy(dest, m_Buffer + uint64_t{slot} * m_SlotSize, bytes);
  return true;
}

const void* CMultiData::BufferAddress() const {
  vq::CritSecLock lock(m_Lock);
  return m_Buffer;
}

uint32_t CMultiData::BlockBytes() const {
  vq::CritSecLock lock(m_Lock);
  return m_BlockBytes;
}
