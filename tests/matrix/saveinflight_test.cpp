// The memory watcher's write runs without the matrix's data lock: while the
// write of one storage object is held in the swap file, the client's accesses
// go on, and a save whose object was touched meanwhile leaves it as the client
// made it. A randomised run checks every element's whole state against a
// model while a second thread saves all the time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "memory/FileCache.h"
#include "storage/DataBase.h"
#include "storage/MultiData.h"
#include "support/MatrixFixture.h"

namespace vq::test {
namespace {

// Between the threshold of the client's synchronous check and the worker's
// low watermark: only the worker (and ReclaimStep) saves.
constexpr uint64_t kWorkerOnly = CVQDataMatrix::kLowMemory + (8ull << 20);

class SaveInFlightTest : public KindTest {
 protected:
  // Two elements in storage objects of their own (d4 0 and 1), both used,
  // element 0 first: the next save pops element 0's object.
  vq::ComPtr<IVQDataMatrix> TwoElements() {
    auto m = NewMatrix(1, 1, 1, 2, 64, 1, dataFormatFloat64, GetParam());
    Fill(m.get(), 1.0);
    return m;
  }
  static void Write(IVQDataMatrix* m, LONG d4, double salt) {
    auto item = Get(m, 0, 0, 0, d4);
    ASSERT_TRUE(item);
    VQDataBuffer b = Buffer(item);
    for (LONG k = 0; k < b.XSize; ++k) b.pDouble[k] = Expected(static_cast<uint32_t>(d4), k, salt);
  }
  static void Check(IVQDataMatrix* m, LONG d4, double salt) {
    auto item = Get(m, 0, 0, 0, d4, false);
    ASSERT_TRUE(item);
    VQDataBuffer b = Buffer(item);
    for (LONG k = 0; k < b.XSize; ++k) {
      ASSERT_EQ(b.pDouble[k], Expected(static_cast<uint32_t>(d4), k, salt)) << "d4 " << d4 << " value " << k;
    }
  }
  // Has the worker save element 0's object and holds its write.
  void HoldSave(CVQDataMatrix* impl) {
    m_Env.HoldNextWrite();
    m_MemEnv.available = kWorkerOnly;
    m_Saver = std::async(std::launch::async, [impl] { impl->ReclaimStep(); });
    ASSERT_TRUE(m_Env.WaitForHeldWrite());
  }
  // Lets the held write go and waits until no save is in flight (ReclaimStep
  // takes the memory lock the saving thread holds; with plenty of memory it
  // saves nothing).
  void LetSaveEnd(CVQDataMatrix* impl) {
    m_MemEnv.available = kPlenty;
    m_Env.ReleaseWrite();
    m_Saver.get();
    impl->ReclaimStep();
  }
  std::future<void> m_Saver;
};

// The client's element accesses complete while the write is held: to another
// element, and to the element being saved, whose save is then dropped (its
// block freed) and whose new values stay.
TEST_P(SaveInFlightTest, AccessesGoOnWhileTheWriteIsHeldAndWinOverIt) {
  auto m = TwoElements();
  CVQDataMatrix* impl = Impl(m.get());
  HoldSave(impl);
  auto client = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the client's thread makes items
    Write(m.get(), 1, 2.0);
    Write(m.get(), 0, 3.0);
    CoUninitialize();
  });
  const bool finished = client.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  LetSaveEnd(impl);
  client.get();
  ASSERT_TRUE(finished) << "an element access waited for the held write";
  Check(m.get(), 0, 3.0);
  Check(m.get(), 1, 2.0);
  EXPECT_TRUE(impl->StorageAt(0)->IsInMemory());
  EXPECT_FALSE(impl->StorageAt(0)->IsOnDisk());
  EXPECT_EQ(impl->FileCache()->BlockCount(), 0u);
  // Saved later, the client's values come back.
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  Check(m.get(), 0, 3.0);
}

// Untouched while its write was held, the object is saved: its memory is
// free and its values come back from the block.
TEST_P(SaveInFlightTest, UntouchedObjectIsCommitted) {
  auto m = TwoElements();
  CVQDataMatrix* impl = Impl(m.get());
  HoldSave(impl);
  LetSaveEnd(impl);
  EXPECT_FALSE(impl->StorageAt(0)->IsInMemory());
  EXPECT_TRUE(impl->StorageAt(0)->IsOnDisk());
  EXPECT_EQ(impl->FileCache()->BlockCount(), 1u);
  Check(m.get(), 0, 1.0);
  Check(m.get(), 1, 1.0);
}

