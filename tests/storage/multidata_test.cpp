// Multi-object storage: fold-back of written items, read-only items, subsets
// and their refusals, recycling and reuse of pool items, the swap block, and
// the memory watcher's thread recycling while a client takes items; and the
// single-object storage case the matrix cannot reach through its interface.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "memory/FileCache.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "storage/MultiData.h"
#include "storage/SingleData.h"
#include "support/FakeDataItem.h"
#include "support/TestEnvironment.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

class MultiDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(m_Cache.Initialize(true));
  }
  void TearDown() override { CoUninitialize(); }

  std::unique_ptr<CMultiData> Make(uint32_t slots, LONG x, LONG z, LONG format = dataFormatFloat64) {
    auto data = std::make_unique<CMultiData>(&m_Cache, &m_Axes, &m_Attributes);
    EXPECT_TRUE(data->Initialize(slots, x, z, format));
    return data;
  }

  // The whole element of `slot` with the test's own reference.
  static vq::ComPtr<IVQData> Take(CMultiData& data, uint32_t slot, bool forWriting, HRESULT expect = S_OK) {
    IUnknown* raw = nullptr;
    EXPECT_EQ(data.GetAllData(slot, true, forWriting, &raw), expect);
    vq::ComPtr<IVQData> item;
    if (raw != nullptr) raw->QueryInterface(IID_IVQData, item.put_void());
    return item;
  }
  static vq::ComPtr<IVQData> Part(CMultiData& data, uint32_t slot, uint32_t first, uint32_t last,
                                  HRESULT expect = S_OK) {
    IUnknown* raw = nullptr;
    EXPECT_EQ(data.GetDataSubset(slot, true, first, last, &raw), expect);
    vq::ComPtr<IVQData> item;
    if (raw != nullptr) raw->QueryInterface(IID_IVQData, item.put_void());
    return item;
  }
  static double* Values(IVQData* item, LONG* count = nullptr) {
    VQDataBuffer b{};
    EXPECT_EQ(item->GetDataBuffer(&b), S_OK);
    if (count != nullptr) *count = b.XSize * b.ZSize;
    return b.pDouble;
  }
  // Values that a lossy or partial copy would not reproduce: a NaN with a
  // payload, negative zero, a denormal, and a value per slot and position.
  static double Pattern(uint32_t slot, LONG k, int round = 0) {
    switch (k % 7) {
      case 0: {
        uint64_t bits = 0x7ff8000000000000ull | (uint64_t{slot} << 20) | static_cast<uint64_t>(k + round);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
      case 1:
        return -0.0;
      case 2:
        return std::numeric_limits<double>::denorm_min() * (k + 1);
      default:
        return slot * 1000.0 + k + round * 0.5;
    }
  }
  static void Write(IVQData* item, uint32_t slot, int round = 0) {
    LONG n = 0;
    double* v = Values(item, &n);
    for (LONG k = 0; k < n; ++k) v[k] = Pattern(slot, k, round);
  }
  static bool Holds(IVQData* item, uint32_t slot, int round = 0, LONG firstValue = 0) {
    LONG n = 0;
    const double* v = Values(item, &n);
    for (LONG k = 0; k < n; ++k) {
      const double want = Pattern(slot, firstValue + k, round);
      if (std::memcmp(&v[k], &want, sizeof want) != 0) return false;
    }
    return n > 0;
  }
  static double AxisFirst(IVQData* item, LONG* size = nullptr) {
    vq::ComPtr<IVQAxis> axis;
    EXPECT_EQ(item->GetAxis(axis.put()), S_OK);
    double first = 0;
    axis->GetFirstValue(&first);
    if (size != nullptr) axis->GetSize(size);
    return first;
  }

  FaultyEnvironment m_Ops;  // the swap file's environment, faults on demand
  CFileCache m_Cache{m_Ops};
  CAxisManager m_Axes;
  CAttributeManager m_Attributes;
};

