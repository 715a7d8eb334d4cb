// VQAttributeImpl.cpp - the attribute store and its four views.
#include "vqdata/VQAttributeImpl.h"

#include <climits>

namespace vqdata {

// ---------------------------------------------------------------------------
// Store.
// ---------------------------------------------------------------------------

GroupList* AttributeStore::List(LONG record, bool create) {
  if (record == 0) return &plain;
  auto it = indexed.find(record);
  if (it != indexed.end()) return &it->second;
  if (!create) return nullptr;
  return &indexed[record];
}

void AttributeStore::Prune(LONG record) noexcept {
  if (record == 0) return;
  auto it = indexed.find(record);
  if (it != indexed.end() && it->second.empty()) indexed.erase(it);
}

namespace {

HRESULT CopyList(const GroupList& from, GroupList* to) {
  to->clear();
  to->reserve(from.size());
  for (const auto& g : from) {
    auto copy = std::make_shared<GroupNode>();
    copy->name = g->name;
    copy->secondName = g->secondName;
    copy->attributes.reserve(g->attributes.size());
    for (const auto& a : g->attributes) {
      auto ac = std::make_shared<AttributeNode>();
      ac->name = a->name;
      HRESULT hr = ac->value.CopyFrom(a->value.get());
      if (FAILED(hr)) return hr;
      copy->attributes.push_back(std::move(ac));
    }
    to->push_back(std::move(copy));
  }
  return S_OK;
}

}  // namespace

HRESULT AttributeStore::CopyTo(AttributeStore* out) const noexcept {
  try {
    AttributeStore result;
    HRESULT hr = CopyList(plain, &result.plain);
    for (auto it = indexed.begin(); SUCCEEDED(hr) && it != indexed.end(); ++it)
      hr = CopyList(it->second, &result.indexed[it->first]);
    if (FAILED(hr)) return hr;
    *out = std::move(result);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

std::shared_ptr<GroupNode> FindOrAddGroup(GroupList& list, const std::wstring& name, const std::wstring& secondName) {
  for (const auto& g : list)
    if (g->name == name && g->secondName == secondName) return g;
  if (list.size() >= kMaxGroups) return nullptr;
  auto g = std::make_shared<GroupNode>();
  g->name = name;
  g->secondName = secondName;
  list.push_back(g);
  return g;
}

HRESULT SetAttribute(GroupNode& group, const std::wstring& name, OwnedVariant& value) {
  for (const auto& a : group.attributes) {
    if (a->name == name) {
      a->value.Swap(value);
      return S_OK;
    }
  }
  if (group.attributes.size() >= kMaxAttributesPerGroup) return E_OUTOFMEMORY;
  auto a = std::make_shared<AttributeNode>();
  a->name = name;
  a->value.Swap(value);
  group.attributes.push_back(std::move(a));
  return S_OK;
}

HRESULT PrepareValue(const VARIANT& value, OwnedVariant* out, REFIID iid, const char* what) noexcept {
  VARTYPE vt = value.vt;
  if ((vt & VT_BYREF) != 0 && value.byref == nullptr) return Fail(iid, E_POINTER, "%s: null VT_BYREF value", what);
  if (!IsStorableVarType(static_cast<VARTYPE>(vt & ~VT_BYREF)) || vt == (VT_BYREF | VT_EMPTY) ||
      vt == (VT_BYREF | VT_NULL))
    return Fail(iid, DISP_E_BADVARTYPE, "%s: values of type %u cannot be stored", what, static_cast<unsigned>(vt));
  HRESULT hr = out->CopyFrom(value);
  if (FAILED(hr)) return Fail(iid, hr, "%s: the value cannot be copied (0x%08X)", what, static_cast<unsigned>(hr));
  if (out->get().vt == VT_BSTR && SysStringLen(out->get().bstrVal) > kMaxTextChars)
    return Fail(iid, E_INVALIDARG, "%s: the text value is longer than %zu characters", what, kMaxTextChars);
  return S_OK;
}

namespace {

HRESULT CheckText(const std::wstring& text, REFIID iid, const char* what) noexcept {
  if (text.size() > kMaxTextChars)
    return Fail(iid, E_INVALIDARG, "%s: a name is longer than %zu characters", what, kMaxTextChars);
  return S_OK;
}

// Resolves a 1-based position or a name among `count` entries named by
// nameOf(i); returns the 0-based index or fails with error information.
template <class NameOf>
HRESULT Resolve(const CollectionIndex& index, size_t count, NameOf nameOf, size_t* out, REFIID iid,
                const char* what) {
  if (index.byName) {
    for (size_t i = 0; i < count; ++i) {
      if (nameOf(i) == index.name) {
        *out = i;
        return S_OK;
      }
    }
    return Fail(iid, E_INVALIDARG, "%s: no entry of that name", what);
  }
  if (index.position < 1 || static_cast<size_t>(index.position) > count)
    return Fail(iid, E_INVALIDARG, "%s: index %d is outside 1..%zu", what, index.position, count);
  *out = static_cast<size_t>(index.position - 1);
  return S_OK;
}

// ---------------------------------------------------------------------------
// IVQAttribute view.
// ---------------------------------------------------------------------------
class CAttributeView final : public vq::ComObject<CAttributeView, IVQAttribute, vq::SupportErrorInfoFor<IVQAttribute>>,
                             private ModuleObject {
 public:
  CAttributeView(AttributeHost* host, std::shared_ptr<AttributeNode> node)
      : m_Keep(host->HostUnknown()), m_Host(host), m_Node(std::move(node)) {}

  STDMETHODIMP SetValue(VARIANT Value) override {
    OwnedVariant v;
    HRESULT hr = PrepareValue(Value, &v, IID_IVQAttribute, "SetValue");
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Host->m_Lock);
    m_Node->value.Swap(v);
    return S_OK;
  }
  STDMETHODIMP GetValueType(VARTYPE* pType) override {
    if (pType == nullptr) return Fail(IID_IVQAttribute, E_POINTER, "GetValueType: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    *pType = m_Node->value.get().vt;
    return S_OK;
  }
  STDMETHODIMP GetValueAsString(BSTR* pText) override {
    if (pText == nullptr) return Fail(IID_IVQAttribute, E_POINTER, "GetValueAsString: null pointer");
    *pText = nullptr;
    VARIANT out;
    VariantInit(&out);
    HRESULT hr;
    {
      vq::MutexLock lock(m_Host->m_Lock);
      hr = VariantChangeType(&out, &m_Node->value.get(), VARIANT_ALPHABOOL, VT_BSTR);
    }
    if (FAILED(hr)) {
      VariantClear(&out);
      return Fail(IID_IVQAttribute, hr, "GetValueAsString: the value has no text form");
    }
    *pText = out.bstrVal;  // ownership moves to the caller
    return S_OK;
  }
  STDMETHODIMP GetValueAsDouble(DOUBLE* pValue) override {
    if (pValue == nullptr) return Fail(IID_IVQAttribute, E_POINTER, "GetValueAsDouble: null pointer");
    VARIANT out;
    VariantInit(&out);
    HRESULT hr;
    {
      vq::MutexLock lock(m_Host->m_Lock);
      hr = VariantChangeType(&out, &m_Node->value.get(), 0, VT_R8);
    }
    if (FAILED(hr)) {
      VariantClear(&out);
      return Fail(IID_IVQAttribute, DISP_E_TYPEMISMATCH, "GetValueAsDouble: the value is not a number");
    }
    *pValue = out.dblVal;
    return S_OK;
  }
  STDMETHODIMP GetValue(VARIANT* pValue) override {
    if (pValue == nullptr) return Fail(IID_IVQAttribute, E_POINTER, "GetValue: null pointer");
    VariantInit(pValue);
    vq::MutexLock lock(m_Host->m_Lock);
    HRESULT hr = VariantCopy(pValue, &m_Node->value.get());
    if (FAILED(hr)) return Fail(IID_IVQAttribute, hr, "GetValue: the value cannot be copied");
    return S_OK;
  }
  STDMETHODIMP SetName(BSTR Name) override {
    try {
      std::wstring name = FromBstr(Name);
      HRESULT hr = CheckText(name, IID_IVQAttribute, "SetName");
      if (FAILED(hr)) return hr;
      vq::MutexLock lock(m_Host->m_Lock);
      m_Node->name.swap(name);
      return S_OK;
    } catch (...) {
      return Fail(IID_IVQAttribute, E_OUTOFMEMORY, "SetName: out of memory");
    }
  }
  STDMETHODIMP GetName(BSTR* pName) override {
    vq::MutexLock lock(m_Host->m_Lock);
    return CopyOut(m_Node->name, pName, IID_IVQAttribute, "GetName");
  }

 private:
  vq::ComPtr<IUnknown> m_Keep;
  AttributeHost* m_Host;
  std::shared_ptr<AttributeNode> m_Node;
};

// ---------------------------------------------------------------------------
// IVQAttributeGroup view.
// ---------------------------------------------------------------------------
class CGroupView final
    : public vq::ComObject<CGroupView, IVQAttributeGroup, vq::SupportErrorInfoFor<IVQAttributeGroup>>,
      private ModuleObject {
 public:
  CGroupView(AttributeHost* host, std::shared_ptr<GroupNode> node)
      : m_Keep(host->HostUnknown()), m_Host(host), m_Node(std::move(node)) {}

  STDMETHODIMP AddAttribute(BSTR Name, VARIANT Value) override {
    try {
      std::wstring name = FromBstr(Name);
      HRESULT hr = CheckText(name, kIid, "AddAttribute");
      if (FAILED(hr)) return hr;
      OwnedVariant v;
      hr = PrepareValue(Value, &v, kIid, "AddAttribute");
      if (FAILED(hr)) return hr;
      vq::MutexLock lock(m_Host->m_Lock);
      hr = SetAttribute(*m_Node, name, v);
      if (FAILED(hr)) return Fail(kIid, hr, "AddAttribute: the group is full");
      return S_OK;
    } catch (...) {
      return Fail(kIid, E_OUTOFMEMORY, "AddAttribute: out of memory");
    }
  }
  STDMETHODIMP RemoveAttribute(VARIANT Index) override {
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "RemoveAttribute");
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Host->m_Lock);
    size_t at = 0;
    hr = Find(index, &at, "RemoveAttribute");
    if (FAILED(hr)) return hr;
    m_Node->attributes.erase(m_Node->attributes.begin() + static_cast<ptrdiff_t>(at));
    return S_OK;
  }
  STDMETHODIMP Clear() override {
    vq::MutexLock lock(m_Host->m_Lock);
    m_Node->attributes.clear();
    return S_OK;
  }
  STDMETHODIMP GetIndexOf(BSTR Name, LONG* pIndex) override {
    if (pIndex == nullptr) return Fail(kIid, E_POINTER, "GetIndexOf: null pointer");
    *pIndex = 0;
    try {
      std::wstring name = FromBstr(Name);
      vq::MutexLock lock(m_Host->m_Lock);
      for (size_t i = 0; i < m_Node->attributes.size(); ++i) {
        if (m_Node->attributes[i]->name == name) {
          *pIndex = static_cast<LONG>(i + 1);
          return S_OK;
        }
      }
      return S_FALSE;
    } catch (...) {
      return Fail(kIid, E_OUTOFMEMORY, "GetIndexOf: out of memory");
    }
  }
  STDMETHODIMP GetValue(VARIANT Index, VARIANT* pValue) override {
    if (pValue == nullptr) return Fail(kIid, E_POINTER, "GetValue: null pointer");
    VariantInit(pValue);
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "GetValue");
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Host->m_Lock);
    size_t at = 0;
    hr = Find(index, &at, "GetValue");
    if (FAILED(hr)) return hr;
    hr = VariantCopy(pValue, &m_Node->attributes[at]->value.get());
    if (FAILED(hr)) return Fail(kIid, hr, "GetValue: the value cannot be copied");
    return S_OK;
  }
  STDMETHODIMP GetItem(VARIANT Index, IVQAttribute** ppAttribute) override {
    if (ppAttribute == nullptr) return Fail(kIid, E_POINTER, "GetItem: null pointer");
    *ppAttribute = nullptr;
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "GetItem");
    if (FAILED(hr)) return hr;
    std::shared_ptr<AttributeNode> node;
    {
      vq::MutexLock lock(m_Host->m_Lock);
      size_t at = 0;
      hr = Find(index, &at, "GetItem");
      if (FAILED(hr)) return hr;
      node = m_Node->attributes[at];
    }
    *ppAttribute = vq::MakeComObject<CAttributeView>(m_Host, std::move(node));
    if (*ppAttribute == nullptr) return Fail(kIid, E_OUTOFMEMORY, "GetItem: out of memory");
    return S_OK;
  }
  STDMETHODIMP GetCount(LONG* pCount) override {
    if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetCount: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    *pCount = static_cast<LONG>(m_Node->attributes.size());
    return S_OK;
  }
  STDMETHODIMP SetValue(VARIANT Index, VARIANT Value) override {
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "SetValue");
    if (FAILED(hr)) return hr;
    OwnedVariant v;
    hr = PrepareValue(Value, &v, kIid, "SetValue");
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Host->m_Lock);
    size_t at = 0;
    hr = Find(index, &at, "SetValue");
    if (FAILED(hr)) return hr;
    m_Node->attributes[at]->value.Swap(v);
    return S_OK;
  }
  STDMETHODIMP GetAttributeName(LONG Index, BSTR* pName) override {
    if (pName == nullptr) return Fail(kIid, E_POINTER, "GetAttributeName: null pointer");
    *pName = nullptr;
    vq::MutexLock lock(m_Host->m_Lock);
    if (Index < 1 || static_cast<size_t>(Index) > m_Node->attributes.size())
      return Fail(kIid, E_INVALIDARG, "GetAttributeName: index %d is outside 1..%zu", Index,
                  m_Node->attributes.size());
    return CopyOut(m_Node->attributes[static_cast<size_t>(Index - 1)]->name, pName, kIid, "GetAttributeName");
  }
  STDMETHODIMP CopyTo(IVQAttributeGroup* Target) override {
    if (Target == nullptr) return Fail(kIid, E_POINTER, "CopyTo: null target");
    if (Target == static_cast<IVQAttributeGroup*>(this)) return S_OK;
    // Snapshot first: the target may belong to this very item.
    std::vector<std::pair<BSTR, VARIANT>> snapshot;
    HRESULT hr = S_OK;
    {
      vq::MutexLock lock(m_Host->m_Lock);
      try {
        snapshot.reserve(m_Node->attributes.size());
      } catch (...) {
        return Fail(kIid, E_OUTOFMEMORY, "CopyTo: out of memory");
      }
      for (const auto& a : m_Node->attributes) {
        VARIANT v;
        VariantInit(&v);
        BSTR name = ToBstr(a->name);
        HRESULT chr = VariantCopy(&v, &a->value.get());
        if (name == nullptr || FAILED(chr)) {
          SysFreeString(name);
          VariantClear(&v);
          hr = E_OUTOFMEMORY;
          break;
        }
        snapshot.emplace_back(name, v);
      }
    }
    for (auto& [name, value] : snapshot) {
      if (SUCCEEDED(hr)) hr = Target->AddAttribute(name, value);
      SysFreeString(name);
      VariantClear(&value);
    }
    if (FAILED(hr))
      return Fail(kIid, hr, "CopyTo: not every attribute could be copied (0x%08X)", static_cast<unsigned>(hr));
    return S_OK;
  }
  STDMETHODIMP SetName(BSTR Name) override { return SetText(Name, &GroupNode::name, "SetName"); }
  STDMETHODIMP GetName(BSTR* pName) override {
    vq::MutexLock lock(m_Host->m_Lock);
    return CopyOut(m_Node->name, pName, kIid, "GetName");
  }
  STDMETHODIMP SetSecondName(BSTR SecondName) override {
    return SetText(SecondName, &GroupNode::secondName, "SetSecondName");
  }
  STDMETHODIMP GetSecondName(BSTR* pSecondName) override {
    vq::MutexLock lock(m_Host->m_Lock);
    return CopyOut(m_Node->secondName, pSecondName, kIid, "GetSecondName");
  }

 private:
  static constexpr const IID& kIid = IID_IVQAttributeGroup;

  // REQUIRES: m_Host->m_Lock held.
  HRESULT Find(const CollectionIndex& index, size_t* at, const char* what) {
    return Resolve(
        index, m_Node->attributes.size(), [&](size_t i) -> const std::wstring& { return m_Node->attributes[i]->name; },
        at, kIid, what);
  }
  HRESULT SetText(BSTR text, std::wstring GroupNode::*field, const char* what) {
    try {
      std::wstring value = FromBstr(text);
      HRESULT hr = CheckText(value, kIid, what);
      if (FAILED(hr)) return hr;
      vq::MutexLock lock(m_Host->m_Lock);
      ((*m_Node).*field).swap(value);
      return S_OK;
    } catch (...) {
      return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory", what);
    }
  }

  vq::ComPtr<IUnknown> m_Keep;
  AttributeHost* m_Host;
  std::shared_ptr<GroupNode> m_Node;
};

