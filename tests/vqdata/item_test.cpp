// Values, creation and error reporting of the data item.
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

// The library's exports (the test links only VQData, so these are its own).
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllCanUnloadNow();

namespace {

TEST(VQDataCreation, CreatedWithContext23AnswersEveryInterfaceAndSupportsErrorInfo) {
  vq::ComPtr<IVQData> item = NewItem();
  ASSERT_TRUE(item);
  vq::ComPtr<ISupportErrorInfo> sei = item.query<ISupportErrorInfo>();
  ASSERT_TRUE(sei);
  for (const IID* iid : {&IID_IVQData, &IID_IVQDataCore, &IID_IVQDataTagVectors, &IID_IVQDataPersist}) {
    vq::ComPtr<IUnknown> p;
    EXPECT_EQ(item->QueryInterface(*iid, p.put_void()), S_OK);
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(*iid), S_OK);
  }

  vq::ComPtr<IVQAxis> axis;
  ASSERT_EQ(item->GetAxis(axis.put()), S_OK);
  EXPECT_EQ(axis.query<ISupportErrorInfo>()->InterfaceSupportsErrorInfo(IID_IVQAxis), S_OK);
  vq::ComPtr<IVQTagVector> tag;
  ASSERT_EQ(item->GetTagVector(0, tag.put()), S_OK);
  EXPECT_EQ(tag.query<ISupportErrorInfo>()->InterfaceSupportsErrorInfo(IID_IVQTagVector), S_OK);
  vq::ComPtr<IVQAttributeGroups> groups;
  ASSERT_EQ(item->GetAttributes(groups.put()), S_OK);
  EXPECT_EQ(groups.query<ISupportErrorInfo>()->InterfaceSupportsErrorInfo(IID_IVQAttributeGroups), S_OK);
}

