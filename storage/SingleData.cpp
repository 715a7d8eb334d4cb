#include "storage/SingleData.h"

#include "core/VQErrorReporting.h"
#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "trace/VQTrace.h"

namespace {

// The thread's identifier, for the messages that end with it.
DWORD Tid() { return GetCurrentThreadId(); }


}  // namespace

CSingleData::~CSingleData() { ResetItem(nullptr, true); }

void CSingleData::ResetItem(vq::ComPtr<IVQData> item, bool freeOld) {
  vq::ComPtr<IVQData> old;
  {
    vq::MutexLock lock(m_ItemLock);
    old = std::move(m_Item);
    m_Item = std::move(item);
  }
  if (old && freeOld) {
    // The values of an item a client still holds are the client's: only an
    // item nobody else references is emptied.
    old->AddRef();
    if (old->Release() == 1) old->FreeData();
  }
}

ULONG CSingleData::ItemRefCount() {
  vq::MutexLock lock(m_ItemLock);
  if (!m_Item) return 0;
  m_Item->AddRef();
  const ULONG count = m_Item->Release();
  // A save in flight holds a reference that is no client's.
  return m_SavingItem.get() == m_Item.get() ? count - 1 : count;
}

bool CSingleData::IsLocked() { return ItemRefCount() >= 2; }

bool CSingleData::ItemIsSaving() {
  if (!m_SaveInFlight) return false;  // written under m_DataLock, which the caller holds
  vq::MutexLock lock(m_ItemLock);
  return m_Item && m_SavingItem.get() == m_Item.get();
}

HRESULT CSingleData::UnshareItem() {
  if (!ItemIsSaving()) return S_OK;
  vq::ComPtr<IVQData> copy;
  const HRESULT hr = m_Item->Clone(copy.put());
  if (FAILED(hr) || !copy) {
    VQ_TRACE("CSingleData::UnshareItem", "DataMatrix", 1, "Clone failed. hr=0x%08x ThreadId=%u",
             static_cast<unsigned>(hr), Tid());
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  ResetItem(std::move(copy), false);
  return S_OK;
}

void CSingleData::DetachIfHeld() {
  // Without a clone the item is let go of all the same: the new values go
  // into a new item, and only attributes not recorded yet are lost.
  if (IsLocked() || FAILED(UnshareItem())) ResetItem(nullptr, false);
}

void CSingleData::HeldBounds(uint32_t* xFrom, uint32_t* zFrom, uint32_t* xTo, uint32_t* zTo) const {
  *xFrom = m_XFrom;
  *zFrom = m_ZFrom;
  *xTo = m_XTo;
  *zTo = m_ZTo;
}

void CSingleData::RefreshFromItem() {
  VQDataBuffer buffer{};
  uint32_t bytes = 0;
  if (m_Item && SUCCEEDED(m_Item->GetDataBuffer(&buffer)) &&
      ElementBytes(buffer.Format, buffer.XSize, buffer.ZSize, &bytes)) {
    m_Format = buffer.Format;
    m_XSize = static_cast<uint32_t>(buffer.XSize);
    m_ZSize = static_cast<uint32_t>(buffer.ZSize);
    m_ByteSize = bytes;
    m_XTo = m_XSize - 1;
    m_ZTo = m_ZSize - 1;
    m_InMemory = true;
    m_ItemShowsAttributes = true;
  } else {
    m_Format = 0;
    m_XSize = m_ZSize = m_ByteSize = 0;
    m_XTo = m_ZTo = 0;
    m_InMemory = false;
  }
  ReleaseBlock();
  m_XFrom = m_ZFrom = 0;
  m_Modified = false;
  m_OnDisk = false;
}

HRESULT CSingleData::CreateInstanceImpl() {
  vq::ComPtr<IVQData> item;
  HRESULT hr = CreateItem(&item);
  if (SUCCEEDED(hr)) ResetItem(std::move(item), false);
  return hr;
}

bool CSingleData::AllocateImpl(uint32_t, LONG nXSize, LONG nZSize, LONG Format) {
  uint32_t bytes = 0;
  if (!ElementBytes(Format, nXSize, nZSize, &bytes)) {
    VQ_TRACE("CSingleData::Allocate", "DataMatrix", 1, "Element size does not fit 32 bits. ThreadId=%u", Tid());
    return false;
  }
  // The values a save in flight reads are never reallocated under it.
  if (ItemIsSaving()) ResetItem(nullptr, false);
  if (!m_Item && FAILED(CreateInstance())) {
    VQ_TRACE("CSingleData::Allocate", "DataMatrix", 1, "CreateInstance failed. ThreadId=%u", Tid());
    return false;
  }
  HRESULT hr = m_Item->Allocate(nXSize, nZSize, Format);
  vq::ThrowIfFailed(hr, m_Item.get(), IID_IVQData);
  if (hr != S_OK) {
    VQ_TRACE("CSingleData::Allocate", "DataMatrix", 1, "Initialize failed. ThreadId=%u", Tid());
    return false;
  }
  return true;
}

bool CSingleData::InitializeImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) {
  // An item a client still holds is never reallocated under it.
  DetachIfHeld();
  const bool showed = m_Item && m_ItemShowsAttributes;
  if (!Allocate(count, nXSize, nZSize, Format)) return false;
  RefreshFromItem();
  // New values, but the element keeps its attributes: a new item (the old
  // one was swapped out or is the client's) gets them from the store.
  return showed || m_AttributeId == 0 || SUCCEEDED(ShowAttributes());
}

