#include "memory/PriorityManager.h"

#include <algorithm>

#include "trace/VQTrace.h"

std::atomic<bool> CPriorityManager::s_ReportNoneSwappable{true};

bool CPriorityManager::Initialize(uint32_t count, const Table* table) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();  // for the failures, which keep the queue; success empties it
  m_Table = table;
  if (count >= kNotQueued) {
    VQ_TRACE("CPriorityManager::Initialize", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  try {
    m_Links.assign(count, Link{});
    m_List.assign(count, kUsed);
  } catch (...) {
    m_Links.clear();
    m_List.clear();
    ClearEnds();
    m_Length = 0;
    VQ_TRACE("CPriorityManager::Initialize", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  // The positions start afresh, so the old queue cannot be kept.
  ClearEnds();
  m_Length = 0;
  m_Count = count;
  return true;
}

bool CPriorityManager::Grow(uint32_t count) {
  vq::CritSecLock lock(m_Lock);
  // Uses made before the table grew ignored the indices it adds.
  ApplyTouches();
  if (count <= m_Count) return true;
  if (count >= kNotQueued) {
    VQ_TRACE("CPriorityManager::Grow", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  try {
    // Reserved first, so that no table is left longer than the others;
    // geometrically, so that growing by one index at a time stays linear.
    auto reserve = [count](auto& table) {
      if (table.capacity() < count) table.reserve(std::max<size_t>(count, 2 * table.capacity()));
    };
    reserve(m_Links);
    reserve(m_List);
    m_Links.resize(count, Link{});
    m_List.resize(count, kUsed);
  } catch (...) {
    m_Links.resize(m_Count);
    m_List.resize(m_Count);
    VQ_TRACE("CPriorityManager::Grow", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  m_Count = count;
  return true;
}

void CPriorityManager::ClearEnds() {
  for (int list = 0; list < kLists; ++list) m_Front[list] = m_Back[list] = kNone;
  m_Length = 0;
  m_Examined = 0;
}

inline void CPriorityManager::Unlink(uint32_t index) {
  const int list = m_List[index];
  uint32_t prev = m_Links[index].prev;
  uint32_t next = m_Links[index].next;
  if (prev == kNone) {
    m_Front[list] = next;
  } else {
    m_Links[prev].next = next;
  }
  if (next == kNone) {
    m_Back[list] = prev;
  } else {
    m_Links[next].prev = prev;
  }
  m_Links[index].prev = kNotQueued;
  m_Links[index].next = kNone;
  m_List[index] = kUsed;
  --m_Length;
}

inline void CPriorityManager::Use(uint32_t dataIndex) {
  if (dataIndex >= m_Links.size()) return;
  // Repeated use of one object (a walk over the elements of a packed
  // object, a client reading one element again) finds it at the right end.
  const uint32_t back = m_Back[kUsed];
  if (back == dataIndex) return;
  // PushBack(dataIndex, kUsed) without the stores that Unlink makes and the
  // link undoes: every access comes here (through ApplyTouches).
  Link& link = m_Links[dataIndex];
  if (link.prev == kNotQueued) {
    ++m_Length;
  } else {
    const uint8_t list = m_List[dataIndex];
    if (link.prev == kNone) {
      m_Front[list] = link.next;
    } else {
      m_Links[link.prev].next = link.next;
    }
    // Not the used list's back (see above), so `back` still is.
    if (link.next == kNone) {
      m_Back[list] = link.prev;
    } else {
      m_Links[link.next].prev = link.prev;
    }
  }
  m_List[dataIndex] = kUsed;
  link.prev = back;
  link.next = kNone;
  if (back == kNone) {
    m_Front[kUsed] = dataIndex;
  } else {
    m_Links[back].next = dataIndex;
  }
  m_Back[kUsed] = dataIndex;
}

void CPriorityManager::ApplyTouches() {
  const uint32_t head = m_TouchHead.load(std::memory_order_acquire);
  uint32_t tail = m_TouchTail.load(std::memory_order_relaxed);
  if (tail == head) return;
  for (; tail != head; ++tail) Use(m_Touched[tail % kTouchSlots]);
  m_TouchTail.store(tail, std::memory_order_release);
}

void CPriorityManager::DropTouches() {
  m_TouchTail.store(m_TouchHead.load(std::memory_order_acquire), std::memory_order_release);
}

void CPriorityManager::ApplyFullRing() {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
}

void CPriorityManager::PushPriority(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  Use(dataIndex);
}

void CPriorityManager::PushPriority(const uint32_t* dataIndices, size_t count) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  for (size_t k = 0; k < count; ++k) Use(dataIndices[k]);
}

void CPriorityManager::PushUntouched(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  if (dataIndex >= m_Links.size()) return;
  PushBack(dataIndex, kUntouched);
}

inline void CPriorityManager::PushBack(uint32_t dataIndex, uint8_t list) {
  if (IsQueued(dataIndex)) Unlink(dataIndex);
  m_List[dataIndex] = list;
  m_Links[dataIndex].prev = m_Back[list];
  m_Links[dataIndex].next = kNone;
  if (m_Back[list] == kNone) {
    m_Front[list] = dataIndex;
  } else {
    m_Links[m_Back[list]].next = dataIndex;
  }
  m_Back[list] = dataIndex;
  ++m_Length;
}

bool CPriorityManager::RemovePriority(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  if (m_Length == 0 || dataIndex >= m_Links.size() || !IsQueued(dataIndex)) return false;
  Unlink(dataIndex);
  return true;
}

void CPriorityManager::PushFront(uint32_t index, uint8_t list) {
  m_List[index] = list;
  m_Links[index].prev = kNone;
  m_Links[index].next = m_Front[list];
  if (m_Front[list] == kNone) {
    m_Back[list] = index;
  } else {
    m_Links[m_Front[list]].prev = index;
  }
  m_Front[list] = index;
  ++m_Length;
}

bool CPriorityManager::Take(uint32_t index, bool fifo, uint32_t* dataIndex) {
  Unlink(index);
  *dataIndex = index;
  if (fifo && m_Length == 0) s_ReportNoneSwappable = true;
  return true;
}

bool CPriorityManager::PopPriority(uint32_t* dataIndex) {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  if (m_Length == 0) return false;
  const size_t tableSize = m_Table != nullptr ? m_Table->Size() : 0;
  const bool fifo = m_PriorityType == kFirstInFirstOut;
  auto stale = [&](uint32_t i) {
    if (fifo) {
      VQ_TRACE("CPriorityManager::PopPriority", "DataMatrix", 1, "Trying to pop element %u of %u", i,
               static_cast<unsigned>(tableSize));
    }
    return false;
  };
  // Used objects first, in the queue's order; untouched ones only when none
  // of those can go. An object found held is parked, so that the next pop
  // does not look at it again until it is used or found released.
  for (uint8_t list : {kUsed, kUntouched}) {
    uint32_t i = fifo ? m_Front[list] : m_Back[list];
    while (i != kNone) {
      if (i >= tableSize) return stale(i);
      ++m_Examined;
      const uint32_t after = fifo ? m_Links[i].next : m_Links[i].prev;
      if (m_Table->MaySave(i)) return Take(i, fifo, dataIndex);
      Unlink(i);
      PushBack(i, kHeld);
      i = after;
    }
  }
  // Nothing else can go: look at a few parked objects, from the end the
  // order pops, and rotate those still held to the other end, so that
  // successive pops cover the whole parked list and a release is seen.
  uint32_t first = kNone;
  for (uint32_t n = 0; n < kParkedLooks && m_Front[kHeld] != kNone; ++n) {
    const uint32_t i = fifo ? m_Front[kHeld] : m_Back[kHeld];
    if (i == first) break;  // fewer parked objects than looks: each looked at once
    if (first == kNone) first = i;
    if (i >= tableSize) return stale(i);
    ++m_Examined;
    if (m_Table->MaySave(i)) return Take(i, fifo, dataIndex);
    Unlink(i);
    if (fifo) {
      PushBack(i, kHeld);
    } else {
      PushFront(i, kHeld);
    }
  }
  if (fifo && s_ReportNoneSwappable) {
    if (m_Length > 1) {
      VQ_TRACE("CPriorityManager::PopPriority", "DataMatrix", 2, "None of the %u/%u elements can be swapped out",
               m_Length, static_cast<unsigned>(tableSize));
    }
    s_ReportNoneSwappable = false;
  }
  return false;
}

void CPriorityManager::Clear() {
  vq::CritSecLock lock(m_Lock);
  DropTouches();
  m_List.assign(m_List.size(), kUsed);
  m_Links.assign(m_Links.size(), Link{});
  ClearEnds();
}

void CPriorityManager::SetPriorityType(LONG type) {
  vq::CritSecLock lock(m_Lock);
  m_PriorityType = type;
}

LONG CPriorityManager::GetPriorityType() const {
  vq::CritSecLock lock(m_Lock);
  return m_PriorityType;
}

uint32_t CPriorityManager::Length() {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  return m_Length;
}

std::vector<uint32_t> CPriorityManager::Snapshot() {
  vq::CritSecLock lock(m_Lock);
  ApplyTouches();
  std::vector<uint32_t> order;
  for (int list = 0; list < kLists; ++list)
    for (uint32_t i = m_Front[list]; i != kNone; i = m_Links[i].next) order.push_back(i);
  return order;
}

uint64_t CPriorityManager::Examined() const {
  vq::CritSecLock lock(m_Lock);
  return m_Examined;
}
