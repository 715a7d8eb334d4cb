// VQAttributeImpl.h - attributes of a data item and the views on them.
//
// Model: an AttributeStore holds the non-indexed group list and, per record
// number (from 1), an indexed group list; a record appears in the map only
// while its list holds a group. Groups and attributes are shared_ptr nodes so
// that a view handed out keeps its node alive even after it was removed from
// the store (the view then works on the detached node).
//
// Locking: the whole store is guarded by the host's m_Lock (the item's lock).
// Every view holds a reference to its item (keeping it alive) and takes that
// lock for each call; views never call out to other objects while holding it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQThreadSafety.h"
#include "vqdata/VQDataInternal.h"

namespace vqdata {

struct AttributeNode {
  std::wstring name;
  OwnedVariant value;
};

struct GroupNode {
  std::wstring name;
  std::wstring secondName;
  std::vector<std::shared_ptr<AttributeNode>> attributes;
};

using GroupList = std::vector<std::shared_ptr<GroupNode>>;

// The longest text (names, BSTR values) an attribute may carry, in
// characters, so that every stored item can be saved and loaded again.
inline constexpr size_t kMaxTextChars = size_t{1} << 22;
// Structural limits, checked on add and on load.
inline constexpr size_t kMaxGroups = size_t{1} << 20;
inline constexpr size_t kMaxAttributesPerGroup = size_t{1} << 20;

struct AttributeStore {
  GroupList plain;
  std::map<LONG, GroupList> indexed;

  // The list of record (0: the non-indexed list); null when the record has
  // none and create is false.
  GroupList* List(LONG record, bool create);
  // Drops the map entry of a record whose list became empty.
  void Prune(LONG record) noexcept;
  // A deep copy (new nodes, copied values).
  HRESULT CopyTo(AttributeStore* out) const noexcept;
};

// Finds the group (name, secondName) in list or appends it; null when the
// list is full. May throw std::bad_alloc.
std::shared_ptr<GroupNode> FindOrAddGroup(GroupList& list, const std::wstring& name, const std::wstring& secondName);
// Sets attribute name of group to value (replaced in place, else appended);
// E_OUTOFMEMORY when the group is full. May throw std::bad_alloc.
HRESULT SetAttribute(GroupNode& group, const std::wstring& name, OwnedVariant& value);
// Copies value for storing: dereferences VT_BYREF, refuses types that cannot
// be stored (DISP_E_BADVARTYPE) and over-long texts (E_INVALIDARG).
HRESULT PrepareValue(const VARIANT& value, OwnedVariant* out, REFIID iid, const char* what) noexcept;

// What the views need of their item.
class AttributeHost {
 public:
  virtual IUnknown* HostUnknown() noexcept = 0;

 protected:
  ~AttributeHost() = default;

 public:
  // Guards the item's whole state (see CVQData).
  mutable vq::Mutex m_Lock;
  AttributeStore m_Attributes VQ_GUARDED_BY(m_Lock);
};

// Views (each returns a new reference; null when memory ran out).
IVQAttributeGroups* MakeGroupsView(AttributeHost* host, LONG record) noexcept;
IVQAttributeGroup* MakeGroupView(AttributeHost* host, std::shared_ptr<GroupNode> group) noexcept;
IVQIndexedAttributes* MakeIndexedView(AttributeHost* host) noexcept;

}  // namespace vqdata
