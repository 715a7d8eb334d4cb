// The axis and attribute managers: sharing of equal definitions, the
// emptiness rules, refusals, restoring into fresh items, and two threads.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "VQDataMatrixLib.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "support/TraceCapture.h"

namespace {

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void TearDown() override { CoUninitialize(); }

  static vq::ComPtr<IVQData> NewItem() {
    vq::ComPtr<IVQData> item;
    EXPECT_EQ(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, item.put_void()), S_OK);
    return item;
  }
  static vq::ComPtr<IVQAxis> AxisOf(IVQData* item) {
    vq::ComPtr<IVQAxis> axis;
    EXPECT_EQ(item->GetAxis(axis.put()), S_OK);
    return axis;
  }
  static vq::ComPtr<IVQAxis> Linear(LONG size, double first, double delta, const wchar_t* unit) {
    auto item = NewItem();
    auto axis = AxisOf(item.get());
    EXPECT_EQ(axis->InitializeAsLinear(size, first, delta, _bstr_t(unit).GetBSTR()), S_OK);
    return axis;
  }
};

TEST_F(ManagerTest, EqualAxesShareOneId) {
  CAxisManager axes;
  // 1e-7 lies within the tolerance; the unit tells axes apart.
  const struct {
    double first;
    const wchar_t* unit;
    uint32_t id;
  } adds[] = {{0, L"Hz", 1}, {0, L"Hz", 1}, {1e-7, L"Hz", 1}, {1e-5, L"Hz", 2}, {0, L"s", 3}};
  std::vector<CAxisManager::Ref> held;
  for (const auto& add : adds) {
    CAxisManager::Ref id;
    ASSERT_EQ(axes.AddAxis(Linear(1024, add.first, 1.25, add.unit).get(), &id), S_OK);
    EXPECT_EQ(id.Id(), add.id) << add.first;
    held.push_back(id);
  }
  EXPECT_EQ(axes.Count(), 3u);
  // From values the same definition finds the same record.
  CAxisManager::Ref d;
  ASSERT_EQ(axes.AddAxis(axisKindLinear, 1024, 0.0, 1.25, L"Hz", 0, 0, &d), S_OK);
  EXPECT_EQ(d.Id(), 1u);
}

