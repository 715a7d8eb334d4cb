#include "memory/PriorityManager.h"

#include <algorithm>

#include "trace/VQTrace.h"

std::atomic<bool> CPriorityManager::s_ReportNoneSwappable{true};

bool CPriorityManager::Initialize(uint32_t count, const Table* table) {
  vq::CritSecLock lock(m_Lock);
  m_Table = table;
  if (count >= kNotQueued) {
    VQ_TRACE("CPriorityManager::Initialize", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  try {
    m_Prev.assign(count, kNotQueued);
    m_Next.assign(count, kNone);
    m_Untouched.assign(count, false);
  } catch (...) {
    m_Prev.clear();
    m_Next.clear();
    m_Untouched.clear();
    m_Front[0] = m_Back[0] = m_Front[1] = m_Back[1] = kNone;
    m_Length = 0;
    VQ_TRACE("CPriorityManager::Initialize", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  // The positions start afresh, so the old queue cannot be kept.
  m_Front[0] = m_Back[0] = m_Front[1] = m_Back[1] = kNone;
  m_Length = 0;
  m_Count = count;
  return true;
}

bool CPriorityManager::Grow(uint32_t count) {
  vq::CritSecLock lock(m_Lock);
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
    reserve(m_Prev);
    reserve(m_Next);
    reserve(m_Untouched);
    m_Prev.resize(count, kNotQueued);
    m_Next.resize(count, kNone);
    m_Untouched.resize(count, false);
  } catch (...) {
    m_Prev.resize(m_Count);
    m_Next.resize(m_Count);
    m_Untouched.resize(m_Count);
    VQ_TRACE("CPriorityManager::Grow", "DataMatrix", 1, "Failed to allocate space");
    return false;
  }
  m_Count = count;
  return true;
}

void CPriorityManager::Unlink(uint32_t index) {
  const int list = m_Untouched[index] ? 1 : 0;
  uint32_t prev = m_Prev[index];
  uint32_t next = m_Next[index];
  if (prev == kNone) {
    m_Front[list] = next;
  } else {
    m_Next[prev] = next;
  }
  if (next == kNone) {
    m_Back[list] = prev;
  } else {
    m_Prev[next] = prev;
  }
  m_Prev[index] = kNotQueued;
  m_Next[index] = kNone;
  m_Untouched[index] = false;
  --m_Length;
}

void CPriorityManager::PushPriority(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  if (dataIndex >= m_Prev.size()) return;
  PushBack(dataIndex, false);
}

void CPriorityManager::PushUntouched(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  if (dataIndex >= m_Prev.size()) return;
  PushBack(dataIndex, true);
}

void CPriorityManager::PushBack(uint32_t dataIndex, bool untouched) {
  if (IsQueued(dataIndex)) Unlink(dataIndex);
  const int list = untouched ? 1 : 0;
  m_Untouched[dataIndex] = untouched;
  m_Prev[dataIndex] = m_Back[list];
  m_Next[dataIndex] = kNone;
  if (m_Back[list] == kNone) {
    m_Front[list] = dataIndex;
  } else {
    m_Next[m_Back[list]] = dataIndex;
  }
  m_Back[list] = dataIndex;
  ++m_Length;
}

bool CPriorityManager::RemovePriority(uint32_t dataIndex) {
  vq::CritSecLock lock(m_Lock);
  if (m_Length == 0 || dataIndex >= m_Prev.size() || !IsQueued(dataIndex)) return false;
  Unlink(dataIndex);
  return true;
}

bool CPriorityManager::PopPriority(uint32_t* dataIndex) {
  vq::CritSecLock lock(m_Lock);
  if (m_Length == 0) return false;
  const size_t tableSize = m_Table != nullptr ? m_Table->Size() : 0;
  const bool fifo = m_PriorityType == kFirstInFirstOut;
  // Used objects first, in the queue's order; untouched ones only when none
  // of those can go.
  for (int list = 0; list < 2; ++list) {
    for (uint32_t i = fifo ? m_Front[list] : m_Back[list]; i != kNone; i = fifo ? m_Next[i] : m_Prev[i]) {
      if (i >= tableSize) {
        if (fifo) {
          VQ_TRACE("CPriorityManager::PopPriority", "DataMatrix", 1, "Trying to pop element %u of %u", i,
                   static_cast<unsigned>(tableSize));
        }
        return false;
      }
      if (!m_Table->MaySave(i)) continue;
      Unlink(i);
      *dataIndex = i;
      if (fifo && m_Length == 0) s_ReportNoneSwappable = true;
      return true;
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
  m_Untouched.assign(m_Untouched.size(), false);
  m_Prev.assign(m_Prev.size(), kNotQueued);
  m_Next.assign(m_Next.size(), kNone);
  m_Front[0] = m_Back[0] = m_Front[1] = m_Back[1] = kNone;
  m_Length = 0;
}

void CPriorityManager::SetPriorityType(LONG type) {
  vq::CritSecLock lock(m_Lock);
  m_PriorityType = type;
}

LONG CPriorityManager::GetPriorityType() const {
  vq::CritSecLock lock(m_Lock);
  return m_PriorityType;
}

uint32_t CPriorityManager::Length() const {
  vq::CritSecLock lock(m_Lock);
  return m_Length;
}

std::vector<uint32_t> CPriorityManager::Snapshot() const {
  vq::CritSecLock lock(m_Lock);
  std::vector<uint32_t> order;
  for (int list = 0; list < 2; ++list)
    for (uint32_t i = m_Front[list]; i != kNone; i = m_Next[i]) order.push_back(i);
  return order;
}