TEST(VQDataCreation, AggregationIsRefusedAndUnknownClassesAreNotServed) {
  EnsureApartment();
  vq::ComPtr<IUnknown> outer = NewItem();
  vq::ComPtr<IUnknown> p;
  EXPECT_EQ(CoCreateInstance(CLSID_VQData, outer.get(), 23, IID_IUnknown, p.put_void()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(DllGetClassObject(IID_IVQData, IID_IClassFactory, p.put_void()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(p);
}

TEST(VQDataCreation, ProgIdNamesTheClass) {
  EnsureApartment();
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"VQData.VQData", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VQData);
}

TEST(VQDataCreation, LibraryCannotUnloadWhileAnObjectOrALockLives) {
  EnsureApartment();
  {
    vq::ComPtr<IVQData> item = NewItem();
    vq::ComPtr<IVQAxis> axis;
    item->GetAxis(axis.put());
    item = nullptr;
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the axis keeps its item's parts alive
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  vq::ComPtr<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_VQData, IID_IClassFactory, factory.put_void()), S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory->LockServer(FALSE);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(VQDataValues, FreshItemHasNoValuesAndFormatOne) {
  vq::ComPtr<IVQData> item = NewItem();
  VQDataBuffer b;
  std::memset(&b, 0xCC, sizeof b);
  ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
  EXPECT_EQ(b.Format, 1);
  EXPECT_EQ(b.XSize, 0);
  EXPECT_EQ(b.ZSize, 0);
  EXPECT_EQ(b.pDouble, nullptr);
  EXPECT_EQ(Get(item.get(), &IVQData::IsAllocated), VARIANT_FALSE);
}

TEST(VQDataValues, BufferDescriptorSetsOnlyThePointerOfItsFormat) {
  vq::ComPtr<IVQData> item = NewItem();
  const LONG expectedBytes[] = {4, 8, 16, 2, 8, 4, 8};
  for (LONG format = 0; format <= 6; ++format) {
    SCOPED_TRACE(format);
    ASSERT_EQ(item->Allocate(5, 3, format), S_OK);
    VQDataBuffer b;
    ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
    EXPECT_EQ(b.Format, format);
    EXPECT_EQ(b.XSize, 5);
    EXPECT_EQ(b.ZSize, 3);
    void* raw = nullptr;
    ULONGLONG bytes = 0;
    ASSERT_EQ(item->GetRawData(&raw, &bytes), S_OK);
    EXPECT_EQ(bytes, 15u * static_cast<ULONGLONG>(expectedBytes[format]));
    EXPECT_EQ(VQDataBytesPerValue(format), expectedBytes[format]);
    const void* pointers[] = {b.pLong, b.pDouble, b.pComplexDouble, b.pFloat, b.pComplexFloat};
    const LONG owner[] = {0, 1, 2, 5, 6};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pointers[i], owner[i] == format ? raw : nullptr) << "field " << i;
    ASSERT_NE(raw, nullptr);
    std::memset(raw, 0x5A, static_cast<size_t>(bytes));  // the whole buffer is writable
  }
  EXPECT_EQ(VQDataBytesPerValue(7), 0);
  EXPECT_EQ(VQDataBytesPerValue(-1), 0);
}

TEST(VQDataValues, OverflowingOrInvalidSizesAreRefusedAndLeaveTheValues) {
  vq::ComPtr<IVQData> item = NewItem();
  ASSERT_EQ(item->Allocate(4, 2, 1), S_OK);
  VQDataBuffer before;
  item->GetDataBuffer(&before);
  before.pDouble[7] = 42.0;

  struct Case {
    LONG x, z, format;
  } cases[] = {{0x7FFFFFFF, 0x7FFFFFFF, 2}, {0x7FFFFFFF, 0x7FFFFFFF, 3}, {1 << 24, 1 << 24, 1},
               {-1, 5, 1},                  {5, -1, 1},                  {4, 2, 7},
               {4, 2, -3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " x " << c.z << " format " << c.format);
    ClearErrorInfo();
    HRESULT hr = item->Allocate(c.x, c.z, c.format);
    EXPECT_TRUE(hr == E_INVALIDARG || hr == E_OUTOFMEMORY) << std::hex << hr;
    EXPECT_NE(LastErrorDescription().find(L"Allocate"), std::wstring::npos);
    VQDataBuffer after;
    item->GetDataBuffer(&after);
    EXPECT_EQ(after.pDouble, before.pDouble);
    EXPECT_EQ(after.XSize, 4);
    EXPECT_EQ(after.pDouble[7], 42.0);
  }
  ClearErrorInfo();
  EXPECT_EQ(item->Allocate(0x7FFFFFFF, 0x7FFFFFFF, 2), E_INVALIDARG);
  EXPECT_EQ(LastErrorDescription().find(L"size overflows") != std::wstring::npos, true);
}

TEST(VQDataValues, LargeBuffersAreAlignedForDirectTransfers) {
  vq::ComPtr<IVQData> item = NewItem();
  ASSERT_EQ(item->Allocate(VQDATA_SYSTEM_BUFFER_THRESHOLD / 8 + 3, 2, 1), S_OK);
  VQDataBuffer b;
  item->GetDataBuffer(&b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.pDouble) % VQDATA_DIRECT_ALIGNMENT, 0u);
  ASSERT_EQ(item->Allocate(3, 1, 5), S_OK);
  item->GetDataBuffer(&b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.pFloat) % 64, 0u);
}

TEST(VQDataValues, SetDataBufferCopiesAndMayTakeTheItemsOwnStorage) {
  vq::ComPtr<IVQData> item = NewItem();
  double source[6] = {1, 2, 3, 4, 5, 6};
  VQDataBuffer in{};
  in.Format = 1;
  in.XSize = 3;
  in.ZSize = 2;
  in.pDouble = source;
  ASSERT_EQ(item->SetDataBuffer(in), S_OK);
  source[0] = -1;
  DOUBLE v = 0;
  item->GetValue(0, 0, &v, nullptr);
  EXPECT_EQ(v, 1.0);
  item->GetValue(2, 1, &v, nullptr);
  EXPECT_EQ(v, 6.0);

  VQDataBuffer own;
  item->GetDataBuffer(&own);
  ASSERT_EQ(item->SetDataBuffer(own), S_OK);  // copy from itself
  item->GetValue(1, 1, &v, nullptr);
  EXPECT_EQ(v, 5.0);

  in.pDouble = nullptr;
  EXPECT_EQ(item->SetDataBuffer(in), E_POINTER);
  in.Format = 3;
  EXPECT_EQ(item->SetDataBuffer(in), E_INVALIDARG);
  in.Format = 9;
  EXPECT_EQ(item->SetDataBuffer(in), E_INVALIDARG);
}

TEST(VQDataValues, FormatsWithoutPointerFieldGoThroughRawData) {
  vq::ComPtr<IVQData> item = NewItem();
  int16_t shorts[4] = {-3, 7, 32767, -32768};
  ASSERT_EQ(item->SetRawData(2, 2, 3, shorts, sizeof shorts), S_OK);
  DOUBLE v = 0;
  item->GetValue(0, 1, &v, nullptr);
  EXPECT_EQ(v, 32767.0);
  EXPECT_EQ(item->SetRawData(2, 2, 3, shorts, sizeof shorts - 1), E_INVALIDARG);
  EXPECT_EQ(item->SetValue(1, 1, 40000.0, 0.0), DISP_E_OVERFLOW);
  EXPECT_EQ(item->SetValue(1, 1, 2.6, 0.0), S_OK);
  item->GetValue(1, 1, &v, nullptr);
  EXPECT_EQ(v, 3.0);
}

TEST(VQDataValues, ComplexFormatsKeepBothParts) {
  vq::ComPtr<IVQData> item = NewItem();
  ASSERT_EQ(item->Allocate(2, 1, 2), S_OK);
  ASSERT_EQ(item->SetValue(1, 0, 1.5, -2.5), S_OK);
  VQDataBuffer b;
  item->GetDataBuffer(&b);
  EXPECT_EQ(b.pComplexDouble[1].re, 1.5);
  EXPECT_EQ(b.pComplexDouble[1].im, -2.5);
  ASSERT_EQ(item->Allocate(2, 1, 6), S_OK);
  ASSERT_EQ(item->SetValue(0, 0, 0.25, 4.0), S_OK);
  DOUBLE re = 0, im = 0;
  item->GetValue(0, 0, &re, &im);
  EXPECT_EQ(re, 0.25);
  EXPECT_EQ(im, 4.0);
  EXPECT_EQ(item->SetValue(0, 0, 1e300, 0.0), DISP_E_OVERFLOW);
}

TEST(VQDataValues, OutOfRangePositionsAreRefused) {
  vq::ComPtr<IVQData> item = NewItem();
  item->Allocate(3, 2, 1);
  DOUBLE v;
  EXPECT_EQ(item->GetValue(3, 0, &v, nullptr), E_INVALIDARG);
  EXPECT_EQ(item->GetValue(0, 2, &v, nullptr), E_INVALIDARG);
  EXPECT_EQ(item->GetValue(-1, 0, &v, nullptr), E_INVALIDARG);
  LONG size = 0;
  EXPECT_EQ(item->GetSize(2, &size), E_INVALIDARG);
  double values[3];
  EXPECT_EQ(item->GetRecordValues(1, 4, values), E_INVALIDARG);
  void* p = nullptr;
  EXPECT_EQ(item->GetRecordPointer(2, &p), E_INVALIDARG);
  EXPECT_EQ(item->GetRecordPointer(1, &p), S_OK);
  VQDataBuffer b;
  item->GetDataBuffer(&b);
  EXPECT_EQ(p, b.pDouble + 3);
}

TEST(VQDataValues, FreeDataDropsValuesButKeepsFormatAxisAttributesAndTags) {
  vq::ComPtr<IVQData> item = NewItem();
  item->Allocate(10, 2, 5);
  vq::ComPtr<IVQAxis> axis;
  item->GetAxis(axis.put());
  axis->InitializeAsLinear(10, 1.0, 0.5, Text(L"Hz"));
  item->AddAttribute(Text(L"G"), Text(L"A"), Text(L""), _variant_t(3));
  vq::ComPtr<IVQTagVector> tag;
  item->GetTagVector(2, tag.put());
  tag->Add(7.0);
  ASSERT_EQ(item->FreeData(), S_OK);
  EXPECT_EQ(Get(item.get(), &IVQData::GetSize, 0), 0);
  EXPECT_EQ(Get(item.get(), &IVQData::GetSize, 1), 0);
  EXPECT_EQ(Get(item.get(), &IVQData::GetFormat), 5);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetSize), 10);
  EXPECT_EQ(Get(tag.get(), &IVQTagVector::GetCount), 1);
  _variant_t out;
  EXPECT_EQ(item->GetAttributeValue(Text(L"G"), Text(L"A"), &out), S_OK);
  EXPECT_EQ(out, _variant_t(3));
}