TEST_F(MultiDataTest, WrittenItemReachesTheBufferAndReadOnlyItemNeverWritesBack) {
  auto data = Make(4, 16, 2);
  {
    auto item = Take(*data, 3, true);
    Write(item.get(), 3);
    EXPECT_TRUE(data->IsLocked());
    EXPECT_FALSE(data->SaveToDisk());  // held: never saved under the client
  }
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(data->IsOnDisk());
  EXPECT_FALSE(data->IsInMemory());
  EXPECT_EQ(data->BufferAddress(), nullptr);
  EXPECT_EQ(data->FreeItemCount(), 0u);  // the idle items went with the buffer
  EXPECT_EQ(m_Cache.BlockCount(), 1u);

  EXPECT_TRUE(Holds(Take(*data, 3, false).get(), 3));
  // Untouched slots stay zero: model_test.cpp starts every element at zero.

  // A read-only item never writes back, even when its client changes it
  // through the item's setters (a read-only item shows the buffer's values,
  // so a client writing through its raw pointer would reach them).
  { Write(Take(*data, 1, true).get(), 1); }
  ASSERT_TRUE(data->SaveToDisk());
  const int writes = m_Ops.writes;
  {
    auto item = Take(*data, 1, false);
    ASSERT_TRUE(Holds(item.get(), 1));
    ASSERT_EQ(item->SetAllValues(7.0), S_OK);  // a client that changes what it may only read
  }
  EXPECT_FALSE(data->IsModified());
  ASSERT_TRUE(data->SaveToDisk());  // freed without a write
  EXPECT_EQ(m_Ops.writes, writes);
  EXPECT_FALSE(data->IsInMemory());
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1));

  // In memory, before any save, the buffer keeps its values too.
  auto fresh = Make(2, 8, 1);
  {
    auto item = Take(*fresh, 0, false);
    ASSERT_EQ(item->SetValue(3, 0, 7.0, 0.0), S_OK);
  }
  EXPECT_EQ(fresh->ReplaceData(1, nullptr), E_FAIL);  // any call under the data lock recycles
  double slot[8];
  ASSERT_TRUE(fresh->ReadSlot(0, slot, sizeof slot));
  for (double d : slot) EXPECT_EQ(d, 0.0);
}

// The read-only item a slot shows, put back, stores its values; a slot's
// item put into another slot is stored there at once and locks neither.
TEST_F(MultiDataTest, PutItemsOfTheObjectItselfAreStored) {
  auto data = Make(3, 8, 1);
  auto item = Take(*data, 0, false);
  Write(item.get(), 0);
  EXPECT_EQ(data->ReplaceData(0, item.get()), S_OK);  // the very item the slot shows
  item = nullptr;
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0));
  item = Take(*data, 1, true);
  Write(item.get(), 2);
  ASSERT_EQ(data->ReplaceData(2, item.get()), S_OK);  // stored at once
  item = nullptr;
  EXPECT_FALSE(data->IsLocked());
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 2));
  EXPECT_TRUE(Holds(Take(*data, 2, false).get(), 2));
}

