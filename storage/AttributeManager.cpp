#include "storage/AttributeManager.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "trace/VQTrace.h"

namespace {

// Same type and same value; reals bit for bit.
bool VariantsEqual(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_BSTR: {
      UINT la = SysStringLen(a.bstrVal);
      return la == SysStringLen(b.bstrVal) && (la == 0 || std::wmemcmp(a.bstrVal, b.bstrVal, la) == 0);
    }
    case VT_R8:
    case VT_DATE:
      return std::memcmp(&a.dblVal, &b.dblVal, sizeof(double)) == 0;
    case VT_R4:
      return std::memcmp(&a.fltVal, &b.fltVal, sizeof(float)) == 0;
    case VT_I1:
    case VT_UI1:
      return a.bVal == b.bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return a.iVal == b.iVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return a.lVal == b.lVal;
    case VT_I8:
    case VT_UI8:
      return a.llVal == b.llVal;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return a.punkVal == b.punkVal;
    default:
      return false;
  }
}

// Mixes into `h` exactly what VariantsEqual compares, so that equal values
// hash alike.
size_t VariantHash(size_t h, const VARIANT& v) {
  h = vq::HashMix(h, v.vt);
  switch (v.vt) {
    case VT_BSTR:
      return vq::HashMix(h, std::hash<std::wstring_view>()(std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal))));
    case VT_R8:
    case VT_DATE: {
      uint64_t bits = 0;
      std::memcpy(&bits, &v.dblVal, sizeof bits);
      return vq::HashMix(h, bits);
    }
    case VT_R4: {
      uint32_t bits = 0;
      std::memcpy(&bits, &v.fltVal, sizeof bits);
      return vq::HashMix(h, bits);
    }
    case VT_I1:
    case VT_UI1:
      return vq::HashMix(h, v.bVal);
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return vq::HashMix(h, static_cast<uint16_t>(v.iVal));
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return vq::HashMix(h, static_cast<uint32_t>(v.lVal));
    case VT_I8:
    case VT_UI8:
      return vq::HashMix(h, static_cast<uint64_t>(v.llVal));
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return vq::HashMix(h, reinterpret_cast<uintptr_t>(v.punkVal));
    default:
      return h;  // VT_EMPTY and VT_NULL; other types equal nothing
  }
}

size_t ListHash(size_t h, const CAttributeSet::List& list) {
  const std::hash<std::wstring> text;
  h = vq::HashMix(h, list.size());
  for (const auto& r : list) {
    h = vq::HashMix(vq::HashMix(vq::HashMix(h, text(r.Group)), text(r.Name)), text(r.SecondName));
    h = VariantHash(vq::HashMix(h, r.GroupOnly ? 1 : 0), static_cast<const VARIANT&>(r.Value));
  }
  return h;
}

bool RecordsEqual(const CAttributeSet::Record& a, const CAttributeSet::Record& b) {
  return a.Group == b.Group && a.Name == b.Name && a.SecondName == b.SecondName && a.GroupOnly == b.GroupOnly &&
         VariantsEqual(static_cast<const VARIANT&>(a.Value), static_cast<const VARIANT&>(b.Value));
}

bool ListsEqual(const CAttributeSet::List& a, const CAttributeSet::List& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!RecordsEqual(a[i], b[i])) return false;
  return true;
}

VARIANT IndexVariant(LONG index) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = index;
  return v;
}

std::wstring ToWide(const _bstr_t& text) {
  return text.length() > 0 ? std::wstring(static_cast<const wchar_t*>(text), text.length()) : std::wstring();
}

