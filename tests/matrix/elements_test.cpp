// Element access, allocation, identifiers, labels, attributes by d4 and tag
// vectors, on both storage kinds where they behave alike.
#include "memory/FileCache.h"
#include "storage/DataBase.h"
#include "storage/SingleData.h"
#include "support/MatrixFixture.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using ElementTest = MatrixTest;

using KindElementTest = KindTest;
INSTANTIATE_TEST_SUITE_P(BothKinds, KindElementTest, kStorageKinds, KindName);

// That writes stick: model_test.cpp.
TEST_P(KindElementTest, SameItemWhileHeldAndLockedUntilBothLetGo) {
  auto m = NewMatrix(3, 2, 1, 1, 8, 2, dataFormatFloat64, GetParam());
  vq::ComPtr<IUnknown> a, b;
  ASSERT_EQ(m->get_DataPtr(1, 1, 0, 0, a.put()), S_OK);
  ASSERT_EQ(m->get_DataPtr(1, 1, 0, 0, b.put()), S_OK);
  EXPECT_EQ(a.get(), b.get());
  // Held twice: the element cannot be saved until both let go.
  uint32_t idx = 0;
  ASSERT_TRUE(Impl(m.get())->ElementIndex(1, 1, 0, 0, &idx));
  CDataBase* storage = Impl(m.get())->StorageAt(Impl(m.get())->DataIndex(idx));
  EXPECT_TRUE(storage->IsLocked());
  a = nullptr;
  EXPECT_TRUE(storage->IsLocked());
  b = nullptr;
  EXPECT_FALSE(storage->IsLocked());
}

TEST_F(ElementTest, FirstPutAllocatesEveryElementWithTheItemsShape) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize(0, 2, 2, 1, 1), S_OK);
  LONG valid = -1;
  ASSERT_EQ(m->get_IsAllDataValid(&valid), S_OK);
  EXPECT_EQ(valid, 0);  // the storage objects exist but hold nothing
  vq::ComPtr<IUnknown> none;
  ASSERT_EQ(m->get_DataPtr(0, 0, 0, 0, none.put()), S_OK);  // no item yet
  EXPECT_FALSE(none);
  EXPECT_EQ(m->get_FirstValidDataPtr(nullptr, nullptr, nullptr, nullptr, none.put()), E_FAIL);

  auto item = NewItem(5, 3, dataFormatFloat32);
  ASSERT_EQ(m->put_DataPtr(1, 1, 0, 0, item.get()), S_OK);
  ASSERT_EQ(m->get_IsAllDataValid(&valid), S_OK);
  EXPECT_EQ(valid, 1);
  for (LONG i = 0; i < 4; ++i) {
    auto e = Get(m.get(), i, 0, 0, 0, false);
    ASSERT_TRUE(e);
    VQDataBuffer b = Buffer(e);
    EXPECT_EQ(b.XSize, 5);
    EXPECT_EQ(b.ZSize, 3);
    EXPECT_EQ(b.Format, dataFormatFloat32);
  }
  // The stored item is the client's object itself.
  vq::ComPtr<IUnknown> back;
  ASSERT_EQ(m->get_DataPtr(1, 1, 0, 0, back.put()), S_OK);
  EXPECT_EQ(back.query<IVQData>().get(), item.get());
  EXPECT_EQ(m->put_DataPtr(0, 0, 0, 0, nullptr), E_POINTER);
  // Every element has an item now: the first is element 0.
  LONG d[4] = {9, 9, 9, 9};
  ASSERT_EQ(m->get_FirstValidDataPtr(&d[0], &d[1], &d[2], &d[3], back.put()), S_OK);
  EXPECT_TRUE(back);
  EXPECT_EQ(d[0] + d[1] + d[2] + d[3], 0);
  ASSERT_EQ(m->get_FirstValidDataPtr(nullptr, nullptr, nullptr, nullptr, back.put()), S_OK);
  EXPECT_EQ(m->get_FirstValidDataPtr(nullptr, nullptr, nullptr, nullptr, nullptr), E_POINTER);
}