TEST_F(MultiDataTest, SubsetsAndTheirRefusals) {
  auto data = Make(2, 100, 3);
  ASSERT_EQ(data->InitializeAsLinear(100, 5.0, 0.5, L"Hz"), S_OK);
  { Write(Take(*data, 1, true).get(), 1); }
  ASSERT_TRUE(data->SaveToDisk());

  // The whole element asked as a range is the whole item; the first record
  // alone is a part.
  {
    auto whole = Part(*data, 0, 0, 299);
    LONG n = 0;
    Values(whole.get(), &n);
    EXPECT_EQ(n, 300);
  }
  {
    auto first = Part(*data, 1, 0, 99);
    LONG n = 0;
    Values(first.get(), &n);
    EXPECT_EQ(n, 100);
    EXPECT_TRUE(Holds(first.get(), 1));
  }
  ASSERT_TRUE(data->SaveToDisk());  // no slot shows an item any more

  // A part's values and axis, and reading records 1..2 after a save:
  // elements_test.cpp SubsetsOfASwappedElement on both kinds.
  auto part = Part(*data, 1, 10, 19);
  ASSERT_TRUE(part);
  EXPECT_EQ(Part(*data, 1, 12, 15, S_FALSE).get(), part.get());  // inside the held part
  EXPECT_EQ(Part(*data, 1, 10, 19, S_OK).get(), part.get());
  TraceCapture trace;
  EXPECT_FALSE(Part(*data, 1, 50, 60, E_FAIL));  // another part while the first is held
  EXPECT_TRUE(trace.Contains("GetDataSubset(1): Element is locked. Can't retrieve subset."));
  EXPECT_FALSE(Take(*data, 1, false, E_FAIL));  // the whole element while a part is held
  EXPECT_TRUE(trace.Contains("GetAllData(1): Partial element locked in memory."));
  EXPECT_FALSE(data->SaveToDisk());  // nor is the object saved
  EXPECT_TRUE(trace.Contains("SaveToDisk(1): Element is locked. ThreadId="));
  EXPECT_TRUE(data->IsInMemory());

  EXPECT_FALSE(Part(*data, 1, 105, 250, E_INVALIDARG));  // records 1..2, not whole records
  EXPECT_TRUE(trace.Contains("GetDataSubset(1): Invalid index(105,250)."));
  EXPECT_FALSE(Part(*data, 1, 20, 10, E_INVALIDARG));   // backwards
  EXPECT_FALSE(Part(*data, 1, 250, 300, E_INVALIDARG));  // past the element
  EXPECT_EQ(data->GetDataSubset(2, true, 0, 1, nullptr), E_POINTER);
  IUnknown* out = nullptr;
  EXPECT_EQ(data->GetDataSubset(2, true, 0, 1, &out), E_INVALIDARG);  // no such slot

  // Let go of the part: the slot serves anything again.
  part = nullptr;
  auto whole = Take(*data, 1, false);
  ASSERT_TRUE(whole);
  LONG size = 0;
  EXPECT_EQ(AxisFirst(whole.get(), &size), 5.0);
  EXPECT_EQ(size, 100);
  EXPECT_EQ(Part(*data, 1, 30, 40, S_FALSE).get(), whole.get());  // held whole: the whole item
  whole = nullptr;
  // A released item still serves its slot until it is recycled.
  EXPECT_TRUE(Part(*data, 1, 100, 299, S_FALSE));
  EXPECT_TRUE(data->SaveToDisk());  // nothing held any more
}

TEST_F(MultiDataTest, ReplaceDataRules) {
  auto data = Make(3, 8, 2);
  TraceCapture trace;
  auto other = FakeDataItem::Make(std::make_shared<DataItemProbe>(), 4, 4);
  EXPECT_EQ(data->ReplaceData(0, other.get()), E_FAIL);  // same byte count, other shape
  EXPECT_TRUE(trace.Contains("ReplaceData(0): New data and old data have different size."));
  auto floats = FakeDataItem::Make(std::make_shared<DataItemProbe>(), 8, 2, dataFormatFloat32);
  EXPECT_EQ(data->ReplaceData(0, floats.get()), E_FAIL);
  vq::ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(data->ReplaceData(0, stream.get()), E_FAIL);
  EXPECT_EQ(data->ReplaceData(0, nullptr), E_FAIL);
  EXPECT_EQ(data->ReplaceData(3, nullptr), E_INVALIDARG);
  EXPECT_EQ(data->ActiveItemCount(), 0u);

  auto probe = std::make_shared<DataItemProbe>();
  auto mine = FakeDataItem::Make(probe, 8, 2);
  Write(mine.get(), 0);
  ASSERT_EQ(data->ReplaceData(0, mine.get()), S_OK);
  EXPECT_EQ(data->ReplaceData(0, mine.get()), S_OK);  // the item the slot already shows
  auto third = FakeDataItem::Make(std::make_shared<DataItemProbe>(), 8, 2);
  EXPECT_EQ(data->ReplaceData(0, third.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("ReplaceData(0): Existing data is locked in memory."));
  // The values are not copied before the client lets go.
  double slot[16];
  ASSERT_TRUE(data->ReadSlot(0, slot, sizeof slot));
  EXPECT_EQ(slot[5], 0.0);
  mine = nullptr;
  ASSERT_TRUE(data->SaveToDisk());
  m_Cache.MemoryReleaser().Drain();
  EXPECT_TRUE(probe->destroyed);  // the idle copy went with the buffer
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0));

  // Swapped out: the buffer is read back first; a failed read changes nothing.
  ASSERT_TRUE(data->SaveToDisk());
  m_Ops.failReads = true;
  EXPECT_EQ(data->ReplaceData(1, third.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("ReplaceData(1): Failed to load saved data item from disk."));
  EXPECT_EQ(data->ActiveItemCount(), 0u);
  EXPECT_FALSE(data->IsInMemory());
  m_Ops.failReads = false;
  Write(third.get(), 1, 3);
  ASSERT_EQ(data->ReplaceData(1, third.get()), S_OK);
  third = nullptr;
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0));
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1, 3));
}