HRESULT CSingleData::InitializeAsLinearImpl(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) {
  if (m_AxisId != 0) return S_OK;
  vq::ThrowIfFailed(m_AxisManager->AddAxis(axisKindLinear, Size, FirstValue, Delta, Unit, 0, 0, &m_AxisId));
  if (m_Item) {
    vq::ComPtr<IVQAxis> axis;
    vq::ThrowIfFailed(m_Item->GetAxis(axis.put()), m_Item.get(), IID_IVQData);
    vq::ThrowIfFailed(m_AxisManager->GetAxis(m_AxisId, axis.get()));
  }
  return S_OK;
}

HRESULT CSingleData::SetAttributesImpl(const CAttributeManager::Ref& attributeId) {
  if (attributeId == m_AttributeId && !m_Modified && (m_ItemShowsAttributes || !m_Item)) return S_OK;
  // The set replaces what the element carried, in memory and on disk alike.
  CAttributeManager::Ref previous = m_AttributeId;
  m_AttributeId = attributeId;
  if (m_Item) {
    const HRESULT hr = ShowAttributes();
    if (FAILED(hr)) {
      m_AttributeId = std::move(previous);
      m_ItemShowsAttributes = false;
      VQ_TRACE("CSingleData::SetAttributes", "DataMatrix", 1, "Failed to set attributes. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return hr;
    }
  }
  return S_OK;
}

HRESULT CSingleData::EnsureAttributesShown(const char* origin) {
  if (m_ItemShowsAttributes) return S_OK;
  const HRESULT hr = ShowAttributes();
  if (FAILED(hr)) {
    VQ_TRACE(origin, "DataMatrix", 1, "Failed to set attributes. hr=0x%08x ThreadId=%u", static_cast<unsigned>(hr),
             Tid());
  }
  return hr;
}

HRESULT CSingleData::ShowAttributes() {
  if (!m_Item) return S_OK;
  const HRESULT hr = m_AttributeManager->RestoreSet(m_AttributeId, m_Item.get(), static_cast<LONG>(m_ZFrom),
                                                    static_cast<LONG>(m_ZTo - m_ZFrom + 1));
  m_ItemShowsAttributes = SUCCEEDED(hr);
  return hr;
}

HRESULT CSingleData::ReplaceDataImpl(uint32_t, IUnknown* newItem) {
  if (m_Item && vq::IsSameObject(m_Item.get(), newItem)) return S_OK;
  vq::ComPtr<IVQData> incoming;
  if (newItem == nullptr || FAILED(newItem->QueryInterface(IID_IVQData, incoming.put_void())) || !incoming) {
    // Storing "nothing" for an object that is not a data item would report
    // success on values that are not there.
    VQ_TRACE("CSingleData::ReplaceData", "DataMatrix", 1, "New data is not a data item. ThreadId=%u", Tid());
    return E_FAIL;
  }
  if (IsLocked()) {
    VQ_TRACE("CSingleData::ReplaceData", "DataMatrix", 1, "Existing data is locked in memory. ThreadId=%u", Tid());
    return E_FAIL;
  }
  if (m_OnDisk) {
    // The block holds this shape, whether the values are in memory or not.
    VQDataBuffer buffer{};
    if (FAILED(incoming->GetDataBuffer(&buffer)) || buffer.XSize < 0 || buffer.ZSize < 0 ||
        static_cast<uint32_t>(buffer.XSize) != m_XSize || static_cast<uint32_t>(buffer.ZSize) != m_ZSize ||
        buffer.Format != m_Format) {
      VQ_TRACE("CSingleData::ReplaceData", "DataMatrix", 1,
               "New data and old data have different size. ThreadId=%u", Tid());
      return E_FAIL;
    }
  }
  ResetItem(std::move(incoming), true);
  RefreshFromItem();
  // Everything the new item carries (values, axis, attributes) is new to
  // the element and must be recorded at the next save.
  m_Modified = true;
  return S_OK;
}

bool CSingleData::PrepareValues(void** values, uint32_t* bytes) {
  if (!BufferOf(m_Item.get(), values, bytes)) return false;
  if (*bytes == 0) return true;
  // A client that reshaped the item while it held it for writing: the old
  // block has the wrong size, so the values go to a new one and the
  // recorded shape follows the item.
  VQDataBuffer buffer{};
  m_Item->GetDataBuffer(&buffer);
  if (*bytes != m_ByteSize || static_cast<uint32_t>(buffer.XSize) != m_XSize ||
      static_cast<uint32_t>(buffer.ZSize) != m_ZSize || buffer.Format != m_Format) {
    m_Format = buffer.Format;
    m_XSize = static_cast<uint32_t>(buffer.XSize);
    m_ZSize = static_cast<uint32_t>(buffer.ZSize);
    m_ByteSize = *bytes;
    m_XFrom = m_ZFrom = 0;
    m_XTo = m_XSize - 1;
    m_ZTo = m_ZSize - 1;
    ReleaseBlock();
    m_OnDisk = false;
  }
  return true;
}

bool CSingleData::FinishSave() {
  if (m_AxisId == 0 || m_Modified) {
    vq::ComPtr<IVQAxis> axis;
    if (SUCCEEDED(m_Item->GetAxis(axis.put())) && axis) {
      CAxisManager::Ref id;
      HRESULT hr = m_AxisManager->AddAxis(axis.get(), &id);
      if (FAILED(hr)) {
        VQ_TRACE("CSingleData::SaveToDisk", "DataMatrix", 1, "Failed to save axis. hr=0x%08x ThreadId=%u",
                 static_cast<unsigned>(hr), Tid());
        return false;
      }
      m_AxisId = std::move(id);
      if (m_AxisId >= 2) VQ_TRACE("CSingleData::SaveToDisk", "DataMatrix", 3, "AxisID=%u", m_AxisId.Id());
    }
  }
  {
    CAttributeManager::Ref id;
    HRESULT hr = CurrentAttributeId(0, &id);  // records the item's set when it may have changed
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::SaveToDisk", "DataMatrix", 1, "Failed to save attributes. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return false;
    }
  }
  m_Modified = false;
  if (m_InMemory) ClearImpl();
  return true;
}