// Before any allocation, clients may give elements their shape and values
// through the items get_DataPtr hands out. The first put only shapes the
// elements that have none: what is stored stays, and an item a client holds
// stays the element's item.
TEST_F(ElementTest, FirstPutKeepsWhatClientsAlreadyStored) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize(1, 4, 1, 1, 1), S_OK);  // items exist, without a shape
  auto fill = [](IVQData* item, double salt) {
    VQDataBuffer b = Buffer(item);
    ASSERT_NE(b.pDouble, nullptr);
    for (LONG k = 0; k < b.XSize * b.ZSize; ++k) b.pDouble[k] = salt + k;
  };
  // The shape, format 1, and unless salt is negative the values fill gave.
  auto check = [](IVQData* item, LONG x, LONG z, double salt) {
    VQDataBuffer b = Buffer(item);
    ASSERT_EQ(b.XSize, x);
    ASSERT_EQ(b.ZSize, z);
    ASSERT_EQ(b.Format, dataFormatFloat64);
    ASSERT_NE(b.pDouble, nullptr);
    for (LONG k = 0; salt >= 0 && k < x * z; ++k) ASSERT_EQ(b.pDouble[k], salt + k) << k;
  };
  // Element 0: shaped and filled through its item, which the client keeps.
  auto held = Get(m.get(), 0, 0, 0, 0);
  ASSERT_TRUE(held);
  ASSERT_EQ(held->Allocate(6, 2, dataFormatFloat64), S_OK);
  fill(held.get(), 1000.0);
  // Element 3: shaped and filled the same way, then let go.
  {
    auto released = Get(m.get(), 3, 0, 0, 0);
    ASSERT_TRUE(released);
    ASSERT_EQ(released->Allocate(5, 1, dataFormatFloat64), S_OK);
    fill(released.get(), 3000.0);
  }

  auto put = NewItem(4, 3);
  fill(put.get(), 1.0);
  ASSERT_EQ(m->put_DataPtr(1, 0, 0, 0, put.get()), S_OK);

  // The held item is still element 0's, with its values.
  auto again = Get(m.get(), 0, 0, 0, 0, false);
  ASSERT_TRUE(again);
  EXPECT_TRUE(vq::IsSameObject(again.get(), held.get()));
  check(again.get(), 6, 2, 1000.0);
  again = nullptr;
  check(Get(m.get(), 3, 0, 0, 0, false).get(), 5, 1, 3000.0);
  check(Get(m.get(), 1, 0, 0, 0, false).get(), 4, 3, 1.0);
  check(Get(m.get(), 2, 0, 0, 0, false).get(), 4, 3, -1);  // it had no shape: it takes the stored item's
  // Writes through the held item land in the matrix: they survive a swap.
  fill(held.get(), 2000.0);
  held = nullptr;
  put = nullptr;
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(Impl(m.get())->StorageAt(i)->IsOnDisk()) << i;
    EXPECT_FALSE(Impl(m.get())->StorageAt(i)->IsInMemory()) << i;
  }
  check(Get(m.get(), 0, 0, 0, 0, false).get(), 6, 2, 2000.0);
  check(Get(m.get(), 3, 0, 0, 0, false).get(), 5, 1, 3000.0);
  check(Get(m.get(), 1, 0, 0, 0, false).get(), 4, 3, 1.0);
}

TEST_F(ElementTest, ShapesClientsGiveTheirItemsCountAtOnce) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize(1, 2, 1, 1, 1), S_OK);  // items without a shape
  for (LONG d1 = 0; d1 < 2; ++d1) {
    auto item = Get(m.get(), d1, 0, 0, 0);
    ASSERT_EQ(item->Allocate(4, 1, dataFormatFloat64), S_OK);
    VQDataBuffer b = Buffer(item);
    for (LONG k = 0; k < 4; ++k) b.pDouble[k] = Expected(static_cast<uint32_t>(d1), static_cast<size_t>(k));
  }
  LONG valid = 0;
  ASSERT_EQ(m->get_IsAllDataValid(&valid), S_OK);
  EXPECT_EQ(valid, 1);
  auto result = NewItem();
  ASSERT_EQ(m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, result.get()), S_OK);
  VQDataBuffer b = Buffer(result);
  ASSERT_EQ(b.XSize * b.ZSize, 8);
  EXPECT_EQ(b.pDouble[7], Expected(1, 3));  // the values, not a record of zeros
}