// Released put items are folded back and let go of (their values live in the
// slots now, and a second copy would double the object's memory); released
// items handed out by the object go idle, at most ten of them.
TEST_F(MultiDataTest, PutItemsGoOnceFoldedBackAndHandedOutOnesStayIdleUpToTen) {
  auto data = Make(12, 4, 1);
  std::vector<std::shared_ptr<DataItemProbe>> probes;
  {
    std::vector<vq::ComPtr<IVQData>> items;
    for (uint32_t s = 0; s < 11; ++s) {
      probes.push_back(std::make_shared<DataItemProbe>());
      items.push_back(FakeDataItem::Make(probes.back(), 4, 1));
      Write(items.back().get(), s);
      ASSERT_EQ(data->ReplaceData(s, items.back().get()), S_OK);
    }
    EXPECT_EQ(data->ActiveItemCount(), 11u);
  }  // all eleven let go at once
  // The next call under the data lock recycles (this one is then refused).
  EXPECT_EQ(data->ReplaceData(11, nullptr), E_FAIL);
  EXPECT_EQ(data->ActiveItemCount(), 0u);
  EXPECT_EQ(data->FreeItemCount(), 0u);
  m_Cache.MemoryReleaser().Drain();
  for (uint32_t s = 0; s < 11; ++s) {
    EXPECT_EQ(probes[s]->freeDataCalls, 0) << "let go of, not emptied: " << s;
    EXPECT_TRUE(probes[s]->destroyed) << s;
    double v[4];
    ASSERT_TRUE(data->ReadSlot(s, v, sizeof v));
    const double want = Pattern(s, 3);
    EXPECT_EQ(std::memcmp(&v[3], &want, sizeof want), 0) << s;
  }
  // Eleven items handed out and released at once: ten stay idle; a walk
  // over the slots reuses them and keeps the limit.
  {
    std::vector<vq::ComPtr<IVQData>> held;
    for (uint32_t s = 0; s < 11; ++s) held.push_back(Take(*data, s, s % 2 == 0));
    EXPECT_EQ(data->ActiveItemCount(), 11u);
  }
  EXPECT_EQ(data->ReplaceData(11, nullptr), E_FAIL);
  EXPECT_EQ(data->FreeItemCount(), 10u);
  for (uint32_t s = 0; s < 11; ++s) EXPECT_TRUE(Holds(Take(*data, s, false).get(), s)) << s;
  EXPECT_EQ(Values(Take(*data, 11, false).get())[3], 0.0);
  EXPECT_EQ(data->ReplaceData(11, nullptr), E_FAIL);
  EXPECT_EQ(data->FreeItemCount(), 10u);
}