bool CSingleData::SaveToDiskImpl() {
  if (!m_Item) return true;
  if (IsLocked()) {
    VQ_TRACE("CSingleData::SaveToDisk", "DataMatrix", 1, "Element is locked. ThreadId=%u", Tid());
    return false;
  }
  if (!m_InMemory) {
    if (m_OnDisk) return true;
    RefreshFromItem();
  }
  if (!m_OnDisk || m_Modified) {
    void* values = nullptr;
    uint32_t bytes = 0;
    if (!PrepareValues(&values, &bytes)) return false;
    if (bytes == 0) return true;
    if (m_Block != 0) {
      if (!m_FileCache->RewriteBlock(m_Block, values, bytes)) return false;
    } else {
      uint32_t block = m_FileCache->WriteBlock(values, bytes);
      if (block == 0) return false;
      m_Block = block;
    }
    m_OnDisk = true;
  }
  return FinishSave();
}

CDataBase::SaveStart CSingleData::BeginSave(SaveWork* work) {
  if (m_SaveInFlight) return SaveStart::Failed;
  if (!m_Item) return SaveStart::Saved;
  if (IsLocked()) {
    VQ_TRACE("CSingleData::SaveToDisk", "DataMatrix", 1, "Element is locked. ThreadId=%u", Tid());
    return SaveStart::Failed;
  }
  if (!m_InMemory) {
    if (m_OnDisk) return SaveStart::Saved;
    RefreshFromItem();
  }
  if (m_OnDisk && !m_Modified) return FinishSave() ? SaveStart::Saved : SaveStart::Failed;
  void* values = nullptr;
  uint32_t bytes = 0;
  if (!PrepareValues(&values, &bytes)) return SaveStart::Failed;
  if (bytes == 0) return SaveStart::Saved;
  {
    vq::MutexLock lock(m_ItemLock);
    m_SavingItem = m_Item;
  }
  m_SaveInFlight = true;
  work->values = values;
  work->bytes = bytes;
  work->version = m_Version;
  return SaveStart::Write;
}