TEST_P(KindElementTest, ConstAccessKeepsTheDiskCopyValid) {
  auto m = NewMatrix(2, 1, 1, 1, 64, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  CDataBase* storage = Impl(m.get())->StorageAt(0);
  ASSERT_TRUE(storage->IsOnDisk());
  EXPECT_FALSE(storage->IsInMemory());
  const uint32_t block = storage->BlockId();
  const int writes = m_Env.writes;
  { auto e = Get(m.get(), 0, 0, 0, 0, false); }
  EXPECT_TRUE(storage->IsInMemory());
  EXPECT_FALSE(storage->IsModified());
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_EQ(m_Env.writes, writes);  // read back and unchanged: freed without a write
  { auto e = Get(m.get(), 0, 0, 0, 0, true); }
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_GT(m_Env.writes, writes);
  EXPECT_EQ(storage->BlockId(), block);  // a reload keeps the block
  Verify(m.get());
}

TEST_P(KindElementTest, SubsetsOfASwappedElement) {
  auto m = NewMatrix(1, 1, 1, 1, 100, 3, dataFormatFloat64, GetParam());
  ASSERT_EQ(m->AllInitializeAsLinear(100, 5.0, 0.5, _bstr_t(L"Hz").GetBSTR()), S_OK);
  Fill(m.get());
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);

  vq::ComPtr<IUnknown> sub;
  ASSERT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 10, 19, 0, sub.put()), S_OK);
  auto item = sub.query<IVQData>();
  VQDataBuffer b = Buffer(item);
  ASSERT_EQ(b.XSize, 10);
  ASSERT_EQ(b.ZSize, 1);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(b.pDouble[k], Expected(0, 10 + k));
  vq::ComPtr<IVQAxis> axis;
  item->GetAxis(axis.put());
  double first = 0;
  axis->GetFirstValue(&first);
  EXPECT_EQ(first, 10 * 0.5 + 5.0);

  vq::ComPtr<IUnknown> inner;
  EXPECT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 12, 15, 0, inner.put()), S_FALSE);  // already covered
  EXPECT_EQ(inner.get(), sub.get());
  // Another part while the first is held: the element is locked.
  vq::ComPtr<IUnknown> other;
  EXPECT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 50, 60, 0, other.put()), E_FAIL);
  EXPECT_FALSE(other);
  inner = nullptr;
  // Across records only whole records.
  EXPECT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 50, 250, 0, other.put()), E_FAIL);
  EXPECT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 20, 10, 0, other.put()), E_FAIL);   // backwards
  EXPECT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 250, 300, 0, other.put()), E_FAIL);  // past the end
  // The held subset still reads its values. The single kind gives the whole
  // element as a new item; packed storage refuses it while a part is held.
  vq::ComPtr<IVQData> whole;
  if (GetParam() == matrixSingleObject) {
    whole = Get(m.get(), 0, 0, 0, 0, false);
    ASSERT_TRUE(whole);
    EXPECT_NE(whole.get(), item.get());
  } else {
    EXPECT_EQ(m->get_ConstDataPtr(0, 0, 0, 0, 1, other.put()), E_FAIL);
  }
  for (int k = 0; k < 10; ++k) EXPECT_EQ(b.pDouble[k], Expected(0, 10 + k));
  sub = nullptr;
  item = nullptr;
  whole = nullptr;
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  ASSERT_EQ(m->get_ConstDataSubsetPtr(0, 0, 0, 0, 100, 299, 0, other.put()), S_OK);  // records 1 and 2
  auto records = other.query<IVQData>();
  records->GetDataBuffer(&b);
  EXPECT_EQ(b.XSize, 100);
  EXPECT_EQ(b.ZSize, 2);
  EXPECT_EQ(b.pDouble[0], Expected(0, 100));
  EXPECT_EQ(b.pDouble[199], Expected(0, 299));
}