TEST_F(MultiDataTest, ReusedItemsShowTheObjectsAxisAttributesAndNoTagVectors) {
  auto data = Make(2, 16, 1);
  ASSERT_EQ(data->InitializeAsLinear(16, 5.0, 0.5, L"Hz"), S_OK);
  auto carrier = FakeDataItem::Make(std::make_shared<DataItemProbe>());
  ASSERT_EQ(carrier->AddAttribute(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Number").GetBSTR(), _bstr_t(L"").GetBSTR(),
                                  _variant_t(7L)),
            S_OK);
  CAttributeManager::Ref attributes;
  ASSERT_EQ(m_Attributes.AddAttributes(carrier.get(), &attributes), S_OK);
  ASSERT_EQ(data->SetAttributes(attributes), S_OK);
  {
    // A client changes everything it was given for writing.
    auto item = Take(*data, 0, true);
    vq::ComPtr<IVQAxis> axis;
    item->GetAxis(axis.put());
    ASSERT_EQ(axis->InitializeAsLinear(16, 99.0, 1.0, _bstr_t(L"s").GetBSTR()), S_OK);
    ASSERT_EQ(item->AddAttribute(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Extra").GetBSTR(), _bstr_t(L"").GetBSTR(),
                                 _variant_t(1L)),
              S_OK);
    vq::ComPtr<IVQTagVector> tags;
    item->GetTagVector(0, tags.put());
    tags->Add(1.0);
  }
  auto next = Take(*data, 1, false);  // the same data item, reused
  ASSERT_EQ(data->FreeItemCount(), 0u);
  EXPECT_EQ(AxisFirst(next.get()), 5.0);
  _variant_t value;
  EXPECT_EQ(next->GetAttributeValue(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Number").GetBSTR(), value.GetAddress()),
            S_OK);
  EXPECT_NE(next->GetAttributeValue(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Extra").GetBSTR(), value.GetAddress()),
            S_OK);
  vq::ComPtr<IVQTagVector> tags;
  next->GetTagVector(0, tags.put());
  LONG count = -1;
  tags->GetCount(&count);
  EXPECT_EQ(count, 0);
}

TEST_F(MultiDataTest, AHandOutNotYetConfirmedIsNeverRecycledByTheWorker) {
  auto data = Make(3, 8, 1);
  IUnknown* raw = nullptr;
  ASSERT_EQ(data->GetAllData(0, true, false, &raw), S_OK);
  // The memory watcher asks before the caller has added its reference.
  std::thread([&] { EXPECT_FALSE(data->IsLocked()); }).join();
  ASSERT_NE(data->SlotItem(0), nullptr);
  EXPECT_EQ(data->SlotItem(0)->DataItem(), raw);
  EXPECT_EQ(data->FreeItemCount(), 0u);
  vq::ComPtr<IUnknown> held(raw);  // now the caller's reference
  EXPECT_TRUE(data->IsLocked());

  // Confirmed by the next call under the data lock; once let go, the
  // watcher's check retires the read-only item itself...
  auto second = Take(*data, 1, false);
  held = nullptr;
  std::thread([&] { EXPECT_TRUE(data->IsLocked()); }).join();  // slot 1 is held
  EXPECT_EQ(data->SlotItem(0), nullptr);
  EXPECT_EQ(data->FreeItemCount(), 1u);
  // ...but leaves a written item to the next call under the data lock.
  second = nullptr;
  auto writer = Take(*data, 2, true);
  Write(writer.get(), 2);
  writer = nullptr;
  EXPECT_FALSE(data->IsLocked());
  EXPECT_NE(data->SlotItem(2), nullptr);
  EXPECT_TRUE(data->IsModified());  // since the hand-out: the item writes into the buffer
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 2, false).get(), 2));
}