// ---------------------------------------------------------------------------
// IVQAttributeGroups view (the non-indexed list or one record's list).
// ---------------------------------------------------------------------------
class CGroupsView final
    : public vq::ComObject<CGroupsView, IVQAttributeGroups, vq::SupportErrorInfoFor<IVQAttributeGroups>>,
      private ModuleObject {
 public:
  CGroupsView(AttributeHost* host, LONG record)
      : m_Keep(host->HostUnknown()), m_Host(host), m_Record(record) {}

  STDMETHODIMP Add(BSTR Name, BSTR SecondName, IVQAttributeGroup** ppGroup) override {
    if (ppGroup == nullptr) return Fail(kIid, E_POINTER, "Add: null pointer");
    *ppGroup = nullptr;
    std::shared_ptr<GroupNode> group;
    try {
      std::wstring name = FromBstr(Name), second = FromBstr(SecondName);
      HRESULT hr = CheckText(name, kIid, "Add");
      if (SUCCEEDED(hr)) hr = CheckText(second, kIid, "Add");
      if (FAILED(hr)) return hr;
      vq::MutexLock lock(m_Host->m_Lock);
      GroupList* list = m_Host->m_Attributes.List(m_Record, true);
      group = FindOrAddGroup(*list, name, second);
      m_Host->m_Attributes.Prune(m_Record);
    } catch (...) {
      return Fail(kIid, E_OUTOFMEMORY, "Add: out of memory");
    }
    if (!group) return Fail(kIid, E_OUTOFMEMORY, "Add: the list is full");
    *ppGroup = MakeGroupView(m_Host, std::move(group));
    if (*ppGroup == nullptr) return Fail(kIid, E_OUTOFMEMORY, "Add: out of memory");
    return S_OK;
  }
  STDMETHODIMP Remove(VARIANT Index) override {
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "Remove");
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Host->m_Lock);
    GroupList* list = m_Host->m_Attributes.List(m_Record, false);
    size_t at = 0;
    hr = Find(list, index, &at, "Remove");
    if (FAILED(hr)) return hr;
    list->erase(list->begin() + static_cast<ptrdiff_t>(at));
    m_Host->m_Attributes.Prune(m_Record);
    return S_OK;
  }
  STDMETHODIMP Clear() override {
    vq::MutexLock lock(m_Host->m_Lock);
    if (GroupList* list = m_Host->m_Attributes.List(m_Record, false)) list->clear();
    m_Host->m_Attributes.Prune(m_Record);
    return S_OK;
  }
  STDMETHODIMP Find(BSTR Name, BSTR SecondName, IVQAttributeGroup** ppGroup) override {
    if (ppGroup == nullptr) return Fail(kIid, E_POINTER, "Find: null pointer");
    *ppGroup = nullptr;
    std::shared_ptr<GroupNode> group;
    try {
      std::wstring name = FromBstr(Name), second = FromBstr(SecondName);
      vq::MutexLock lock(m_Host->m_Lock);
      if (GroupList* list = m_Host->m_Attributes.List(m_Record, false)) {
        for (const auto& g : *list) {
          if (g->name == name && g->secondName == second) {
            group = g;
            break;
          }
        }
      }
    } catch (...) {
      return Fail(kIid, E_OUTOFMEMORY, "Find: out of memory");
    }
    if (!group) return S_FALSE;
    *ppGroup = MakeGroupView(m_Host, std::move(group));
    if (*ppGroup == nullptr) return Fail(kIid, E_OUTOFMEMORY, "Find: out of memory");
    return S_OK;
  }
  STDMETHODIMP GetAttributeCount(LONG* pCount) override {
    if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetAttributeCount: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    size_t n = 0;
    if (GroupList* list = m_Host->m_Attributes.List(m_Record, false))
      for (const auto& g : *list) n += g->attributes.size();
    *pCount = n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<LONG>(n);
    return S_OK;
  }
  STDMETHODIMP GetItem(VARIANT Index, IVQAttributeGroup** ppGroup) override {
    if (ppGroup == nullptr) return Fail(kIid, E_POINTER, "GetItem: null pointer");
    *ppGroup = nullptr;
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, true, &index, kIid, "GetItem");
    if (FAILED(hr)) return hr;
    std::shared_ptr<GroupNode> group;
    {
      vq::MutexLock lock(m_Host->m_Lock);
      GroupList* list = m_Host->m_Attributes.List(m_Record, false);
      size_t at = 0;
      hr = Find(list, index, &at, "GetItem");
      if (FAILED(hr)) return hr;
      group = (*list)[at];
    }
    *ppGroup = MakeGroupView(m_Host, std::move(group));
    if (*ppGroup == nullptr) return Fail(kIid, E_OUTOFMEMORY, "GetItem: out of memory");
    return S_OK;
  }
  STDMETHODIMP GetCount(LONG* pCount) override {
    if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetCount: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    GroupList* list = m_Host->m_Attributes.List(m_Record, false);
    *pCount = list ? static_cast<LONG>(list->size()) : 0;
    return S_OK;
  }

 private:
  static constexpr const IID& kIid = IID_IVQAttributeGroups;

  // REQUIRES: m_Host->m_Lock held. A missing list counts as empty.
  HRESULT Find(GroupList* list, const CollectionIndex& index, size_t* at, const char* what) {
    static const GroupList kEmpty;
    const GroupList& l = list ? *list : kEmpty;
    return Resolve(index, l.size(), [&](size_t i) -> const std::wstring& { return l[i]->name; }, at, kIid, what);
  }

  vq::ComPtr<IUnknown> m_Keep;
  AttributeHost* m_Host;
  const LONG m_Record;
};