// Puts that move on to another object store what the client let go of in the
// one before: the worker's save of it then has nothing to fold back under
// the data lock.
TEST_P(SaveInFlightTest, PutsMovingOnStoreTheReleasedItemsOfTheObjectBefore) {
  if (GetParam() != matrixMultipleObjects) GTEST_SKIP() << "only the packed kind folds items back";
  auto m = NewMatrix(2, 1, 1, 2, 64, 1, dataFormatFloat64, GetParam());  // an object per d4
  Fill(m.get(), 1.0);
  CVQDataMatrix* impl = Impl(m.get());
  auto* first = static_cast<CMultiData*>(impl->StorageAt(0));
  auto put = [&](LONG d1, LONG d4, double salt) {
    auto item = NewItem(64, 1);
    VQDataBuffer b = Buffer(item);
    for (LONG k = 0; k < 64; ++k) b.pDouble[k] = Expected(static_cast<uint32_t>(d1 + 2 * d4), k, salt);
    ASSERT_EQ(m->put_DataPtr(d1, 0, 0, d4, item.get()), S_OK);
  };
  put(0, 0, 2.0);
  put(1, 0, 2.0);
  EXPECT_EQ(first->ActiveItemCount(), 1u) << "the last put's item waits for the object's next operation";
  put(0, 1, 2.0);
  EXPECT_EQ(first->ActiveItemCount(), 0u);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  for (LONG d1 = 0; d1 < 2; ++d1) {
    auto item = Get(m.get(), d1, 0, 0, 0, false);
    ASSERT_TRUE(item);
    EXPECT_EQ(Buffer(item).pDouble[5], Expected(static_cast<uint32_t>(d1), 5, 2.0)) << d1;
  }
}

// What the client holds about one element: shape, values, the attributes A0..A2
// of group "Run" and R0..R1 of every record.
struct ElementModel {
  LONG x = 0;
  // Reshaped by the client since the last put: a put may be refused until a
  // save has recorded the new shape (the swap file's block has the old one).
  bool reshaped = false;
  std::vector<double> values;
  std::map<int, LONG> attributes;
  std::map<std::pair<LONG, int>, LONG> records;  // (record from 1, name) -> value
};

class RandomSaveInFlightTest : public SaveInFlightTest {
 protected:
  static constexpr LONG kD1 = 2, kD4 = 3, kX = 16, kZ = 2;

  std::mt19937 m_Rng;
  uint32_t Rand(uint32_t n) { return static_cast<uint32_t>(m_Rng() % n); }

  static _bstr_t Name(char kind, int n) { return _bstr_t((std::string(1, kind) + std::to_string(n)).c_str()); }

  // Random values into the item's buffer and random attributes, mirrored in
  // the model.
  void Change(IVQData* item, ElementModel* model) {
    VQDataBuffer b = Buffer(item);
    ASSERT_EQ(b.XSize, model->x);
    for (size_t k = 0; k < model->values.size(); ++k) {
      if (Rand(2) == 0) model->values[k] = b.pDouble[k] = Rand(100000) / 8.0;
    }
    const int name = static_cast<int>(Rand(3));
    const LONG value = static_cast<LONG>(Rand(1000));
    if (Rand(2) == 0) {
      ASSERT_EQ(item->AddAttribute(_bstr_t(L"Run"), Name('A', name), _bstr_t(L""), _variant_t(value)), S_OK);
      model->attributes[name] = value;
    } else {
      const LONG record = static_cast<LONG>(1 + Rand(kZ));
      ASSERT_EQ(
          item->AddIndexedAttribute(1, record, _bstr_t(L"Run"), Name('R', name % 2), _bstr_t(L""), _variant_t(value)),
          S_OK);
      model->records[{record, name % 2}] = value;
    }
  }