TEST(VQDataValues, ReshapeKeepsTheValueCountAndStatisticsSkipNaN) {
  vq::ComPtr<IVQData> item = NewItem();
  double vals[6] = {3, NAN, -2, 8, 0, 1};
  ASSERT_EQ(item->SetRawData(3, 2, 1, vals, sizeof vals), S_OK);
  EXPECT_EQ(item->Reshape(2, 3), S_OK);
  EXPECT_EQ(item->Reshape(4, 2), E_INVALIDARG);
  DOUBLE lo = 0, hi = 0;
  ASSERT_EQ(item->GetMinMax(&lo, &hi), S_OK);
  EXPECT_EQ(lo, -2.0);
  EXPECT_EQ(hi, 8.0);
  ASSERT_EQ(item->SetAllValues(2.0), S_OK);
  item->GetMinMax(&lo, &hi);
  EXPECT_EQ(lo, 2.0);
  EXPECT_EQ(hi, 2.0);
  item->FreeData();
  EXPECT_EQ(item->GetMinMax(&lo, &hi), E_FAIL);
}

TEST(VQDataValues, CloneAndCopyValuesFromCopyEverythingIndependently) {
  vq::ComPtr<IVQData> item = NewItem();
  int64_t big[2] = {INT64_MIN, INT64_MAX};
  item->SetRawData(2, 1, 4, big, sizeof big);
  item->SetName(Text(L"source"));
  vq::ComPtr<IVQData> copy;
  ASSERT_EQ(item->Clone(copy.put()), S_OK);
  vq::ComPtr<IVQData> other = NewItem();
  ASSERT_EQ(other->CopyValuesFrom(item.get()), S_OK);
  for (IVQData* target : {copy.get(), other.get()}) {
    void* p = nullptr;
    ULONGLONG bytes = 0;
    target->GetRawData(&p, &bytes);
    void* mine = nullptr;
    item->GetRawData(&mine, &bytes);
    ASSERT_EQ(bytes, sizeof big);
    EXPECT_NE(p, mine);
    EXPECT_EQ(std::memcmp(p, big, sizeof big), 0);
  }
  EXPECT_EQ(TakeText(Get(copy.get(), &IVQData::GetName)), L"source");
  vq::ComPtr<IVQData> like = NewItem();
  ASSERT_EQ(like->AllocateLike(item.get()), S_OK);
  EXPECT_EQ(Get(like.get(), &IVQData::GetFormat), 4);
}