bool CSingleData::EndSave(SaveWork* work) {
  {
    // An item replaced meanwhile goes when the caller lets go of the work.
    vq::MutexLock lock(m_ItemLock);
    work->item = std::move(m_SavingItem);
  }
  m_SaveInFlight = false;
  if (!CommitSavedBlock(*work)) return false;
  // The work's reference keeps Clear from emptying the item here: its memory
  // goes with that reference, after m_DataLock (no client holds the item).
  return FinishSave();
}

bool CSingleData::HoldsValuesImpl() {
  // An item handed out before it had a shape may have been given one by the
  // client since: the item tells, and the object takes the shape over. The
  // modified mark stays, so that what the client wrote is recorded.
  if (m_ByteSize == 0 && !m_OnDisk && m_Item) {
    const bool modified = m_Modified;
    RefreshFromItem();
    m_Modified = modified;
  }
  return m_ByteSize != 0;
}

HRESULT CSingleData::GetAllDataImpl(uint32_t, bool withAttributes, bool forWriting, IUnknown** out) {
  *out = nullptr;
  if (SaveInFlight()) {  // only a save in flight shares the item: every access comes here
    const HRESULT unshared = UnshareItem();
    if (FAILED(unshared)) return unshared;
  }
  HoldsValuesImpl();
  // A caller that may write edits the element's attributes too: it gets them.
  withAttributes = withAttributes || forWriting;
  if (m_InMemory && m_Item && IsWhole()) {
    if (withAttributes) {
      const HRESULT hr = EnsureAttributesShown("CSingleData::GetAllData");
      if (FAILED(hr)) return hr;
    }
    *out = m_Item.get();
    if (forWriting) m_Modified = true;
    return S_OK;
  }
  if (m_OnDisk) {
    if (!GetAllFromDisk(withAttributes)) {
      VQ_TRACE("CSingleData::GetAllData", "DataMatrix", 1,
               "GetAllFromDisk failed. Can't retrieve full element. ThreadId=%u", Tid());
      DropPartialItem();
      return E_FAIL;
    }
    *out = m_Item.get();
    m_InMemory = true;
    if (forWriting) m_Modified = true;
    return S_OK;
  }
  *out = m_Item.get();
  if (forWriting) m_Modified = true;
  return S_OK;
}