  void Check(IVQDataMatrix* m, uint32_t e, const ElementModel& want) {
    const std::string where = "element " + std::to_string(e) + ": ";
    auto item = Get(m, static_cast<LONG>(e % kD1), 0, 0, static_cast<LONG>(e / kD1), false);
    ASSERT_TRUE(item);
    VQDataBuffer b = Buffer(item);
    ASSERT_EQ(b.XSize, want.x) << where << "shape";
    ASSERT_EQ(b.ZSize, kZ) << where << "shape";
    ASSERT_EQ(b.Format, dataFormatFloat64) << where << "format";
    for (size_t k = 0; k < want.values.size(); ++k) ASSERT_EQ(b.pDouble[k], want.values[k]) << where << k;
    for (int n = 0; n < 3; ++n) {
      _variant_t got;
      const HRESULT hr = item->GetAttributeValue(_bstr_t(L"Run"), Name('A', n), got.GetAddress());
      auto it = want.attributes.find(n);
      ASSERT_EQ(hr == S_OK, it != want.attributes.end()) << where << "attribute A" << n;
      if (hr == S_OK) {
        ASSERT_EQ(static_cast<LONG>(got), it->second) << where << "attribute A" << n;
      }
    }
    for (LONG r = 1; r <= kZ; ++r) {
      for (int n = 0; n < 2; ++n) {
        _variant_t got;
        const HRESULT hr = item->GetIndexedAttributeValue(1, r, _bstr_t(L"Run"), Name('R', n), got.GetAddress());
        auto it = want.records.find({r, n});
        ASSERT_EQ(hr == S_OK, it != want.records.end()) << where << "record " << r << " attribute R" << n;
        if (hr == S_OK) {
          ASSERT_EQ(static_cast<LONG>(got), it->second) << where << "record " << r;
        }
      }
    }
  }
};

// A client puts, changes, reshapes (single objects: a new record length) and
// reads elements while the worker and a second thread save storage objects
// all the time; after every operation the element equals the model.
TEST_P(RandomSaveInFlightTest, ElementsMatchTheModelWhileSavesRun) {
  auto m = NewMatrix(kD1, 1, 1, kD4, kX, kZ, dataFormatFloat64, GetParam());
  CVQDataMatrix* impl = Impl(m.get());
  const uint32_t count = kD1 * kD4;
  std::vector<ElementModel> model(count);
  for (auto& el : model) {
    el.x = kX;
    el.values.assign(kX * kZ, 0.0);
  }
  m_Rng.seed(7);
  const uint64_t writtenBefore = vq::SwapTransfers().blocksWritten;
  m_MemEnv.available = kWorkerOnly;
  std::atomic<bool> stop{false};
  std::thread saver([&] {
    while (!stop.load()) {
      impl->ReclaimStep();
      std::this_thread::yield();
    }
  });
  const bool reshape = GetParam() == matrixSingleObject;
  for (int step = 0; step < 1500 && !HasFatalFailure(); ++step) {
    const uint32_t e = Rand(count);
    const LONG d1 = static_cast<LONG>(e % kD1), d4 = static_cast<LONG>(e / kD1);
    ElementModel& el = model[e];
    const uint32_t op = Rand(10);
    if (op < 3) {  // a new item of the element's shape
      auto item = NewItem(el.x, kZ);
      ElementModel next{el.x, false, std::vector<double>(el.values.size(), 0.0), {}, {}};
      Change(item.get(), &next);
      const HRESULT hr = m->put_DataPtr(d1, 0, 0, d4, item.get());
      ASSERT_TRUE(hr == S_OK || (hr == E_FAIL && el.reshaped)) << "step " << step << " hr " << hr;
      if (hr == S_OK) el = next;
    } else if (op < 6) {  // changed through a writable item
      auto item = Get(m.get(), d1, 0, 0, d4);
      ASSERT_TRUE(item);
      Change(item.get(), &el);
    } else if (op < 7 && reshape) {  // another record length, new values
      auto item = Get(m.get(), d1, 0, 0, d4);
      ASSERT_TRUE(item);
      el.x = el.x == kX ? kX / 2 : kX;
      el.reshaped = true;
      el.values.assign(static_cast<size_t>(el.x) * kZ, 0.0);
      ASSERT_EQ(item->Allocate(el.x, kZ, dataFormatFloat64), S_OK);
      Change(item.get(), &el);
    }
    Check(m.get(), e, el);
    std::this_thread::yield();  // lets a save begin between two operations as well as during one
  }
  stop = true;
  saver.join();
  EXPECT_GT(vq::SwapTransfers().blocksWritten, writtenBefore + 20) << "the run saved too little to test anything";
  m_MemEnv.available = kPlenty;
  for (uint32_t e = 0; e < count && !HasFatalFailure(); ++e) Check(m.get(), e, model[e]);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SaveInFlightTest, kStorageKinds, KindName);
INSTANTIATE_TEST_SUITE_P(Kinds, RandomSaveInFlightTest, kStorageKinds, KindName);

}  // namespace
}  // namespace vq::test