// Reads every group of `groups` into `out`. With `tolerant` set, a failure
// stops the reading without an error (the records read so far are kept).
HRESULT ReadGroups(IVQAttributeGroups* groups, CAttributeSet::List* out, bool tolerant) {
  auto fail = [tolerant](HRESULT hr) { return tolerant ? S_OK : hr; };
  LONG groupCount = 0;
  HRESULT hr = groups->GetCount(&groupCount);
  if (FAILED(hr)) return fail(hr);
  for (LONG g = 1; g <= groupCount; ++g) {
    vq::ComPtr<IVQAttributeGroup> group;
    _bstr_t groupName;
    _bstr_t secondName;
    LONG attributeCount = 0;
    if (FAILED(hr = groups->GetItem(IndexVariant(g), group.put())) || !group ||
        FAILED(hr = group->GetName(groupName.GetAddress())) ||
        FAILED(hr = group->GetCount(&attributeCount)) ||
        FAILED(hr = group->GetSecondName(secondName.GetAddress()))) {
      return fail(FAILED(hr) ? hr : E_POINTER);
    }
    if (attributeCount == 0) {
      try {
        out->push_back(CAttributeSet::Record{ToWide(groupName), L"", ToWide(secondName), _variant_t(), true});
      } catch (...) {
        if (!tolerant) return E_OUTOFMEMORY;
      }
    }
    for (LONG a = 1; a <= attributeCount; ++a) {
      vq::ComPtr<IVQAttribute> attribute;
      _bstr_t name;
      _variant_t value;
      if (FAILED(hr = group->GetItem(IndexVariant(a), attribute.put())) || !attribute ||
          FAILED(hr = attribute->GetName(name.GetAddress())) ||
          FAILED(hr = attribute->GetValue(value.GetAddress()))) {
        return fail(FAILED(hr) ? hr : E_POINTER);
      }
      try {
        out->push_back(CAttributeSet::Record{ToWide(groupName), ToWide(name), ToWide(secondName), value});
      } catch (...) {
        if (!tolerant) return E_OUTOFMEMORY;
        // In a record's list a record that cannot be kept is skipped.
      }
    }
  }
  return S_OK;
}

}  // namespace

HRESULT CAttributeSet::Capture(IVQData* item) {
  vq::ComPtr<IVQAttributeGroups> groups;
  if (item->GetAttributes(groups.put()) == S_OK && groups) {
    HRESULT hr = ReadGroups(groups.get(), &m_NonIndexed, false);
    if (FAILED(hr)) return hr;
  }

  vq::ComPtr<IVQIndexedAttributes> indexed;
  if (item->GetIndexedAttributes(1, indexed.put()) != S_OK || !indexed) return S_OK;
  LONG count = 0;
  HRESULT hr = indexed->GetCount(&count);
  if (FAILED(hr)) return hr;
  if (count <= 0) return S_OK;
  for (LONG z = 1;; ++z) {
    LONG records = 0;
    hr = item->GetSize(1, &records);
    if (FAILED(hr)) return hr;
    if (z > records) break;
    vq::ComPtr<IVQAttributeGroups> recordGroups;
    if (FAILED(indexed->GetItem(IndexVariant(z), recordGroups.put())) || !recordGroups) continue;
    List list;
    ReadGroups(recordGroups.get(), &list, true);
    if (!list.empty()) {
      try {
        m_Indexed.emplace(z, std::move(list));
      } catch (...) {
        // The record's attributes are lost, the others are kept.
      }
    }
  }
  return S_OK;
}

bool CAttributeSet::Equals(const CAttributeSet& other) const {
  if (!ListsEqual(m_NonIndexed, other.m_NonIndexed) || m_Indexed.size() != other.m_Indexed.size()) return false;
  for (auto a = m_Indexed.begin(), b = other.m_Indexed.begin(); a != m_Indexed.end(); ++a, ++b) {
    if (a->first != b->first || !ListsEqual(a->second, b->second)) return false;
  }
  return true;
}

size_t CAttributeSet::Hash() const {
  size_t h = ListHash(0, m_NonIndexed);
  for (const auto& [z, list] : m_Indexed) h = ListHash(vq::HashMix(h, static_cast<uint32_t>(z)), list);
  return h;
}

const CAttributeSet::List* CAttributeSet::Get(LONG z) const {
  auto it = m_Indexed.find(z);
  if (it == m_Indexed.end()) {
    VQ_TRACE("CAttributeSet::Get", "DataMatrix", 1, "Invalid z-value %d", z);
    return nullptr;
  }
  return &it->second;
}