TEST_F(MultiDataTest, FoldBackFailureKeepsTheItemAndItsValues) {
  auto data = Make(2, 4, 1);
  auto probe = std::make_shared<DataItemProbe>();
  {
    auto item = FakeDataItem::Make(probe, 4, 1);
    Write(item.get(), 1);
    ASSERT_EQ(data->ReplaceData(1, item.get()), S_OK);
  }
  probe->failBuffer = true;
  TraceCapture trace;
  EXPECT_FALSE(data->SaveToDisk());
  EXPECT_TRUE(trace.Contains("Failed to get data buffer. ThreadId="));
  EXPECT_EQ(data->ActiveItemCount(), 1u);
  probe->failBuffer = false;
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1));

  // An item whose client gave it another format is not stored as garbage,
  // and the element does not pretend to hold the old values: its accesses
  // fail until a put stores it anew.
  {
    auto item = Take(*data, 0, true);
    Write(item.get(), 0);
    ASSERT_EQ(item->Allocate(8, 1, dataFormatFloat32), S_OK);
  }
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(trace.Contains("Recycle(0): Item changed to 8x1 type 5; its values are not stored."));
  EXPECT_FALSE(Take(*data, 0, false, E_FAIL));
  EXPECT_FALSE(Part(*data, 0, 1, 2, E_FAIL));
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1));  // the other slot is untouched
  {
    auto item = FakeDataItem::Make(probe, 4, 1);
    Write(item.get(), 0);
    ASSERT_EQ(data->ReplaceData(0, item.get()), S_OK);
  }
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0));
}

TEST_F(MultiDataTest, BufferIsMappedAndItsBlockMovesWithoutACopy) {
  // 3 x 100 doubles: 2,400 bytes, not a whole number of sectors.
  auto data = Make(3, 100, 1);
  const void* buffer = data->BufferAddress();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), 0u);
  { Write(Take(*data, 2, true).get(), 2); }
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_EQ(data->BlockBytes() % m_Cache.SectorSize(), 0u);
  EXPECT_GE(data->BlockBytes(), 2400u);
  if (m_Cache.IsDirect()) {
    EXPECT_EQ(m_Ops.lastWrite.load(), buffer);  // no bounce buffer in between
    ASSERT_TRUE(data->GetAllFromDisk(false));
    EXPECT_EQ(m_Ops.lastRead.load(), data->BufferAddress());
  }
  EXPECT_TRUE(Holds(Take(*data, 2, false).get(), 2));
}

// Items show the buffer itself and keep its memory alive as long as they live.
TEST_F(MultiDataTest, ItemsShowTheBufferAndKeepItsMemoryAlive) {
  auto data = Make(3, 16, 2);
  const auto* buffer = static_cast<const uint8_t*>(data->BufferAddress());
  auto writer = Take(*data, 0, true);
  auto reader = Take(*data, 1, false);
  auto part = Part(*data, 2, 16, 31);  // the second record
  EXPECT_EQ(static_cast<const void*>(Values(writer.get())), buffer);
  EXPECT_EQ(static_cast<const void*>(Values(reader.get())), buffer + data->SlotSize());
  EXPECT_EQ(static_cast<const void*>(Values(part.get())), buffer + 2 * data->SlotSize() + 16 * sizeof(double));
  Write(writer.get(), 0);
  EXPECT_TRUE(data->IsModified());  // at the hand-out: nothing to fold back
  // Held: never saved, never given a new buffer under the items.
  EXPECT_FALSE(data->SaveToDisk());
  CDataBase::SaveWork work;
  EXPECT_EQ(data->BeginSave(&work), CDataBase::SaveStart::Failed);
  EXPECT_EQ(data->BufferAddress(), buffer);
  // A new allocation and then the object's end leave the items their values.
  ASSERT_TRUE(data->Initialize(3, 16, 2, dataFormatFloat64));
  data.reset();
  EXPECT_TRUE(Holds(writer.get(), 0));
  Write(writer.get(), 0, 1);
  EXPECT_TRUE(Holds(writer.get(), 0, 1));
  EXPECT_EQ(Values(reader.get())[31] + Values(part.get())[15], 0.0);
}