TEST_F(ManagerTest, EmptyAxesStoreNothingAndUnknownIdsAreRefused) {
  CAxisManager axes;
  CAxisManager::Ref id;
  ASSERT_EQ(axes.AddAxis(Linear(0, 0, 1, L"Hz").get(), &id), S_OK);
  EXPECT_EQ(id, 0u);
  auto item = NewItem();
  ASSERT_EQ(item->Allocate(16, 1, dataFormatFloat64), S_OK);
  ASSERT_EQ(axes.AddAxis(AxisOf(item.get()).get(), &id), S_OK);  // the untouched default axis
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(axes.Count(), 0u);
  // An axis without a unit but with its own values is kept: a restored item
  // would otherwise lose it.
  ASSERT_EQ(axes.AddAxis(Linear(16, 100.0, 2.0, L"").get(), &id), S_OK);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(axes.AddAxis(static_cast<IVQAxis*>(nullptr), &id), E_POINTER);
  EXPECT_EQ(axes.AddAxis(axisKindLinear, 1, 0, 1, L"", 0, 0, nullptr), E_POINTER);
  // Ids out of range are refused.
  vq::test::TraceCapture trace;
  auto target = AxisOf(NewItem().get());
  LONG size = -1;
  EXPECT_EQ(axes.GetAxis(0, target.get()), S_OK);  // id 0: nothing to do
  ASSERT_EQ(target->GetSize(&size), S_OK);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(axes.GetAxis(0, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(axes.GetAxis(2, target.get()), E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Index out of range"));
  EXPECT_EQ(axes.GetAxis(1, nullptr), E_POINTER);
}

TEST_F(ManagerTest, EveryAxisKindIsRestoredIntoAFreshItem) {
  CAxisManager axes;
  auto source = NewItem();
  auto axis = AxisOf(source.get());
  const double values[] = {1.0, 2.5, 7.0, 100.0};
  struct Case {
    std::function<HRESULT()> init;
  } cases[] = {
      {[&] { return axis->InitializeAsLinear(64, 10.0, 0.5, _bstr_t(L"Hz").GetBSTR()); }},
      {[&] { return axis->InitializeAsKind1(64, 10.0, 1.5, _bstr_t(L"Hz").GetBSTR()); }},
      {[&] { return axis->InitializeAsBands(31, 13, 3, _bstr_t(L"Hz").GetBSTR()); }},
      {[&] { return axis->InitializeWithValues(4, values, _bstr_t(L"rpm").GetBSTR()); }},
  };
  for (auto& c : cases) {
    ASSERT_EQ(c.init(), S_OK);
    CAxisManager::Ref id;
    ASSERT_EQ(axes.AddAxis(axis.get(), &id), S_OK);
    ASSERT_NE(id, 0u);
    auto restored = AxisOf(NewItem().get());
    ASSERT_EQ(axes.GetAxis(id, restored.get()), S_OK);
    VARIANT_BOOL equal = VARIANT_FALSE;
    ASSERT_EQ(axis->IsEqual(restored.get(), &equal), S_OK);
    LONG kind = -1;
    axis->GetKind(&kind);
    EXPECT_EQ(equal, VARIANT_TRUE) << "kind " << kind;
  }
  auto last = AxisOf(NewItem().get());
  ASSERT_EQ(axes.GetLastAxis(last.get()), S_OK);
  LONG kind = -1;
  last->GetKind(&kind);
  EXPECT_EQ(kind, axisKindValues);
}

TEST_F(ManagerTest, TwoThreadsAddingEqualAxesGetOneId) {
  CAxisManager axes;
  CAxisManager::Ref ids[2][200];
  auto work = [&](int t) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int i = 0; i < 200; ++i) {
      axes.AddAxis(axisKindLinear, 100 + i % 10, 0.0, 1.0, L"Hz", 0, 0, &ids[t][i]);
      auto target = AxisOf(NewItem().get());
      axes.GetAxis(ids[t][i], target.get());
    }
    CoUninitialize();
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(axes.Count(), 10u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(ids[0][i].Id(), ids[1][i].Id());
}

// The hashed lookup against a walk over the table in id order: axes whose
// first values and deltas lie around the lookup's cell borders (2e-6 wide),
// near (within 1e-6) or not, at small and large magnitudes, find the lowest
// equal record as the walk does, or a new id when the walk finds none.
TEST_F(ManagerTest, AxisLookupFindsTheRecordAWalkFinds) {
  CAxisManager axes;
  std::vector<CAxisManager::AxisRecord> walked;  // record of id n at n - 1
  std::vector<CAxisManager::Ref> held;           // everything stays stored
  std::mt19937 rng(7);
  auto pick = [&rng](std::initializer_list<double> values) {
    return *(values.begin() + std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng));
  };
  for (int step = 0; step < 3000; ++step) {
    CAxisManager::AxisRecord r;
    r.Kind = axisKindLinear;
    r.Size = static_cast<LONG>(pick({8, 16}));
    r.Unit = pick({0, 1}) == 0 ? L"Hz" : L"s";
    const double base = pick({0.0, -4e-6, 2e-6, 1.0, -1e3, 4.5e9, 1e12});
    r.FirstValue = base + pick({-1.5e-6, -1e-6, -0.99e-6, -0.4e-6, -1e-7, 0.0, 1e-7, 0.4e-6, 0.99e-6, 1e-6, 1.5e-6});
    r.Delta = 1.0 + pick({-0.99e-6, -0.3e-6, 0.0, 0.3e-6, 0.99e-6, 2.5e-6});
    uint32_t want = 0;
    for (size_t i = 0; i < walked.size() && want == 0; ++i) {
      if (walked[i].Equals(r)) want = static_cast<uint32_t>(i + 1);
    }
    if (want == 0) {
      walked.push_back(r);
      want = static_cast<uint32_t>(walked.size());
    }
    CAxisManager::Ref id;
    ASSERT_EQ(axes.AddAxis(r.Kind, r.Size, r.FirstValue, r.Delta, r.Unit.c_str(), 0, 0, &id), S_OK);
    ASSERT_EQ(id.Id(), want) << "step " << step << " first " << r.FirstValue << " delta " << r.Delta;
    held.push_back(std::move(id));
  }
  EXPECT_EQ(axes.Count(), walked.size());
}

// A lookup compares the records with its cells' hashes only: among 10,000
// stored axes a new one compares none, a stored one itself.
TEST_F(ManagerTest, AxisLookupDoesNotWalkTheTable) {
  CAxisManager axes;
  std::vector<CAxisManager::Ref> held(10000);
  for (size_t i = 0; i < held.size(); ++i) {
    ASSERT_EQ(axes.AddAxis(axisKindLinear, 64, static_cast<double>(i), 0.5, L"s", 0, 0, &held[i]), S_OK);
  }
  uint64_t before = axes.Comparisons();
  CAxisManager::Ref fresh, again;
  ASSERT_EQ(axes.AddAxis(axisKindLinear, 64, 1e6, 0.5, L"s", 0, 0, &fresh), S_OK);
  EXPECT_EQ(axes.Comparisons() - before, 0u);
  before = axes.Comparisons();
  ASSERT_EQ(axes.AddAxis(axisKindLinear, 64, 5000.0, 0.5, L"s", 0, 0, &again), S_OK);
  EXPECT_EQ(again.Id(), held[5000].Id());
  EXPECT_EQ(axes.Comparisons() - before, 1u);
}

// Model of what the table must hold: an axis stays stored exactly while a
// reference to it exists, or while it is the most recently stored one;
// equal definitions share one id and different ones never do, also after
// dropped ids were given to new axes.
TEST_F(ManagerTest, AxesLiveExactlyAsLongAsTheirReferences) {
  constexpr int kSlots = 48, kDefinitions = 12;
  CAxisManager axes;
  std::vector<CAxisManager::Ref> slots(kSlots);
  std::vector<int> model(kSlots, -1);  // definition held by each slot, -1 none
  int last = -1;                       // the most recently stored definition
  auto stored = [&] {
    std::set<int> s(model.begin(), model.end());
    s.erase(-1);
    if (last != -1) s.insert(last);
    return s;
  };
  std::mt19937 rng(11);
  auto rand = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  for (int step = 0; step < 4000; ++step) {
    const int op = rand(4), a = rand(kSlots), b = rand(kSlots);
    if (op == 0) {
      const int d = rand(kDefinitions);
      if (stored().count(d) == 0) last = d;
      ASSERT_EQ(axes.AddAxis(axisKindLinear, 32, 10.0 * d, 1.0, L"Hz", 0, 0, &slots[a]), S_OK);
      model[a] = d;
    } else if (op == 1) {
      slots[b] = slots[a];
      model[b] = model[a];
    } else if (op == 2) {
      slots[b] = std::move(slots[a]);
      model[b] = std::exchange(model[a], -1);
    } else {
      slots[a] = CAxisManager::Ref();
      model[a] = -1;
    }
    ASSERT_EQ(axes.Count(), stored().size()) << "step " << step;
    for (int s = 0; s < kSlots; ++s) {
      ASSERT_EQ(slots[s].Id() == 0, model[s] == -1) << "step " << step;
      if (model[s] == -1) continue;
      double first = -1;
      ASSERT_EQ(axes.GetAxis(slots[s], nullptr, nullptr, &first, nullptr, nullptr, nullptr, nullptr), S_OK);
      ASSERT_EQ(first, 10.0 * model[s]) << "step " << step << " slot " << s;
      for (int t = 0; t < s; ++t) {
        if (model[t] != -1) {
          ASSERT_EQ(slots[t].Id() == slots[s].Id(), model[t] == model[s]) << "step " << step;
        }
      }
    }
  }
  auto target = AxisOf(NewItem().get());
  ASSERT_EQ(axes.GetLastAxis(target.get()), S_OK);
  double first = -1;
  target->GetFirstValue(&first);
  EXPECT_EQ(first, 10.0 * last);
}

// Attribute sets.

void Add(IVQData* item, const wchar_t* group, const wchar_t* name, _variant_t value) {
  ASSERT_EQ(item->AddAttribute(_bstr_t(group).GetBSTR(), _bstr_t(name).GetBSTR(), _bstr_t(L"second").GetBSTR(),
                               value),
            S_OK);
}
void AddIndexed(IVQData* item, LONG record, const wchar_t* name, _variant_t value) {
  ASSERT_EQ(item->AddIndexedAttribute(1, record, _bstr_t(L"rec").GetBSTR(), _bstr_t(name).GetBSTR(),
                                      _bstr_t(L"").GetBSTR(), value),
            S_OK);
}

// A group whose attributes were all removed is still part of the item: it
// survives the set (non-indexed and in a record), with its second name, and
// makes the set differ from one without it.
TEST_F(ManagerTest, EmptyGroupsSurviveTheSet) {
  auto groupsOf = [](IVQAttributeGroups* groups) {
    std::vector<std::wstring> names;
    LONG count = 0;
    EXPECT_EQ(groups->GetCount(&count), S_OK);
    for (LONG g = 1; g <= count; ++g) {
      vq::ComPtr<IVQAttributeGroup> group;
      _bstr_t name, second;
      LONG attributes = -1;
      EXPECT_EQ(groups->GetItem(_variant_t(g), group.put()), S_OK);
      group->GetName(name.GetAddress());
      group->GetSecondName(second.GetAddress());
      group->GetCount(&attributes);
      names.push_back(std::wstring(name.length() ? static_cast<const wchar_t*>(name) : L"") + L"/" +
                      (second.length() ? static_cast<const wchar_t*>(second) : L"") + L"/" +
                      std::to_wstring(attributes));
    }
    return names;
  };
  auto shape = [&](IVQData* item) {
    vq::ComPtr<IVQAttributeGroups> plain, record;
    vq::ComPtr<IVQIndexedAttributes> indexed;
    EXPECT_EQ(item->GetAttributes(plain.put()), S_OK);
    EXPECT_EQ(item->GetIndexedAttributes(1, indexed.put()), S_OK);
    EXPECT_EQ(indexed->GetItem(_variant_t(2L), record.put()), S_OK);
    auto names = groupsOf(plain.get());
    for (auto& n : groupsOf(record.get())) names.push_back(L"2:" + n);
    return names;
  };
  CAttributeManager attributes;
  auto source = NewItem();
  ASSERT_EQ(source->Allocate(4, 3, dataFormatFloat64), S_OK);
  Add(source.get(), L"Kept", L"a", _variant_t(1L));
  vq::ComPtr<IVQAttributeGroups> plain;
  vq::ComPtr<IVQAttributeGroup> empty;
  ASSERT_EQ(source->GetAttributes(plain.put()), S_OK);
  ASSERT_EQ(plain->Add(_bstr_t(L"Empty").GetBSTR(), _bstr_t(L"two").GetBSTR(), empty.put()), S_OK);
  AddIndexed(source.get(), 2, L"rpm", _variant_t(1500L));
  vq::ComPtr<IVQIndexedAttributes> indexed;
  vq::ComPtr<IVQAttributeGroups> record;
  ASSERT_EQ(source->GetIndexedAttributes(1, indexed.put()), S_OK);
  ASSERT_EQ(indexed->GetItem(_variant_t(2L), record.put()), S_OK);
  ASSERT_EQ(record->Add(_bstr_t(L"Idle").GetBSTR(), _bstr_t(L"").GetBSTR(), empty.put()), S_OK);
  const auto expected = shape(source.get());
  ASSERT_EQ(expected.size(), 4u);

  CAttributeManager::Ref id, without;
  ASSERT_EQ(attributes.AddAttributes(source.get(), &id), S_OK);
  auto target = NewItem();
  ASSERT_EQ(target->Allocate(4, 3, dataFormatFloat64), S_OK);
  ASSERT_EQ(attributes.RestoreSet(id, target.get(), 0, 3), S_OK);
  EXPECT_EQ(shape(target.get()), expected);

  auto plainOnly = NewItem();
  ASSERT_EQ(plainOnly->Allocate(4, 3, dataFormatFloat64), S_OK);
  Add(plainOnly.get(), L"Kept", L"a", _variant_t(1L));
  AddIndexed(plainOnly.get(), 2, L"rpm", _variant_t(1500L));
  ASSERT_EQ(attributes.AddAttributes(plainOnly.get(), &without), S_OK);
  EXPECT_NE(without.Id(), id.Id());
}

TEST_F(ManagerTest, EqualAttributeSetsShareOneId) {
  CAttributeManager attributes;
  CAttributeManager::Ref id;
  auto plain = NewItem();
  ASSERT_EQ(attributes.AddAttributes(plain.get(), &id), S_OK);
  EXPECT_EQ(id.Id(), 0u);  // no attributes: no set

  auto a = NewItem(), b = NewItem(), c = NewItem(), d = NewItem();
  for (auto* item : {a.get(), b.get()}) {
    Add(item, L"Channel", L"Name", _variant_t(L"Mic 1"));
    Add(item, L"Channel", L"Gain", _variant_t(2.5));
  }
  Add(c.get(), L"Channel", L"Gain", _variant_t(2.5));  // order differs
  Add(c.get(), L"Channel", L"Name", _variant_t(L"Mic 1"));
  Add(d.get(), L"Channel", L"Name", _variant_t(L"Mic 1"));
  Add(d.get(), L"Channel", L"Gain", _variant_t(2.25));  // one value differs
  // Same value, other type: another set.
  auto e = NewItem();
  Add(e.get(), L"Channel", L"Name", _variant_t(L"Mic 1"));
  Add(e.get(), L"Channel", L"Gain", _variant_t(2.5f));
  // Reals bit for bit: a NaN equals itself, -0 is not 0.
  auto f = NewItem(), g = NewItem(), h = NewItem(), k = NewItem();
  Add(f.get(), L"Channel", L"Gain", _variant_t(std::numeric_limits<double>::quiet_NaN()));
  Add(g.get(), L"Channel", L"Gain", _variant_t(std::numeric_limits<double>::quiet_NaN()));
  Add(h.get(), L"Channel", L"Gain", _variant_t(0.0));
  Add(k.get(), L"Channel", L"Gain", _variant_t(-0.0));
  const uint32_t want[] = {1, 1, 2, 3, 4, 5, 5, 6, 7};
  CAttributeManager::Ref got[9];
  int n = 0;
  for (auto* item : {a.get(), b.get(), c.get(), d.get(), e.get(), f.get(), g.get(), h.get(), k.get()}) {
    ASSERT_EQ(attributes.AddAttributes(item, &got[n]), S_OK);
    EXPECT_EQ(got[n].Id(), want[n]) << "item " << n;
    ++n;
  }
}

TEST_F(ManagerTest, IndexedAttributesCountByRecord) {
  CAttributeManager attributes;
  auto make = [&](LONG record, int count) {
    auto item = NewItem();
    EXPECT_EQ(item->Allocate(4, 3, dataFormatFloat64), S_OK);
    for (int i = 0; i < count; ++i) AddIndexed(item.get(), record, i == 0 ? L"rpm" : L"extra", _variant_t(1000L));
    return item;
  };
  CAttributeManager::Ref a, b, c, a2;
  ASSERT_EQ(attributes.AddAttributes(make(1, 1).get(), &a), S_OK);
  ASSERT_EQ(attributes.AddAttributes(make(2, 1).get(), &b), S_OK);  // same content, other record
  ASSERT_EQ(attributes.AddAttributes(make(1, 2).get(), &c), S_OK);  // longer list
  ASSERT_EQ(attributes.AddAttributes(make(1, 1).get(), &a2), S_OK);
  EXPECT_EQ(a.Id(), 1u);
  EXPECT_EQ(b.Id(), 2u);
  EXPECT_EQ(c.Id(), 3u);
  EXPECT_EQ(a2.Id(), 1u);
}

TEST_F(ManagerTest, WritingSetsBackIntoItems) {
  vq::test::TraceCapture trace;
  CAttributeManager attributes;
  auto source = NewItem();
  ASSERT_EQ(source->Allocate(4, 3, dataFormatFloat64), S_OK);
  Add(source.get(), L"Unit", L"Symbol", _variant_t(L"\u03A9 and \u00B5"));  // kept as wide text
  AddIndexed(source.get(), 2, L"rpm", _variant_t(1500L));
  CAttributeManager::Ref id;
  ASSERT_EQ(attributes.AddAttributes(source.get(), &id), S_OK);
  ASSERT_EQ(id.Id(), 1u);

  auto target = NewItem();
  ASSERT_EQ(target->Allocate(4, 3, dataFormatFloat64), S_OK);
  ASSERT_EQ(attributes.GetAttributes(id, target.get()), S_OK);
  _variant_t value;
  ASSERT_EQ(target->GetAttributeValue(_bstr_t(L"Unit").GetBSTR(), _bstr_t(L"Symbol").GetBSTR(), value.GetAddress()),
            S_OK);
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(_bstr_t(value))), L"\u03A9 and \u00B5");

  // The copies take over a reference and give it back on every path.
  target->AddRef();
  ASSERT_EQ(attributes.CopyAllAttributes(id, target.get(), 2), S_OK);
  ASSERT_EQ(target->GetIndexedAttributeValue(1, 2, _bstr_t(L"rec").GetBSTR(), _bstr_t(L"rpm").GetBSTR(),
                                             value.GetAddress()),
            S_OK);
  EXPECT_EQ(static_cast<LONG>(value), 1500);
  target->AddRef();
  ASSERT_EQ(attributes.CopyAllIndexedAttributesToIndex1(id, target.get(), 2), S_OK);
  ASSERT_EQ(target->GetIndexedAttributeValue(1, 1, _bstr_t(L"rec").GetBSTR(), _bstr_t(L"rpm").GetBSTR(),
                                             value.GetAddress()),
            S_OK);
  target->AddRef();
  EXPECT_EQ(attributes.CopyAllAttributes(id, target.get(), 3), E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Invalid z-value 3"));
  target->AddRef();
  EXPECT_EQ(attributes.CopyAllAttributesToNonIndexed(7, target.get()), E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Index 7 out of range"));
  target->AddRef();
  EXPECT_EQ(target->Release(), 1u);  // every taken-over reference was released

  EXPECT_EQ(attributes.GetAttributes(0, target.get()), S_OK);
  EXPECT_EQ(attributes.GetAttributes(1, nullptr), E_POINTER);
  EXPECT_EQ(attributes.AddAttributes(nullptr, &id), E_POINTER);
}

TEST_F(ManagerTest, TwoThreadsCapturingEqualSetsGetOneId) {
  CAttributeManager attributes;
  CAttributeManager::Ref ids[2][100];
  auto work = [&](int t) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int i = 0; i < 100; ++i) {
      auto item = NewItem();
      Add(item.get(), L"Run", L"Number", _variant_t(static_cast<LONG>(i % 5)));
      attributes.AddAttributes(item.get(), &ids[t][i]);
      auto target = NewItem();
      attributes.GetAttributes(ids[t][i], target.get());
    }
    CoUninitialize();
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(attributes.Count(), 5u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ids[0][i].Id(), ids[1][i].Id());
}

}  // namespace