TEST(VQDataErrors, FailuresLeaveADescriptionOnTheThread) {
  vq::ComPtr<IVQData> item = NewItem();
  ClearErrorInfo();
  EXPECT_EQ(item->GetTagVector(4, nullptr), E_POINTER);
  EXPECT_NE(LastErrorDescription(), L"");
  vq::ComPtr<IVQTagVector> tag;
  EXPECT_EQ(item->GetTagVector(4, tag.put()), E_INVALIDARG);
  EXPECT_NE(LastErrorDescription().find(L"GetTagVector"), std::wstring::npos);
  vq::ComPtr<IErrorInfo> info;
  item->GetSize(5, nullptr);
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  EXPECT_EQ(Get(info.get(), &IErrorInfo::GetGUID), IID_IVQData);
  EXPECT_EQ(TakeText(Get(info.get(), &IErrorInfo::GetSource)), L"VQData.VQData");
}

TEST(VQDataThreads, ItemsAreReadAndReleasedOnAnotherThread) {
  vq::ComPtr<IVQData> item = NewItem();
  item->Allocate(1000, 4, 1);
  item->SetAllValues(1.0);
  std::thread reader([copy = item]() mutable {
    for (int i = 0; i < 200; ++i) {
      VQDataBuffer b;
      copy->GetDataBuffer(&b);
      LONG n = 0;
      copy->GetSize(0, &n);
      copy->AddIndexedAttribute(1, 1 + i % 4, Text(L"G"), Text(L"i"), Text(L""), _variant_t(i));
    }
    copy = nullptr;  // the last reference may well go here
  });
  for (int i = 0; i < 200; ++i) {
    vq::ComPtr<IVQAttributeGroups> groups;
    item->GetAttributes(groups.put());
    item->AddAttribute(Text(L"G"), Text(L"n"), Text(L""), _variant_t(i));
    ULONGLONG bytes = 0;
    item->GetByteSize(&bytes);
    EXPECT_EQ(bytes, 32000u);
  }
  item = nullptr;
  reader.join();
}