// A put of another shape is refused once the element's shape is fixed: on
// packed storage from the allocation on, on a single object from its first
// swap on (swapped out or back in memory).
TEST_P(KindElementTest, PutKeepsTheShapeOnceItIsFixed) {
  const bool packed = GetParam() == matrixMultipleObjects;
  auto m = NewMatrix(2, 1, 1, 1, 8, 1, dataFormatFloat64, GetParam());
  TraceCapture trace;
  EXPECT_EQ(m->put_DataPtr(0, 0, 0, 0, NewItem(4, 2).get()), packed ? E_FAIL : S_OK);
  EXPECT_EQ(trace.Contains("ReplaceData(0): New data and old data have different size"), packed);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_EQ(m->put_DataPtr(0, 0, 0, 0, NewItem(packed ? 4 : 8, packed ? 2 : 1).get()), E_FAIL);
  EXPECT_EQ(m->put_DataPtr(0, 0, 0, 0, NewItem(packed ? 8 : 4, packed ? 1 : 2).get()), S_OK);
  { auto reload = Get(m.get(), 1, 0, 0, 0, false); }
  EXPECT_EQ(m->put_DataPtr(1, 0, 0, 0, NewItem(4, 2).get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("New data and old data have different size"));
  auto item = NewItem(8, 1);
  ASSERT_EQ(m->put_DataPtr(1, 0, 0, 0, item.get()), S_OK);
  // While the client holds it, the element is the client's object itself.
  vq::ComPtr<IUnknown> back;
  ASSERT_EQ(m->get_DataPtr(1, 0, 0, 0, back.put()), S_OK);
  EXPECT_EQ(back.query<IVQData>().get(), item.get());
  // Its values through a swap: model_test.cpp (put, save all, check).
}

// A matrix whose items were released: initialization_test.cpp (the table of
// calls, asked again after ReleaseAllVQData).

// Identifiers (-1 for none), labels, the matrix label, the attributes of a d4
// index, lookups, puts and items by identifier as the model test sets and
// reads them (the lower element index wins a lookup; attributes and axes
// through swaps, reloads and streams): model_test.cpp. Here what it does not
// ask: refusals, texts beyond the stream's code page, an empty and a missing
// matrix label.
TEST_P(KindElementTest, IdentifiersLabelsAndAttributes) {
  auto m = NewMatrix(2, 2, 1, 1, 4, 1, dataFormatFloat64, GetParam());
  EXPECT_EQ(m->put_AttributesDataPtr(1, NewItem().get()), E_INVALIDARG);  // past the last d4 index
  EXPECT_EQ(m->put_AttributesDataPtr(-1, NewItem().get()), E_INVALIDARG);
  EXPECT_EQ(m->put_AttributesDataPtr(0, nullptr), E_INVALIDARG);
  ASSERT_EQ(m->put_ID(1, 0, 0, 0, 7), S_OK);
  LONG d[4];
  EXPECT_EQ(m->GetPositionFromID(7, &d[0], nullptr, &d[2], &d[3]), E_POINTER);
  EXPECT_EQ(m->put_DataPtrID(7, nullptr), E_POINTER);
  IUnknown* untouched = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(m->get_DataPtrID(42, &untouched), E_FAIL);
  EXPECT_EQ(untouched, reinterpret_cast<IUnknown*>(0x1));

  ASSERT_EQ(m->put_Label(1, 1, 0, 0, _bstr_t(L"Mic \u00E9 \u03A9").GetBSTR()), S_OK);
  _bstr_t label;
  ASSERT_EQ(m->get_Label(1, 1, 0, 0, label.GetAddress()), S_OK);
  EXPECT_STREQ(static_cast<const wchar_t*>(label), L"Mic \u00E9 \u03A9");
  EXPECT_EQ(m->get_Label(0, 2, 0, 0, label.GetAddress()), E_INVALIDARG);
  EXPECT_EQ(m->put_ID(0, 2, 0, 0, 1), E_INVALIDARG);

  BSTR text = nullptr;
  ASSERT_EQ(m->get_MatrixLabel(&text), S_OK);
  ASSERT_NE(text, nullptr);  // empty, not null
  EXPECT_EQ(SysStringLen(text), 0u);
  SysFreeString(text);
  ASSERT_EQ(m->put_MatrixLabel(_bstr_t(L"Run-up 3").GetBSTR()), S_OK);
  ASSERT_EQ(m->get_MatrixLabel(&text), S_OK);
  EXPECT_STREQ(text, L"Run-up 3");
  SysFreeString(text);
  ASSERT_EQ(m->put_MatrixLabel(nullptr), S_OK);
  ASSERT_EQ(m->get_MatrixLabel(&text), S_OK);
  EXPECT_EQ(text, nullptr);
}

TEST_P(KindElementTest, TagVectorsTravelWithElementZero) {
  auto m = NewMatrix(2, 1, 1, 1, 4, 1, dataFormatFloat64, GetParam());
  TraceCapture trace;
  auto carrier = NewItem();
  ASSERT_EQ(m->PutTagVectorsData(carrier.get()), S_OK);
  EXPECT_TRUE(trace.Contains("No tag vectors in input dataset"));
  ASSERT_EQ(m->GetTagVectorsData(nullptr), S_OK);  // no carrier: nothing to do

  vq::ComPtr<IVQTagVector> v0, v2;
  carrier->GetTagVector(0, v0.put());
  carrier->GetTagVector(2, v2.put());
  v0->Add(1.0);
  v2->Add(2.0);
  v2->Add(3.0);
  ASSERT_EQ(m->PutTagVectorsData(carrier.get()), S_OK);
  EXPECT_EQ(m->GetTagVectorsData(nullptr), E_POINTER);
  EXPECT_EQ(m->GetTagVectorsData(carrier.get()), S_OK);  // itself: nothing copied

  // What a fresh target receives: model_test.cpp (CheckMatrix).
  auto target = NewItem();
  vq::ComPtr<IVQTagVector> t1;
  target->GetTagVector(1, t1.put());
  t1->Add(9.0);
  ASSERT_EQ(m->GetTagVectorsData(target.get()), S_OK);
  LONG count = 0;
  t1->GetCount(&count);
  EXPECT_EQ(count, 1);  // vector 1 of the carrier is empty: the target keeps its own
  vq::ComPtr<IVQTagVector> t;

  // The carrier is the client's object: later entries are seen.
  v2->Add(4.0);
  auto first = Get(m.get(), 0, 0, 0, 0);
  first->GetTagVector(2, t.put());
  t->GetCount(&count);
  EXPECT_EQ(count, 3);
  // Only element 0 receives them: model_test.cpp (Check).

  ASSERT_EQ(m->PutTagVectorsData(nullptr), S_OK);
  EXPECT_TRUE(trace.Contains("Clearing tag vectors"));
  vq::ComPtr<IUnknown> notAnItem;
  CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(notAnItem.put()));
  EXPECT_EQ(m->PutTagVectorsData(notAnItem.get()), E_INVALIDARG);
}

TEST_F(ElementTest, PackedElementsShareOneBufferAndSwapTogether) {
  auto m = NewMatrix();
  // 3 x 2 x 1 x 2 elements of 4,096 doubles: one storage object per d4.
  ASSERT_EQ(m->Initialize2(3, 2, 1, 2, 4096, 1, dataFormatFloat64, matrixMultipleObjects), S_OK);
  CVQDataMatrix* impl = Impl(m.get());
  ASSERT_EQ(impl->DataCount(), 2u);
  EXPECT_EQ(impl->ElementsPerData(), 6u);
  Fill(m.get());
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_EQ(impl->FileCache()->BlockCount(), 2u);  // one block per buffer
  { auto e = Get(m.get(), 2, 1, 0, 1, false); }
  EXPECT_FALSE(impl->StorageAt(0)->IsInMemory());
  EXPECT_TRUE(impl->StorageAt(1)->IsInMemory());  // all six elements of d4 = 1 came back
  Verify(m.get());
}

// Elements that cannot be laid out: initialization_test.cpp
// Initialize2ThatCannotAllocateLeavesANewMatrix.

}  // namespace
}  // namespace vq::test