bool CSingleData::GetAllFromDiskImpl(bool withAttributes) {
  if (!m_OnDisk) {
    VQ_TRACE("CSingleData::GetAllFromDisk", "DataMatrix", 1, "Data is not stored on disk. ThreadId=%u", Tid());
    return false;
  }
  DetachIfHeld();
  if (!Allocate(1, static_cast<LONG>(m_XSize), static_cast<LONG>(m_ZSize), m_Format)) {
    VQ_TRACE("CSingleData::GetAllFromDisk", "DataMatrix", 1, "Failed to allocate data buffer. ThreadId=%u", Tid());
    return false;
  }
  void* values = nullptr;
  uint32_t bytes = 0;
  if (!BufferOf(m_Item.get(), &values, &bytes)) return false;
  if (bytes != m_ByteSize || (bytes != 0 && m_FileCache->ReadBlock(m_Block, values, 0, bytes) != bytes)) {
    VQ_TRACE("CSingleData::GetAllFromDisk", "DataMatrix", 1, "Failed to read data from disk. ThreadId=%u", Tid());
    return false;
  }
  if (m_AxisId != 0) {
    HRESULT hr = S_OK;
    try {
      vq::ComPtr<IVQAxis> axis;
      hr = m_Item->GetAxis(axis.put());
      if (SUCCEEDED(hr)) hr = m_AxisManager->GetAxis(m_AxisId, axis.get());
    } catch (const _com_error& e) {
      hr = e.Error();
    }
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::GetAllFromDisk", "DataMatrix", 1, "Failed to get axis. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return false;
    }
  }
  m_XFrom = m_ZFrom = 0;
  m_XTo = m_XSize - 1;
  m_ZTo = m_ZSize - 1;
  m_ItemShowsAttributes = false;
  if (withAttributes) {
    HRESULT hr = ShowAttributes();
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::GetAllFromDisk", "DataMatrix", 1, "Failed to set attributes. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return false;
    }
  }
  m_Modified = false;
  return true;
}