HRESULT CAttributeManager::AddAttributes(IUnknown* item, Ref* id) {
  if (item == nullptr || id == nullptr) {
    VQ_TRACE("CAttributeManager::AddAttributes", "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  std::shared_ptr<CAttributeSet> set;
  try {
    set = std::make_shared<CAttributeSet>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  vq::ComPtr<IVQData> data;
  HRESULT hr = item->QueryInterface(IID_IVQData, data.put_void());
  if (SUCCEEDED(hr)) hr = set->Capture(data.get());
  if (FAILED(hr)) {
    VQ_TRACE("CAttributeManager::AddAttributes", "DataMatrix", 1, "Failed to set attributes. HR=0x%08x",
             static_cast<unsigned>(hr));
    return hr;
  }
  if (set->IsEmpty()) {
    *id = Ref();
    return S_OK;
  }
  const size_t hash = set->Hash();
  SetPtr dropped;  // destroyed after the lock is left
  uint32_t found = 0;
  {
    vq::CritSecLock lock(m_Lock);
    found = m_Sets.Find(hash, [&set](const SetPtr& stored) { return stored->Equals(*set); });
    if (found == 0) {
      found = m_Sets.Insert(hash, std::move(set), &dropped);
      if (found == 0) return E_OUTOFMEMORY;
    }
    m_Sets.Retain(found);
  }
  // Assigned outside the lock: the reference *id held before may be the
  // last of its set.
  *id = Ref(this, found);
  return S_OK;
}

void CAttributeManager::Retain(uint32_t id) {
  vq::CritSecLock lock(m_Lock);
  m_Sets.Retain(id);
}

void CAttributeManager::Release(uint32_t id) {
  SetPtr dropped;
  vq::CritSecLock lock(m_Lock);
  m_Sets.Release(id, &dropped);
}

CAttributeManager::SetPtr CAttributeManager::Find(uint32_t id, const char* origin) const {
  vq::CritSecLock lock(m_Lock);
  const SetPtr* stored = m_Sets.Get(id);
  if (stored == nullptr) {
    VQ_TRACE(origin, "DataMatrix", 1, "Index %u out of range", id);
    return nullptr;
  }
  return *stored;
}

namespace {

// The item's IVQData, or null when it has none; other failures are raised.
vq::ComPtr<IVQData> DataOf(IUnknown* item) {
  vq::ComPtr<IVQData> data;
  HRESULT hr = item->QueryInterface(IID_IVQData, data.put_void());
  if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  return data;
}

}  // namespace

namespace {

// Adds a group without attributes to `data`: non-indexed when `record` is 0,
// else to that record.
HRESULT AddEmptyGroup(IVQData* data, LONG record, BSTR group, BSTR second) {
  vq::ComPtr<IVQAttributeGroups> groups;
  HRESULT hr = S_OK;
  if (record == 0) {
    hr = data->GetAttributes(groups.put());
  } else {
    vq::ComPtr<IVQIndexedAttributes> indexed;
    hr = data->GetIndexedAttributes(1, indexed.put());
    if (SUCCEEDED(hr)) hr = indexed ? indexed->GetItem(_variant_t(record), groups.put()) : E_POINTER;
  }
  if (SUCCEEDED(hr) && !groups) hr = E_POINTER;
  vq::ComPtr<IVQAttributeGroup> added;
  return SUCCEEDED(hr) ? groups->Add(group, second, added.put()) : hr;
}

// Adds the records of `list` to `data`: as non-indexed attributes when
// `record` is 0, else as indexed attributes of that record. With
// `skipRefused` a record the item refuses is passed over (the result is
// S_OK); without, the first refusal ends the call with its HRESULT.
HRESULT AddRecords(IVQData* data, const CAttributeSet::List& list, LONG record, bool skipRefused) {
  for (const auto& r : list) {
    _bstr_t group(r.Group.c_str()), name(r.Name.c_str()), second(r.SecondName.c_str());
    const VARIANT& value = r.Value;
    const HRESULT hr =
        r.GroupOnly ? AddEmptyGroup(data, record, group.GetBSTR(), second.GetBSTR())
        : record == 0
            ? data->AddAttribute(group.GetBSTR(), name.GetBSTR(), second.GetBSTR(), value)
            : data->AddIndexedAttribute(1, record, group.GetBSTR(), name.GetBSTR(), second.GetBSTR(), value);
    if (FAILED(hr) && !skipRefused) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT CAttributeManager::WriteSource(uint32_t id, IUnknown* item, const char* origin, SetPtr* set) const {
  if (id == 0) return S_FALSE;
  *set = Find(id, origin);
  if (*set == nullptr) return E_INVALIDARG;
  if (item == nullptr) {
    VQ_TRACE(origin, "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  return S_OK;
}

HRESULT CAttributeManager::WriteNonIndexed(uint32_t id, IUnknown* item, const char* origin) {
  SetPtr set;
  if (HRESULT hr = WriteSource(id, item, origin, &set); hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
  vq::ComPtr<IVQData> data = DataOf(item);
  return data ? AddRecords(data.get(), set->NonIndexed(), 0, true) : S_OK;
}

HRESULT CAttributeManager::WriteIndexed(uint32_t id, IUnknown* item, LONG z, LONG targetRecord, const char* origin) {
  SetPtr set;
  if (HRESULT hr = WriteSource(id, item, origin, &set); hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
  const CAttributeSet::List* list = set->Get(z);
  if (list == nullptr) return E_INVALIDARG;
  vq::ComPtr<IVQData> data = DataOf(item);
  return data ? AddRecords(data.get(), *list, targetRecord, true) : S_OK;
}

HRESULT CAttributeManager::GetAttributes(uint32_t id, IUnknown* item) {
  return WriteNonIndexed(id, item, "CAttributeManager::GetAttributes");
}

HRESULT CAttributeManager::RestoreSet(uint32_t id, IUnknown* item, LONG firstRecord, LONG recordCount) {
  const char* origin = "CAttributeManager::RestoreSet";
  vq::ComPtr<IVQData> data;
  if (item == nullptr || FAILED(item->QueryInterface(IID_IVQData, data.put_void())) || !data) {
    VQ_TRACE(origin, "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  SetPtr set;
  if (id != 0 && (set = Find(id, origin)) == nullptr) return E_INVALIDARG;
  HRESULT hr = data->ClearAttributes();
  if (SUCCEEDED(hr)) hr = data->ClearIndexedAttributes();
  if (FAILED(hr) || set == nullptr) return hr;
  hr = AddRecords(data.get(), set->NonIndexed(), 0, false);
  const auto& indexed = set->Indexed();
  for (auto it = indexed.upper_bound(firstRecord);
       SUCCEEDED(hr) && it != indexed.end() && it->first - firstRecord <= recordCount; ++it) {
    hr = AddRecords(data.get(), it->second, it->first - firstRecord, false);
  }
  return hr;
}

HRESULT CAttributeManager::GetLastAttributes(IUnknown* item) {
  SetPtr set;
  {
    // Taken with the id under one lock: a newer set stored meanwhile may
    // drop the one that was last.
    vq::CritSecLock lock(m_Lock);
    if (const SetPtr* last = m_Sets.Get(m_Sets.Last())) set = *last;
  }
  if (set == nullptr) return S_OK;
  if (item == nullptr) {
    VQ_TRACE("CAttributeManager::GetLastAttributes", "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  vq::ComPtr<IVQData> data = DataOf(item);
  return data ? AddRecords(data.get(), set->NonIndexed(), 0, true) : S_OK;
}

namespace {
// Releases the reference a copy operation took over, on every path.
struct TakenOver {
  explicit TakenOver(IUnknown* p) : item(p) {}
  ~TakenOver() {
    if (item != nullptr) item->Release();
  }
  IUnknown* item;
};
}  // namespace

HRESULT CAttributeManager::CopyAllAttributesToNonIndexed(uint32_t id, IUnknown* item) {
  TakenOver owner(item);
  return WriteNonIndexed(id, item, "CAttributeManager::CopyAllAttributesToNonIndexed");
}

bool CAttributeManager::LacksRecord(uint32_t id, LONG z) const {
  vq::CritSecLock lock(m_Lock);
  const SetPtr* stored = m_Sets.Get(id);
  return stored != nullptr && (*stored)->Indexed().count(z) == 0;
}

HRESULT CAttributeManager::CopyAllIndexedAttributesToIndex1(uint32_t id, IUnknown* item, LONG z) {
  TakenOver owner(item);
  return WriteIndexed(id, item, z, 1, "CAttributeManager::CopyAllIndexedAttributesToIndex1");
}

HRESULT CAttributeManager::CopyAllAttributes(uint32_t id, IUnknown* item, LONG z) {
  TakenOver owner(item);
  return WriteIndexed(id, item, z, z, "CAttributeManager::CopyAllAttributes");
}

uint32_t CAttributeManager::Count() const {
  vq::CritSecLock lock(m_Lock);
  return m_Sets.Count();
}

uint64_t CAttributeManager::Comparisons() const {
  vq::CritSecLock lock(m_Lock);
  return m_Sets.Comparisons();
}