// A reshaped item leaves the buffer; the fold-back stores or loses its values.
TEST_F(MultiDataTest, AReshapedItemLeavesTheBufferAndTheFoldBackDecides) {
  auto data = Make(2, 16, 2);
  {
    auto item = Take(*data, 0, true);
    Write(item.get(), 0);
    ASSERT_EQ(item->Reshape(32, 1), S_OK);
    Write(item.get(), 0, 2);  // no longer reaches the buffer
    double first = 0;
    const double want = Pattern(0, 0);
    ASSERT_TRUE(data->ReadSlot(0, &first, sizeof first));
    EXPECT_EQ(std::memcmp(&first, &want, sizeof want), 0);
  }
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0, 2));  // another size: FoldBackFailureKeepsTheItem...
}

// A hand-out during a save shows a copy; the save loses its commit.
TEST_F(MultiDataTest, AnItemHandedOutDuringASaveShowsACopyAndTheSaveLosesItsCommit) {
  auto data = Make(2, 512, 1);
  { Write(Take(*data, 0, true).get(), 0); }
  { auto idle = Take(*data, 1, false); }  // an idle item showing the buffer
  CDataBase::SaveWork work;
  ASSERT_EQ(data->BeginSave(&work), CDataBase::SaveStart::Write);
  auto item = Take(*data, 1, true);
  EXPECT_NE(data->BufferAddress(), work.values);  // the object's copy, which the item shows
  EXPECT_EQ(data->BufferAddress(), static_cast<const void*>(Values(item.get()) - 512));
  Write(item.get(), 1);
  data->WriteSave(&work);
  EXPECT_FALSE(data->EndSave(&work));
  data->ReleaseSaved(&work);  // the written buffer is unmapped here
  EXPECT_TRUE(Holds(item.get(), 1));
  item = nullptr;
  ASSERT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0));
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1));
}

// Two clients write two elements of one buffer; dataLock stands for m_DataLock.
TEST_F(MultiDataTest, ConcurrentHandOutsOfTwoElementsOfOneObject) {
  auto data = Make(2, 256, 1);
  std::mutex dataLock;
  auto client = [&](uint32_t slot) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int round = 1; round <= 200; ++round) {
      std::unique_lock<std::mutex> lock(dataLock);
      vq::ComPtr<IVQData> item = Take(*data, slot, round % 3 != 0);
      lock.unlock();
      if (round % 3 != 0) Write(item.get(), slot, round);
      EXPECT_TRUE(round % 3 != 0 || Holds(item.get(), slot, round - 1)) << slot << " " << round;
      lock.lock();
    }
    CoUninitialize();
  };
  std::thread a(client, 0u), b(client, 1u);
  a.join();
  b.join();
  EXPECT_TRUE(data->SaveToDisk());
  EXPECT_TRUE(Holds(Take(*data, 0, false).get(), 0, 200));
  EXPECT_TRUE(Holds(Take(*data, 1, false).get(), 1, 200));
}

TEST_F(MultiDataTest, RefusesShapesWithoutBytesAndSlotsOutOfRange) {
  CMultiData data(&m_Cache, &m_Axes, &m_Attributes);
  IUnknown* out = nullptr;
  EXPECT_EQ(data.GetAllData(0, true, false, &out), E_INVALIDARG);  // never initialised
  EXPECT_TRUE(data.SaveToDisk());
  EXPECT_EQ(data.CreateInstance(), E_NOTIMPL);
  EXPECT_FALSE(data.Initialize(2, 0, 1, dataFormatFloat64));
  EXPECT_FALSE(data.Initialize(0, 8, 1, dataFormatFloat64));
  EXPECT_FALSE(data.Initialize(2, 8, 1, 9));
  EXPECT_FALSE(data.Initialize(0x10000, 0x8000, 1, dataFormatFloat64));  // beyond 32 bits
  EXPECT_FALSE(data.IsInMemory());
  ASSERT_TRUE(data.Initialize(2, 8, 1, dataFormatInt16));  // a format without a buffer pointer
  EXPECT_EQ(data.ByteSize(), 32u);
  auto item = Take(data, 1, true);
  ASSERT_TRUE(item);
  void* raw = nullptr;
  ULONGLONG bytes = 0;
  ASSERT_EQ(item->GetRawData(&raw, &bytes), S_OK);
  static_cast<int16_t*>(raw)[7] = -3;
  item = nullptr;
  ASSERT_TRUE(data.SaveToDisk());
  item = Take(data, 1, false);
  item->GetRawData(&raw, &bytes);
  EXPECT_EQ(static_cast<int16_t*>(raw)[7], -3);
  EXPECT_EQ(data.GetAllData(2, true, false, &out), E_INVALIDARG);
  EXPECT_EQ(data.GetAllData(0, true, false, nullptr), E_POINTER);
}

