// Attributes and indexed attributes: order, lookup, live views, copies.
#include <vector>

#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

struct Record {
  std::wstring group, name, second;
  LONG value;
  bool operator==(const Record&) const = default;
};

// Reads the group list the way the matrix's attribute manager does.
std::vector<Record> ReadGroups(IVQAttributeGroups* groups) {
  std::vector<Record> out;
  for (LONG g = 1, n = Get(groups, &IVQAttributeGroups::GetCount); g <= n; ++g) {
    vq::ComPtr<IVQAttributeGroup> group;
    EXPECT_EQ(groups->GetItem(_variant_t(g), group.put()), S_OK);
    const std::wstring gn = TakeText(Get(group.get(), &IVQAttributeGroup::GetName));
    const std::wstring gs = TakeText(Get(group.get(), &IVQAttributeGroup::GetSecondName));
    for (LONG a = 1, m = Get(group.get(), &IVQAttributeGroup::GetCount); a <= m; ++a) {
      vq::ComPtr<IVQAttribute> attribute;
      EXPECT_EQ(group->GetItem(_variant_t(a), attribute.put()), S_OK);
      _variant_t v;
      attribute->GetValue(&v);
      out.push_back({gn, TakeText(Get(attribute.get(), &IVQAttribute::GetName)), gs, static_cast<int>(v)});
    }
  }
  return out;
}

void Add(IVQData* item, const wchar_t* group, const wchar_t* name, const wchar_t* second, LONG value) {
  ASSERT_EQ(item->AddAttribute(Text(group), Text(name), Text(second), _variant_t(static_cast<int>(value))), S_OK);
}

TEST(VQAttributes, GroupsAreCreatedOnDemandAndKeepInsertionOrder) {
  vq::ComPtr<IVQData> item = NewItem();
  Add(item.get(), L"Channel", L"Gain", L"A", 1);
  Add(item.get(), L"Run", L"Number", L"", 2);
  Add(item.get(), L"Channel", L"Offset", L"A", 3);
  Add(item.get(), L"Channel", L"Gain", L"B", 4);  // another second name: another group
  Add(item.get(), L"Channel", L"Gain", L"A", 5);  // same attribute: value replaced in place
  vq::ComPtr<IVQAttributeGroups> groups;
  ASSERT_EQ(item->GetAttributes(groups.put()), S_OK);
  const std::vector<Record> expected = {{L"Channel", L"Gain", L"A", 5},
                                        {L"Channel", L"Offset", L"A", 3},
                                        {L"Run", L"Number", L"", 2},
                                        {L"Channel", L"Gain", L"B", 4}};
  EXPECT_EQ(ReadGroups(groups.get()), expected);
  EXPECT_EQ(Get(groups.get(), &IVQAttributeGroups::GetAttributeCount), 4);
}

TEST(VQAttributes, ItemsAreFoundByIntegerIndexOfAnyTypeOrByName) {
  vq::ComPtr<IVQData> item = NewItem();
  Add(item.get(), L"First", L"x", L"", 1);
  Add(item.get(), L"Second", L"y", L"", 2);
  vq::ComPtr<IVQAttributeGroups> groups;
  item->GetAttributes(groups.put());
  for (VARTYPE vt : {VT_I2, VT_I4, VT_UI1, VT_R8, VT_I8, VT_UI4}) {
    _variant_t index(2);
    index.ChangeType(vt);
    vq::ComPtr<IVQAttributeGroup> group;
    ASSERT_EQ(groups->GetItem(index, group.put()), S_OK) << vt;
    EXPECT_EQ(TakeText(Get(group.get(), &IVQAttributeGroup::GetName)), L"Second");
  }
  vq::ComPtr<IVQAttributeGroup> group;
  ASSERT_EQ(groups->GetItem(_variant_t(L"Second"), group.put()), S_OK);
  _variant_t value;
  ASSERT_EQ(group->GetValue(_variant_t(L"y"), &value), S_OK);
  EXPECT_EQ(value, _variant_t(2));

  ClearErrorInfo();
  for (LONG bad : {0, 3, -1}) {
    EXPECT_EQ(groups->GetItem(_variant_t(bad), group.put()), E_INVALIDARG);
    EXPECT_FALSE(group);
  }
  EXPECT_NE(LastErrorDescription().find(L"outside 1..2"), std::wstring::npos);
  EXPECT_EQ(groups->GetItem(_variant_t(L"Third"), group.put()), E_INVALIDARG);
  EXPECT_EQ(groups->GetItem(_variant_t(static_cast<IUnknown*>(nullptr)), group.put()), DISP_E_TYPEMISMATCH);
}