HRESULT CSingleData::GetDataSubsetImpl(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                                       IUnknown** out) {
  *out = nullptr;
  const HRESULT unshared = UnshareItem();
  if (FAILED(unshared)) return unshared;
  if (!m_InMemory && !m_OnDisk) RefreshFromItem();
  HoldsValuesImpl();
  if (m_XSize == 0 || m_ZSize == 0) {
    VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Requested subset(%u,%u) does not exist. ThreadId=%u",
             firstIndex, lastIndex, Tid());
    return S_OK;
  }
  if (m_AxisId != 0) {
    LONG kind = -1;
    HRESULT hr = m_AxisManager->GetAxis(m_AxisId, &kind, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Failed to get axis. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return hr;
    }
    if (kind != axisKindLinear) {
      // Only a linear axis can be cut: the whole element stands in.
      hr = GetAllData(sub, withAttributes, false, out);
      return FAILED(hr) ? hr : S_FALSE;
    }
  }
  const uint64_t valueCount = static_cast<uint64_t>(m_XSize) * m_ZSize;
  const uint32_t zFrom = firstIndex / m_XSize, xFrom = firstIndex % m_XSize;
  const uint32_t zTo = lastIndex / m_XSize, xTo = lastIndex % m_XSize;
  // A range that runs backwards or past the element would size a buffer from
  // wrapped arithmetic.
  if (firstIndex > lastIndex || lastIndex >= valueCount || (zFrom != zTo && (xFrom != 0 || xTo != m_XSize - 1))) {
    VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Invalid index(%u,%u). ThreadId=%u", firstIndex,
             lastIndex, Tid());
    return E_INVALIDARG;
  }
  if (m_InMemory && m_Item) {
    const bool covered = m_XFrom <= xFrom && m_XTo >= xTo && m_ZFrom <= zFrom && m_ZTo >= zTo;
    if (covered && withAttributes) {
      const HRESULT hr = EnsureAttributesShown("CSingleData::GetDataSubset");
      if (FAILED(hr)) return hr;
    }
    if (m_XFrom == xFrom && m_XTo == xTo && m_ZFrom == zFrom && m_ZTo == zTo) {
      *out = m_Item.get();
      return S_OK;
    }
    if (covered) {
      *out = m_Item.get();
      return S_FALSE;
    }
    if (IsLocked()) {
      VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1,
               "Element is locked. Can't retrieve subset. ThreadId=%u", Tid());
      return E_PENDING;
    }
    if (!SaveToDisk()) {
      VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Failed to save element to disk. ThreadId=%u", Tid());
      return E_FAIL;
    }
    if (!GetSubsetFromDisk(withAttributes, xFrom, xTo, zFrom, zTo)) {
      VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Failed to get subset from disk. ThreadId=%u", Tid());
      DropPartialItem();
      return E_FAIL;
    }
    *out = m_Item.get();
    return S_OK;
  }
  if (!GetSubsetFromDisk(withAttributes, xFrom, xTo, zFrom, zTo)) {
    VQ_TRACE("CSingleData::GetDataSubset", "DataMatrix", 1, "Failed to get subset from disk. ThreadId=%u", Tid());
    DropPartialItem();
    return E_FAIL;
  }
  *out = m_Item.get();
  return S_OK;
}

HRESULT CSingleData::ReadValuesImpl(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first,
                                uint32_t last, const void** values) {
  (void)subs;
  for (uint32_t k = 0; k < count; ++k) values[k] = nullptr;
  if (count == 0 || !m_InMemory || !m_Item || m_ByteSize == 0 || m_Format != format || !IsWhole() ||
      record >= m_ZSize || first > last || last >= m_XSize) {
    return S_OK;
  }
  // The item's own description decides: a client holding it for writing may
  // have reshaped it since the object last looked.
  VQDataBuffer buffer{};
  if (FAILED(m_Item->GetDataBuffer(&buffer)) || buffer.Format != format ||
      static_cast<uint32_t>(buffer.XSize) != m_XSize || static_cast<uint32_t>(buffer.ZSize) != m_ZSize) {
    return S_OK;
  }
  const uint8_t* base = nullptr;
  if (format == dataFormatFloat64) {
    base = reinterpret_cast<const uint8_t*>(buffer.pDouble);
  } else if (format == dataFormatFloat32) {
    base = reinterpret_cast<const uint8_t*>(buffer.pFloat);
  }
  if (base == nullptr) return S_OK;
  const uint64_t position = static_cast<uint64_t>(record) * m_XSize + first;
  // One element per object: every sub names it.
  for (uint32_t k = 0; k < count; ++k) values[k] = base + position * BytesPerValue(format);
  return S_OK;
}