// ---------------------------------------------------------------------------
// IVQIndexedAttributes view.
// ---------------------------------------------------------------------------
class CIndexedView final
    : public vq::ComObject<CIndexedView, IVQIndexedAttributes, vq::SupportErrorInfoFor<IVQIndexedAttributes>>,
      private ModuleObject {
 public:
  explicit CIndexedView(AttributeHost* host) : m_Keep(host->HostUnknown()), m_Host(host) {}

  STDMETHODIMP Clear() override {
    vq::MutexLock lock(m_Host->m_Lock);
    m_Host->m_Attributes.indexed.clear();
    return S_OK;
  }
  STDMETHODIMP RemoveRecord(LONG Record) override {
    if (Record < 1) return Fail(kIid, E_INVALIDARG, "RemoveRecord: record %d is below 1", Record);
    vq::MutexLock lock(m_Host->m_Lock);
    m_Host->m_Attributes.indexed.erase(Record);
    return S_OK;
  }
  STDMETHODIMP GetRecordCount(LONG* pCount) override {
    if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetRecordCount: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    *pCount = static_cast<LONG>(m_Host->m_Attributes.indexed.size());
    return S_OK;
  }
  STDMETHODIMP GetNextRecord(LONG After, LONG* pRecord) override {
    if (pRecord == nullptr) return Fail(kIid, E_POINTER, "GetNextRecord: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    auto it = m_Host->m_Attributes.indexed.upper_bound(After);
    *pRecord = it == m_Host->m_Attributes.indexed.end() ? 0 : it->first;
    return *pRecord == 0 ? S_FALSE : S_OK;
  }
  STDMETHODIMP GetDimension(LONG* pDimension) override {
    if (pDimension == nullptr) return Fail(kIid, E_POINTER, "GetDimension: null pointer");
    *pDimension = 1;
    return S_OK;
  }
  STDMETHODIMP GetItem(VARIANT Index, IVQAttributeGroups** ppGroups) override {
    if (ppGroups == nullptr) return Fail(kIid, E_POINTER, "GetItem: null pointer");
    *ppGroups = nullptr;
    CollectionIndex index;
    HRESULT hr = ReadIndex(Index, false, &index, kIid, "GetItem");
    if (FAILED(hr)) return hr;
    if (index.position < 1) return Fail(kIid, E_INVALIDARG, "GetItem: record %d is below 1", index.position);
    *ppGroups = MakeGroupsView(m_Host, index.position);
    if (*ppGroups == nullptr) return Fail(kIid, E_OUTOFMEMORY, "GetItem: out of memory");
    return S_OK;
  }
  STDMETHODIMP GetCount(LONG* pCount) override {
    if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetCount: null pointer");
    vq::MutexLock lock(m_Host->m_Lock);
    const auto& map = m_Host->m_Attributes.indexed;
    *pCount = map.empty() ? 0 : map.rbegin()->first;
    return S_OK;
  }

 private:
  static constexpr const IID& kIid = IID_IVQIndexedAttributes;
  vq::ComPtr<IUnknown> m_Keep;
  AttributeHost* m_Host;
};

}  // namespace

IVQAttributeGroups* MakeGroupsView(AttributeHost* host, LONG record) noexcept {
  try {
    return vq::MakeComObject<CGroupsView>(host, record);
  } catch (...) {
    return nullptr;
  }
}

IVQAttributeGroup* MakeGroupView(AttributeHost* host, std::shared_ptr<GroupNode> group) noexcept {
  try {
    return vq::MakeComObject<CGroupView>(host, std::move(group));
  } catch (...) {
    return nullptr;
  }
}

IVQIndexedAttributes* MakeIndexedView(AttributeHost* host) noexcept {
  try {
    return vq::MakeComObject<CIndexedView>(host);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace vqdata