TEST(VQAttributes, IndexedAttributesAreKeptPerRecordAndEveryRecordAnswers) {
  vq::ComPtr<IVQData> item = NewItem();
  item->Allocate(2, 5, 1);
  ASSERT_EQ(item->AddIndexedAttribute(1, 3, Text(L"G"), Text(L"a"), Text(L""), _variant_t(7)), S_OK);
  ASSERT_EQ(item->AddIndexedAttribute(1, 3, Text(L"G"), Text(L"b"), Text(L""), _variant_t(8)), S_OK);
  ASSERT_EQ(item->AddIndexedAttribute(1, 1, Text(L"H"), Text(L"c"), Text(L""), _variant_t(9)), S_OK);
  EXPECT_EQ(item->AddIndexedAttribute(2, 1, Text(L"H"), Text(L"c"), Text(L""), _variant_t(9)), E_INVALIDARG);
  EXPECT_EQ(item->AddIndexedAttribute(1, 0, Text(L"H"), Text(L"c"), Text(L""), _variant_t(9)), E_INVALIDARG);

  vq::ComPtr<IVQIndexedAttributes> indexed;
  EXPECT_EQ(item->GetIndexedAttributes(0, indexed.put()), E_INVALIDARG);
  ASSERT_EQ(item->GetIndexedAttributes(1, indexed.put()), S_OK);
  EXPECT_EQ(Get(indexed.get(), &IVQIndexedAttributes::GetCount), 3);
  std::vector<size_t> sizes;
  for (LONG z = 1; z <= 5; ++z) {
    vq::ComPtr<IVQAttributeGroups> groups;
    ASSERT_EQ(indexed->GetItem(_variant_t(z), groups.put()), S_OK);
    sizes.push_back(ReadGroups(groups.get()).size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 0, 2, 0, 0}));
  LONG next = 0;
  EXPECT_EQ(indexed->GetNextRecord(1, &next), S_OK);
  EXPECT_EQ(next, 3);
  EXPECT_EQ(indexed->GetNextRecord(3, &next), S_FALSE);
  VARIANT out;
  ASSERT_EQ(item->GetIndexedAttributeValue(1, 3, Text(L"G"), Text(L"b"), &out), S_OK);
  EXPECT_EQ(out.lVal, 8);
  EXPECT_EQ(item->GetIndexedAttributeValue(1, 2, Text(L"G"), Text(L"b"), &out), TYPE_E_ELEMENTNOTFOUND);
  // Indexed attributes do not show among the item's own.
  vq::ComPtr<IVQAttributeGroups> plain;
  item->GetAttributes(plain.put());
  EXPECT_EQ(Get(plain.get(), &IVQAttributeGroups::GetCount), 0);
}

TEST(VQAttributes, ViewsAreLiveAndOutliveRemovalOfTheirNode) {
  vq::ComPtr<IVQData> item = NewItem();
  vq::ComPtr<IVQAttributeGroups> groups;
  item->GetAttributes(groups.put());
  Add(item.get(), L"G", L"a", L"", 1);
  EXPECT_EQ(Get(groups.get(), &IVQAttributeGroups::GetCount), 1);
  vq::ComPtr<IVQAttributeGroup> group;
  groups->GetItem(_variant_t(1), group.put());
  ASSERT_EQ(group->AddAttribute(Text(L"b"), _variant_t(2)), S_OK);
  _variant_t out;
  ASSERT_EQ(item->GetAttributeValue(Text(L"G"), Text(L"b"), &out), S_OK);
  EXPECT_EQ(out, _variant_t(2));
  ASSERT_EQ(item->ClearAttributes(), S_OK);
  EXPECT_EQ(Get(group.get(), &IVQAttributeGroup::GetCount), 2);  // the detached group still answers
  EXPECT_EQ(Get(groups.get(), &IVQAttributeGroups::GetCount), 0);
}