bool CSingleData::GetSubsetFromDisk(bool withAttributes, uint32_t xFrom, uint32_t xTo, uint32_t zFrom,
                                    uint32_t zTo) {
  if (!m_OnDisk) {
    VQ_TRACE("CSingleData::GetSubsetFromDisk", "DataMatrix", 1, "Data is not stored on disk. ThreadId=%u", Tid());
    return false;
  }
  const uint32_t n = xTo - xFrom + 1;
  const uint32_t m = zTo - zFrom + 1;
  DetachIfHeld();
  if (!Allocate(0, static_cast<LONG>(n), static_cast<LONG>(m), m_Format)) {
    VQ_TRACE("CSingleData::GetSubsetFromDisk", "DataMatrix", 1, "Failed to allocate data buffer. ThreadId=%u",
             Tid());
    return false;
  }
  void* values = nullptr;
  uint32_t bytes = 0;
  if (!BufferOf(m_Item.get(), &values, &bytes)) return false;
  const uint32_t bpv = BytesPerValue(m_Format);
  const uint32_t recordBytes = n * bpv;
  for (uint32_t z = zFrom; z <= zTo; ++z) {
    const uint64_t offset = (static_cast<uint64_t>(z) * m_XSize + xFrom) * bpv;
    uint8_t* dest = static_cast<uint8_t*>(values) + static_cast<size_t>(z - zFrom) * recordBytes;
    if (m_FileCache->ReadBlock(m_Block, dest, static_cast<uint32_t>(offset), recordBytes) != recordBytes) {
      VQ_TRACE("CSingleData::GetSubsetFromDisk", "DataMatrix", 1, "Failed to read data from disk. ThreadId=%u",
               Tid());
      return false;
    }
  }
  if (m_AxisId != 0) {
    double first = 0.0, delta = 0.0;
    std::wstring unit;
    HRESULT hr = m_AxisManager->GetAxis(m_AxisId, nullptr, nullptr, &first, &delta, &unit, nullptr, nullptr);
    vq::ComPtr<IVQAxis> axis;
    if (SUCCEEDED(hr)) hr = m_Item->GetAxis(axis.put());
    if (SUCCEEDED(hr)) {
      _bstr_t unitText(unit.c_str());
      hr = axis->InitializeAsLinear(static_cast<LONG>(n), static_cast<double>(xFrom) * delta + first, delta,
                                    unitText.GetBSTR());
    }
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::GetSubsetFromDisk", "DataMatrix", 1, "Failed to get axis. hr=0x%08x ThreadId=%u",
               static_cast<unsigned>(hr), Tid());
      return false;
    }
  }
  m_XFrom = xFrom;
  m_ZFrom = zFrom;
  m_XTo = xTo;
  m_ZTo = zTo;
  m_ItemShowsAttributes = false;
  if (withAttributes) {
    HRESULT hr = ShowAttributes();
    if (FAILED(hr)) {
      VQ_TRACE("CSingleData::GetSubsetFromDisk", "DataMatrix", 1,
               "Failed to set attributes. hr=0x%08x ThreadId=%u", static_cast<unsigned>(hr), Tid());
      return false;
    }
  }
  m_Modified = false;
  m_InMemory = true;
  return true;
}

void CSingleData::DropPartialItem() {
  // A reload that failed half way leaves an item without the element's
  // values: it must never be handed out or saved over the good block.
  ResetItem(nullptr, true);
  m_InMemory = false;
}

void CSingleData::ClearImpl() {
  if (!m_Item) return;
  ULONG count = ItemRefCount();
  if (count > 1) VQ_TRACE("CSingleData::Clear", "DataMatrix", 3, "refCount=%u", count);
  // A client's item keeps its values; an item nobody else holds (or only a
  // save in flight, which lets go of it in turn) loses them with its last
  // reference, on the releaser.
  vq::ComPtr<IVQData> item;
  {
    vq::MutexLock lock(m_ItemLock);
    item = std::move(m_Item);
  }
  LetGo(item.detach(), m_ByteSize);
  m_InMemory = false;
}

HRESULT CSingleData::CurrentAttributeId(uint32_t, CAttributeManager::Ref* id) {
  if (m_Item && m_ItemShowsAttributes && (m_AttributeId == 0 || m_Modified)) {
    HRESULT hr = m_AttributeManager->AddAttributes(m_Item.get(), &m_AttributeId);
    if (FAILED(hr)) return hr;
  }
  *id = m_AttributeId;
  return S_OK;
}