// Calls slot `slot` of the interface's vtable with the given arguments, as a
// client compiled against the original layout would (Itanium C++ ABI: the
// vtable pointer leads the object, IUnknown's three functions fill slots 0
// to 2, `this` is the first argument).
template <class... Args>
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
HRESULT CallSlot(void* iface, int slot, Args... args) {
  using Fn = HRESULT (*)(void*, Args...);
  void** vtable = *static_cast<void***>(iface);
  Fn fn = reinterpret_cast<Fn>(vtable[slot]);
  return fn(iface, args...);
}

// What the getter at `slot` stores through its last parameter.
template <class T, class... Args>
T SlotOut(void* iface, int slot, Args... args) {
  T value{};
  EXPECT_EQ(CallSlot(iface, slot, args..., &value), S_OK) << "slot " << slot;
  return value;
}

TEST(VQDataSlots, NamedOperationsSitAtTheirSlots) {
  vq::ComPtr<IVQData> item = NewItem();
  IVQData* d = item.get();
  ASSERT_EQ(CallSlot(d, 9, LONG{4}, LONG{3}, LONG{5}), S_OK);  // Allocate
  EXPECT_EQ(SlotOut<LONG>(d, 23), 5);                          // GetFormat
  EXPECT_EQ(SlotOut<LONG>(d, 7, LONG{1}), 3);                  // GetSize
  VQDataBuffer b{};
  ASSERT_EQ(CallSlot(d, 44, &b), S_OK);  // GetDataBuffer
  EXPECT_EQ(b.XSize, 4);
  float values[2] = {1.f, 2.f};
  VQDataBuffer in{};
  in.Format = 5;
  in.XSize = 2;
  in.ZSize = 1;
  in.pFloat = values;
  ASSERT_EQ(CallSlot(d, 11, in), S_OK);  // SetDataBuffer by value
  EXPECT_EQ(SlotOut<LONG>(d, 7, LONG{0}), 2);
  // VARIANTs by value as the layout passes them (a _variant_t would go by reference).
  VARIANT v = _variant_t(9), one = _variant_t(1), two = _variant_t(2);
  ASSERT_EQ(CallSlot(d, 39, static_cast<BSTR>(Text(L"g")), static_cast<BSTR>(Text(L"a")),
                     static_cast<BSTR>(Text(L"s")), v),
            S_OK);  // AddAttribute
  ASSERT_EQ(CallSlot(d, 41, LONG{1}, LONG{2}, static_cast<BSTR>(Text(L"g")), static_cast<BSTR>(Text(L"a")),
                     static_cast<BSTR>(Text(L"s")), v),
            S_OK);  // AddIndexedAttribute
  IVQAttributeGroups* groups = nullptr;
  ASSERT_EQ(CallSlot(d, 4, &groups), S_OK);  // GetAttributes
  EXPECT_EQ(SlotOut<LONG>(groups, 9), 1);    // GetCount
  IVQAttributeGroup* group = nullptr;
  ASSERT_EQ(CallSlot(groups, 8, one, &group), S_OK);  // GetItem
  EXPECT_EQ(TakeText(SlotOut<BSTR>(group, 14)), L"g");  // GetName
  EXPECT_EQ(TakeText(SlotOut<BSTR>(group, 16)), L"s");  // GetSecondName
  EXPECT_EQ(SlotOut<LONG>(group, 9), 1);                // GetCount
  IVQAttribute* attribute = nullptr;
  ASSERT_EQ(CallSlot(group, 8, one, &attribute), S_OK);  // GetItem
  EXPECT_EQ(TakeText(SlotOut<BSTR>(attribute, 9)), L"a");  // GetName
  _variant_t out;
  CallSlot(attribute, 7, static_cast<VARIANT*>(&out));  // GetValue
  EXPECT_EQ(out, _variant_t(9));
  attribute->Release();
  group->Release();
  groups->Release();
  IVQIndexedAttributes* indexed = nullptr;
  ASSERT_EQ(CallSlot(d, 5, LONG{1}, &indexed), S_OK);  // GetIndexedAttributes
  EXPECT_EQ(SlotOut<LONG>(indexed, 9), 2);             // GetCount
  ASSERT_EQ(CallSlot(indexed, 8, two, &groups), S_OK);  // GetItem
  EXPECT_EQ(SlotOut<LONG>(groups, 9), 1);
  groups->Release();
  indexed->Release();

  IVQAxis* axis = nullptr;
  ASSERT_EQ(CallSlot(d, 8, &axis), S_OK);  // GetAxis
  ASSERT_EQ(CallSlot(axis, 3, LONG{5}, 10.0, 2.0, static_cast<BSTR>(Text(L"s"))), S_OK);  // InitializeAsLinear
  EXPECT_EQ(SlotOut<DOUBLE>(axis, 11), 10.0);                                             // GetFirstValue
  EXPECT_EQ(SlotOut<DOUBLE>(axis, 12), 2.0);                                              // GetDelta
  EXPECT_EQ(SlotOut<LONG>(axis, 9), 5);                                                   // GetSize
  EXPECT_EQ(TakeText(SlotOut<BSTR>(axis, 10)), L"s");                                     // GetUnit
  EXPECT_EQ(SlotOut<LONG>(axis, 20, 13.1), 2);                                            // GetIndexOfValue
  ASSERT_EQ(CallSlot(axis, 4, LONG{3}, 1.0, 10.0, static_cast<BSTR>(Text(L"x"))), S_OK);  // InitializeAsKind1
  EXPECT_EQ(SlotOut<LONG>(axis, 8), 1);                                                   // GetKind
  ASSERT_EQ(CallSlot(axis, 5, LONG{28}, LONG{13}, LONG{3}, static_cast<BSTR>(Text(L"Hz"))), S_OK);  // InitializeAsBands
  EXPECT_EQ(SlotOut<LONG>(axis, 13), 13);                                                           // GetFirstBand
  EXPECT_EQ(SlotOut<LONG>(axis, 14), 3);                                                            // GetFraction
  axis->Release();

  IVQTagVector* tag = nullptr;
  ASSERT_EQ(CallSlot(d, 26, LONG{1}, &tag), S_OK);  // GetTagVector
  tag->Add(1.0);
  vq::ComPtr<IVQDataTagVectors> tv = item.query<IVQDataTagVectors>();
  IVQTagVector* tag2 = nullptr;
  ASSERT_EQ(CallSlot(tv.get(), 30, LONG{1}, &tag2), S_OK);  // IVQDataTagVectors::GetTagVector
  EXPECT_EQ(tag2, tag);
  vq::ComPtr<IVQData> other = NewItem();
  IVQTagVector* target = nullptr;
  other->GetTagVector(1, &target);
  ASSERT_EQ(CallSlot(tag, 12, target), S_OK);  // CopyTo
  EXPECT_EQ(SlotOut<LONG>(target, 9), 1);      // GetCount
  target->Release();
  tag2->Release();
  tag->Release();

  vq::ComPtr<IVQDataPersist> persist = item.query<IVQDataPersist>();
  vq::ComPtr<IStream> stream = NewStream();
  ASSERT_EQ(CallSlot(persist.get(), 3, stream.get()), S_OK);  // SaveToStream
  Rewind(stream.get());
  vq::ComPtr<IVQDataPersist> otherPersist = other.query<IVQDataPersist>();
  ASSERT_EQ(CallSlot(otherPersist.get(), 4, stream.get()), S_OK);  // LoadFromStream

  ASSERT_EQ(CallSlot(d, 48), S_OK);  // FreeData
  EXPECT_EQ(Get(d, &IVQData::GetSize, 0), 0);
}

}  // namespace