// The memory watcher's thread asks whether the object is locked and saves it
// (under the lock standing in for the matrix's data lock) while the client
// takes items, checks and rewrites their values, and lets go: no held item
// is ever recycled, saved or overwritten under the client.
TEST_F(MultiDataTest, StressWatcherRecyclesWhileTheClientTakesItems) {
  constexpr uint32_t kSlots = 6;
  auto data = Make(kSlots, 512, 1);
  std::mutex dataLock;
  std::atomic<bool> stop{false};
  std::atomic<int> saves{0};
  std::thread watcher([&] {
    while (!stop) {
      if (!data->IsLocked()) {
        std::lock_guard<std::mutex> lock(dataLock);
        if (data->SaveToDisk() && !data->IsInMemory()) ++saves;
      }
      std::this_thread::yield();
    }
  });
  auto take = [&](uint32_t slot, bool forWriting) {
    std::lock_guard<std::mutex> lock(dataLock);
    IUnknown* raw = nullptr;
    EXPECT_EQ(data->GetAllData(slot, true, forWriting, &raw), S_OK);
    vq::ComPtr<IVQData> item;
    if (raw != nullptr) raw->QueryInterface(IID_IVQData, item.put_void());
    return item;
  };
  std::vector<int> round(kSlots, 0);
  for (int i = 0; i < 300; ++i) {
    if (i % 25 == 24) {
      // Nothing held: the watcher must get the object out now and then.
      const int before = saves;
      for (int spin = 0; spin < 1000000 && saves == before; ++spin) std::this_thread::yield();
      ASSERT_GT(saves.load(), before);
    }
    const uint32_t slot = static_cast<uint32_t>(i * 7) % kSlots;
    auto item = take(slot, true);
    ASSERT_TRUE(item);
    if (round[slot] > 0) {
      ASSERT_TRUE(Holds(item.get(), slot, round[slot])) << "slot " << slot << " step " << i;
    }
    Write(item.get(), slot, ++round[slot]);
    auto reader = take((slot + 1) % kSlots, false);  // a second slot held at the same time
    std::this_thread::yield();
    ASSERT_TRUE(Holds(item.get(), slot, round[slot]));  // nobody wrote into the held item
    const uint32_t next = (slot + 1) % kSlots;
    if (round[next] > 0) {
      ASSERT_TRUE(Holds(reader.get(), next, round[next]));
    }
  }
  stop = true;
  watcher.join();
  for (uint32_t s = 0; s < kSlots; ++s) EXPECT_TRUE(Holds(take(s, false).get(), s, round[s]));
}

// Lets a test give the object an axis id its manager does not know.
struct SingleDataProbe : CSingleData {
  using CSingleData::CSingleData;
  void SetAxisId(uint32_t id) { m_AxisId = CAxisManager::Ref::Unowned(id); }
};

TEST_F(MultiDataTest, SingleObjectSubsetWhoseAxisCannotBeReadFailsWithoutAnItem) {
  SingleDataProbe data(&m_Cache, &m_Axes, &m_Attributes);
  ASSERT_TRUE(data.Initialize(1, 10, 1, dataFormatFloat64));
  data.SetAxisId(7);
  IUnknown* out = reinterpret_cast<IUnknown*>(1);
  EXPECT_TRUE(FAILED(data.GetDataSubset(0, true, 2, 4, &out)));
  EXPECT_EQ(out, nullptr);
}

// An item a client holds keeps its values when the object goes:
// geometry_test.cpp HeldItemOutlivesTheMatrix (both kinds).

}  // namespace
}  // namespace vq::test