TEST(VQAttributes, UnstorableValuesAreRefusedAndByRefValuesDereferenced) {
  vq::ComPtr<IVQData> item = NewItem();
  VARIANT v{};
  v.vt = VT_UNKNOWN;
  v.punkVal = item.get();
  EXPECT_EQ(item->AddAttribute(Text(L"G"), Text(L"a"), Text(L""), v), DISP_E_BADVARTYPE);
  v.vt = VT_ARRAY | VT_I4;
  v.parray = nullptr;
  EXPECT_EQ(item->AddAttribute(Text(L"G"), Text(L"a"), Text(L""), v), DISP_E_BADVARTYPE);
  double d = 2.5;
  v.vt = VT_BYREF | VT_R8;
  v.pdblVal = &d;
  ASSERT_EQ(item->AddAttribute(Text(L"G"), Text(L"a"), Text(L""), v), S_OK);
  d = 0;
  _variant_t out;
  item->GetAttributeValue(Text(L"G"), Text(L"a"), &out);
  EXPECT_EQ(out, _variant_t(2.5));
}

TEST(VQAttributes, CopyAttributesToAddsEveryRecordInOrder) {
  vq::ComPtr<IVQData> item = NewItem();
  Add(item.get(), L"A", L"x", L"1", 1);
  Add(item.get(), L"B", L"y", L"2", 2);
  item->AddIndexedAttribute(1, 2, Text(L"C"), Text(L"z"), Text(L""), _variant_t(3));
  vq::ComPtr<IVQData> target = NewItem();
  Add(target.get(), L"B", L"y", L"2", 99);
  ASSERT_EQ(item->CopyAttributesTo(target.get()), S_OK);
  vq::ComPtr<IVQAttributeGroups> groups;
  target->GetAttributes(groups.put());
  // The target's own group stays first, its value replaced.
  EXPECT_EQ(ReadGroups(groups.get()), (std::vector<Record>{{L"B", L"y", L"2", 2}, {L"A", L"x", L"1", 1}}));
  _variant_t out;
  EXPECT_EQ(target->GetIndexedAttributeValue(1, 2, Text(L"C"), Text(L"z"), &out), S_OK);
  EXPECT_EQ(item->CopyAttributesTo(item.get()), S_OK);  // onto itself: no deadlock, no change
  item->GetAttributes(groups.put());
  EXPECT_EQ(ReadGroups(groups.get()).size(), 2u);
}

TEST(VQAttributes, RemovalAndTextConversions) {
  vq::ComPtr<IVQData> item = NewItem();
  Add(item.get(), L"G", L"a", L"", 12);
  vq::ComPtr<IVQAttributeGroup> group;
  ASSERT_EQ(item->AddAttributeGroup(Text(L"G"), Text(L""), group.put()), S_OK);
  vq::ComPtr<IVQAttribute> attribute;
  group->GetItem(_variant_t(1), attribute.put());
  EXPECT_EQ(TakeText(Get(attribute.get(), &IVQAttribute::GetValueAsString)), L"12");
  EXPECT_EQ(Get(attribute.get(), &IVQAttribute::GetValueAsDouble), 12.0);
  LONG index = 0;
  EXPECT_EQ(group->GetIndexOf(Text(L"a"), &index), S_OK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(group->GetIndexOf(Text(L"nope"), &index), S_FALSE);
  EXPECT_EQ(item->RemoveAttribute(Text(L"G"), Text(L"a")), S_OK);
  EXPECT_EQ(item->RemoveAttribute(Text(L"G"), Text(L"a")), S_FALSE);
  EXPECT_EQ(Get(group.get(), &IVQAttributeGroup::GetCount), 0);
}

}  // namespace
