// Model-based test: a plain model of every part of every element (shape,
// values, attributes, record attributes, identifier, label), of the matrix
// label, the matrix's axes and the tag vectors, against a real matrix driven by a random
// sequence of client operations on both storage kinds while the memory check
// sees too little memory at times, so that storage objects are swapped out
// and read back between and during the operations. One operation in four
// runs under one fault of the environment: failed or
// short swap writes, a failed or empty swap read, a failed large allocation
// or no memory reading. The operation may then fail, but only with the code
// the matrix gives for that fault, and it changes nothing: the model stays
// exactly equal to the matrix and nothing is lost.
//
// Deterministic seeds; a failure names the seed, the step and the last
// operations. VQ_MODEL_STEPS and VQ_MODEL_SEEDS make the run longer (CI runs
// the short default).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "persistence/fuzz/ReadFuzzOne.h"
#include "platform/testlib/StreamTestSupport.h"
#include "storage/DataBase.h"
#include "storage/SingleData.h"
#include "support/MatrixFixture.h"

namespace vq::test {
namespace {

// An attribute value of one of the three kinds clients use.
struct Value {
  VARTYPE vt = VT_EMPTY;
  LONG l = 0;
  double d = 0.0;
  std::wstring s;
  bool operator==(const Value& o) const {
    if (vt != o.vt) return false;
    if (vt == VT_I4) return l == o.l;
    if (vt == VT_R8) return std::memcmp(&d, &o.d, sizeof d) == 0;
    return s == o.s;
  }
  _variant_t Variant() const {
    if (vt == VT_I4) return _variant_t(l);
    if (vt == VT_R8) return _variant_t(d);
    return _variant_t(s.c_str());
  }
};

using Key = std::tuple<std::wstring, std::wstring, std::wstring>;  // group, second name, name
using Attributes = std::map<Key, Value>;

struct ElementModel {
  std::vector<uint8_t> values;
  Attributes attributes;
  std::map<LONG, Attributes> records;  // record attributes by record, counted from 1
  LONG id = -1;
  std::wstring label;
};

std::wstring Text(const _bstr_t& b) {
  return b.length() != 0 ? std::wstring(static_cast<const wchar_t*>(b), b.length()) : std::wstring();
}

// Reads every attribute of a group list into `out`.
void ReadGroups(IVQAttributeGroups* groups, Attributes* out) {
  LONG count = 0;
  ASSERT_EQ(groups->GetCount(&count), S_OK);
  for (LONG g = 1; g <= count; ++g) {
    vq::ComPtr<IVQAttributeGroup> group;
    ASSERT_EQ(groups->GetItem(_variant_t(g), group.put()), S_OK);
    _bstr_t name, second;
    LONG attributes = 0;
    group->GetName(name.GetAddress());
    group->GetSecondName(second.GetAddress());
    group->GetCount(&attributes);
    for (LONG a = 1; a <= attributes; ++a) {
      vq::ComPtr<IVQAttribute> attribute;
      ASSERT_EQ(group->GetItem(_variant_t(a), attribute.put()), S_OK);
      _bstr_t attributeName;
      _variant_t value;
      attribute->GetName(attributeName.GetAddress());
      attribute->GetValue(value.GetAddress());
      Value v;
      v.vt = value.vt;
      if (value.vt == VT_I4) v.l = value.lVal;
      if (value.vt == VT_R8) v.d = value.dblVal;
      if (value.vt == VT_BSTR) v.s = Text(_bstr_t(value.bstrVal));
      (*out)[Key{Text(name), Text(second), Text(attributeName)}] = v;
    }
  }
}

void ReadAttributes(IVQData* item, Attributes* plain, std::map<LONG, Attributes>* records) {
  vq::ComPtr<IVQAttributeGroups> groups;
  if (item->GetAttributes(groups.put()) == S_OK && groups) ReadGroups(groups.get(), plain);
  vq::ComPtr<IVQIndexedAttributes> indexed;
  LONG z = 0;
  item->GetSize(1, &z);
  if (item->GetIndexedAttributes(1, indexed.put()) != S_OK || !indexed) return;
  for (LONG r = 1; r <= z; ++r) {
    vq::ComPtr<IVQAttributeGroups> recordGroups;
    if (FAILED(indexed->GetItem(_variant_t(r), recordGroups.put())) || !recordGroups) continue;
    Attributes a;
    ReadGroups(recordGroups.get(), &a);
    if (!a.empty()) (*records)[r] = a;
  }
}

std::vector<double> TagValues(IVQData* item, LONG t) {
  vq::ComPtr<IVQTagVector> v;
  item->GetTagVector(t, v.put());
  LONG n = 0;
  if (v) v->GetCount(&n);
  std::vector<double> got(static_cast<size_t>(std::max(n, 0)));
  if (n > 0) v->GetValues(0, n, got.data());
  return got;
}

std::string Describe(const Attributes& a) {
  std::ostringstream o;
  for (const auto& [k, v] : a) {
    o << " " << static_cast<const char*>(_bstr_t(std::get<0>(k).c_str())) << "/"
      << static_cast<const char*>(_bstr_t(std::get<2>(k).c_str())) << "=";
    if (v.vt == VT_I4) o << v.l;
    if (v.vt == VT_R8) o << v.d;
    if (v.vt == VT_BSTR) o << static_cast<const char*>(_bstr_t(v.s.c_str()));
  }
  return o.str();
}

// A storage kind and the value format of its first seed; each further seed
// takes the next format, so that three seeds of the variants below cover
// every format on both kinds.
struct Params {
  matrixType kind;
  LONG format;
};

class MatrixModelTest : public MatrixTest, public ::testing::WithParamInterface<Params> {
 protected:
  static constexpr LONG kS[4] = {3, 2, 2, 2};
  static constexpr LONG kX = 24;
  static constexpr LONG kZ = 3;
  static constexpr uint32_t kCount = 3 * 2 * 2 * 2;

  std::mt19937 m_Rng;
  vq::ComPtr<IVQDataMatrix> m_Matrix;
  std::vector<ElementModel> m_Model;
  std::wstring m_MatrixLabel;
  std::vector<double> m_Tags[4];
  struct Axis {
    double first = 0.0, step = 0.0;
    std::wstring unit;
    bool operator==(const Axis&) const = default;
  } m_Axes[4];
  std::vector<uint8_t> m_Written;                  // the stream the matrix was last read from
  std::map<uint32_t, vq::ComPtr<IVQData>> m_Held;  // writable items a client keeps
  std::deque<std::string> m_Log;
  uint32_t m_Bpv = 8;
  LONG m_Format = dataFormatFloat64;
  std::string m_Where;
  bool m_Stop = false;
  bool m_CheckAll = false;
  uint32_t m_Touched = kCount;  // an element the operation changed besides its own
  // The fault the operation runs under.
  enum Fault { kNone, kWrites, kShortWrite, kFullDisk, kReads, kEmptyRead, kAllocation, kMemoryStatus, kFaults };
  Fault m_Fault = kNone;

  uint32_t Rand(uint32_t n) { return static_cast<uint32_t>(m_Rng() % n); }
  static void Pos(uint32_t e, LONG p[4]) {
    for (int d = 0; d < 4; ++d) {
      p[d] = static_cast<LONG>(e % static_cast<uint32_t>(kS[d]));
      e /= static_cast<uint32_t>(kS[d]);
    }
  }
  void Log(std::string s) {
    m_Log.push_back(m_Where + std::move(s));
    if (m_Log.size() > 12) m_Log.pop_front();
  }
  void Fail(const std::string& what) {
    std::ostringstream o;
    o << what << "\n  last operations:";
    for (const auto& l : m_Log) o << "\n    " << l;
    ADD_FAILURE() << o.str();
    m_Stop = true;
  }

  void Apply(Fault f) {
    if (f != kNone) Log("under fault " + std::to_string(f) + ":");
    m_Fault = f;
    m_Env.failNextWrites = f == kWrites ? static_cast<int>(1 + Rand(3)) : 0;
    m_Env.shortWrites = f == kShortWrite ? 1 : 0;
    m_Env.failWrites = f == kFullDisk;
    m_Env.failNextReads = f == kReads ? 1 : 0;
    m_Env.eofReads = f == kEmptyRead ? 1 : 0;
    m_Env.failAllocation = f == kAllocation ? static_cast<int>(1 + Rand(2)) : 0;
    m_Env.failMemoryStatus = f == kMemoryStatus;
  }
  // False when hr is S_OK. Otherwise the operation ends, silently when the
  // fault it runs under gives that code: a reload that cannot read gives
  // E_FAIL (on a single object also when the bounce buffer of its unaligned
  // read cannot be had), a pool buffer that cannot be had E_OUTOFMEMORY; a
  // failed save only keeps the values in memory, so write faults and a
  // missing memory reading fail nothing. The subset call answers E_FAIL for
  // every failure of its storage object.
  bool Refused(HRESULT hr, const std::string& what, bool subset = false) {
    if (hr == S_OK) return false;
    const HRESULT noBuffer = GetParam().kind == matrixSingleObject || subset ? E_FAIL : E_OUTOFMEMORY;
    const bool documented =
        ((m_Fault == kReads || m_Fault == kEmptyRead) && hr == E_FAIL) || (m_Fault == kAllocation && hr == noBuffer);
    std::ostringstream o;
    o << what << " failed, hr=0x" << std::hex << static_cast<uint32_t>(hr) << " under fault " << m_Fault;
    if (documented) {
      Log(o.str());
    } else {
      Fail(o.str());
    }
    return true;
  }

  std::vector<uint8_t> RandomValues() {
    std::vector<uint8_t> v(static_cast<size_t>(kX) * kZ * m_Bpv);
    std::uniform_real_distribution<double> real(-1000.0, 1000.0);
    for (size_t k = 0; k < v.size() / m_Bpv; ++k) {
      uint8_t* p = v.data() + k * m_Bpv;
      const double d = real(m_Rng);
      switch (m_Format) {
        case dataFormatFloat64: std::memcpy(p, &d, 8); break;
        case dataFormatFloat32: { const float f = static_cast<float>(d); std::memcpy(p, &f, 4); break; }
        default:
          for (uint32_t b = 0; b < m_Bpv; ++b) p[b] = static_cast<uint8_t>(m_Rng());
      }
    }
    return v;
  }
  Value RandomValue() {
    Value v;
    switch (Rand(3)) {
      case 0: v.vt = VT_I4; v.l = static_cast<LONG>(Rand(1000)); break;
      case 1: v.vt = VT_R8; v.d = Rand(1000) / 8.0; break;
      default: v.vt = VT_BSTR; v.s = L"t" + std::to_wstring(Rand(50)); break;
    }
    return v;
  }
  Key RandomKey() {
    static const wchar_t* groups[] = {L"Run", L"Channel"};
    static const wchar_t* names[] = {L"A", L"B", L"C"};
    const uint32_t g = Rand(2);
    return Key{groups[g], g == 0 ? L"" : L"ch", names[Rand(3)]};
  }
  static void Add(IVQData* item, LONG record, const Key& k, const Value& v) {
    _bstr_t group(std::get<0>(k).c_str()), second(std::get<1>(k).c_str()), name(std::get<2>(k).c_str());
    const HRESULT hr = record == 0 ? item->AddAttribute(group, name, second, v.Variant())
                                   : item->AddIndexedAttribute(1, record, group, name, second, v.Variant());
    ASSERT_EQ(hr, S_OK);
  }
  // Random attribute changes through an item, mirrored in `model`.
  void ChangeAttributes(IVQData* item, ElementModel* model) {
    for (uint32_t n = Rand(3); n > 0; --n) {
      const Key k = RandomKey();
      const Value v = RandomValue();
      const uint32_t what = Rand(3);
      if (what == 0) {
        Add(item, 0, k, v);
        model->attributes[k] = v;
      } else if (what == 1) {
        const LONG r = static_cast<LONG>(1 + Rand(kZ));
        Add(item, r, k, v);
        model->records[r][k] = v;
      } else {
        item->RemoveAttribute(_bstr_t(std::get<0>(k).c_str()), _bstr_t(std::get<2>(k).c_str()));
        for (auto it = model->attributes.begin(); it != model->attributes.end();) {
          it = std::get<0>(it->first) == std::get<0>(k) && std::get<2>(it->first) == std::get<2>(k)
                   ? model->attributes.erase(it)
                   : std::next(it);
        }
      }
    }
  }
  void ChangeValues(IVQData* item, ElementModel* model) {
    void* raw = nullptr;
    ULONGLONG bytes = 0;
    ASSERT_EQ(item->GetRawData(&raw, &bytes), S_OK);
    ASSERT_EQ(bytes, model->values.size());
    const std::vector<uint8_t> fresh = RandomValues();
    const size_t from = Rand(kX * kZ), count = 1 + Rand(kX * kZ - static_cast<uint32_t>(from));
    std::memcpy(static_cast<uint8_t*>(raw) + from * m_Bpv, fresh.data() + from * m_Bpv, count * m_Bpv);
    std::memcpy(model->values.data() + from * m_Bpv, fresh.data() + from * m_Bpv, count * m_Bpv);
  }

  vq::ComPtr<IVQData> Element(uint32_t e, bool forWriting, LONG withAttributes = 1) {
    LONG p[4];
    Pos(e, p);
    vq::ComPtr<IUnknown> u;
    const HRESULT hr = forWriting ? m_Matrix->get_DataPtr(p[0], p[1], p[2], p[3], u.put())
                                  : m_Matrix->get_ConstDataPtr(p[0], p[1], p[2], p[3], withAttributes, u.put());
    if (Refused(hr, "element " + std::to_string(e) + ": access")) return {};
    if (!u) Fail("element " + std::to_string(e) + ": no item");
    return u ? u.query<IVQData>() : vq::ComPtr<IVQData>();
  }

  // Compares every part of element e with the model.
  void Check(uint32_t e) {
    if (m_Stop) return;
    auto item = Element(e, false);
    if (!item) return;
    const ElementModel& want = m_Model[e];
    const std::string where = "element " + std::to_string(e) + ": ";
    VQDataBuffer b = Buffer(item);
    if (b.XSize != kX || b.ZSize != kZ || b.Format != m_Format) {
      return Fail(where + "shape " + std::to_string(b.XSize) + "x" + std::to_string(b.ZSize) + " format " +
                  std::to_string(b.Format));
    }
    void* raw = nullptr;
    ULONGLONG bytes = 0;
    item->GetRawData(&raw, &bytes);
    if (bytes != want.values.size() || std::memcmp(raw, want.values.data(), want.values.size()) != 0) {
      size_t k = 0;
      while (k < bytes && k < want.values.size() && static_cast<const uint8_t*>(raw)[k] == want.values[k]) ++k;
      return Fail(where + "values differ from byte " + std::to_string(k) + " of " + std::to_string(bytes));
    }
    Attributes plain;
    std::map<LONG, Attributes> records;
    ReadAttributes(item.get(), &plain, &records);
    if (plain != want.attributes) {
      return Fail(where + "attributes{" + Describe(plain) + " } want{" + Describe(want.attributes) + " }");
    }
    auto wantRecords = want.records;
    std::erase_if(wantRecords, [](const auto& r) { return r.second.empty(); });
    if (records != wantRecords) {
      std::string got, wanted;
      for (const auto& [r, a] : records) got += " [" + std::to_string(r) + "]" + Describe(a);
      for (const auto& [r, a] : wantRecords) wanted += " [" + std::to_string(r) + "]" + Describe(a);
      return Fail(where + "record attributes{" + got + " } want{" + wanted + " }");
    }
    vq::ComPtr<IVQAxis> axis;
    LONG kind = -1, size = 0;
    double first = -1, delta = -1;
    _bstr_t unit;
    item->GetAxis(axis.put());
    axis->GetKind(&kind);
    axis->GetSize(&size);
    axis->GetFirstValue(&first);
    axis->GetDelta(&delta);
    axis->GetUnit(unit.GetAddress());
    if (kind != 0 || size != kX || first != 0.0 || delta != 1.0 || Text(unit) != L"Hz") return Fail(where + "axis");
    LONG p[4], id = 0;
    Pos(e, p);
    _bstr_t label;
    m_Matrix->get_ID(p[0], p[1], p[2], p[3], &id);
    m_Matrix->get_Label(p[0], p[1], p[2], p[3], label.GetAddress());
    if (id != want.id || Text(label) != want.label) return Fail(where + "identifier or label");
    // The matrix's tag vectors reach element 0's item only.
    for (LONG t = 0; t < 4; ++t) {
      if (TagValues(item.get(), t) != (e == 0 ? m_Tags[t] : std::vector<double>{})) {
        return Fail(where + "tag vector " + std::to_string(t));
      }
    }
  }

  void CheckMatrix() {
    for (uint32_t e = 0; e < kCount && !m_Stop; ++e) Check(e);
    if (m_Stop) return;
    _bstr_t label;
    m_Matrix->get_MatrixLabel(label.GetAddress());
    if (Text(label) != m_MatrixLabel) return Fail("matrix label");
    for (LONG d = 0; d < 4; ++d) {
      Axis got;
      _bstr_t unit;
      m_Matrix->GetAxis(d, &got.first, &got.step, unit.GetAddress());
      got.unit = Text(unit);
      if (!(got == m_Axes[d])) return Fail("axis of dimension " + std::to_string(d));
    }
    auto target = NewItem(1, 1);
    ASSERT_EQ(m_Matrix->GetTagVectorsData(target.get()), S_OK);
    for (LONG t = 0; t < 4; ++t) {
      if (TagValues(target.get(), t) != m_Tags[t]) return Fail("tag vector " + std::to_string(t));
    }
  }

  // The sum the scalar slices must give: record z of x indices first..last,
  // added in x order in the value format.
  template <typename T>
  T Sum(uint32_t e, LONG z, LONG first, LONG last) const {
    T sum = 0;
    const T* v = reinterpret_cast<const T*>(m_Model[e].values.data());
    for (LONG x = first; x <= last; ++x) sum += v[z * kX + x];
    return sum;
  }

  // One of the three planes: outer and inner dimension, the two fixed ones.
  void Slice(bool spectrum) {
    const int planes[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    const int plane = static_cast<int>(Rand(3));
    const int outer = planes[plane][0], inner = planes[plane][1];
    int fixedDim = 0;
    while (fixedDim == outer || fixedDim == inner) ++fixedDim;
    const LONG fixed = static_cast<LONG>(Rand(static_cast<uint32_t>(kS[fixedDim])));
    const LONG d4 = static_cast<LONG>(Rand(static_cast<uint32_t>(kS[3])));
    const LONG z = static_cast<LONG>(Rand(kZ));
    const auto dir = static_cast<matrixDirectionType>(Rand(2));
    const LONG first = static_cast<LONG>(Rand(kX)), last = first + static_cast<LONG>(Rand(kX - first));
    Log(std::string(spectrum ? "spectrum" : "scalar") + " slice plane " + std::to_string(plane) + " fixed " +
        std::to_string(fixed) + " d4 " + std::to_string(d4) + " z " + std::to_string(z) + " dir " +
        std::to_string(dir) + " x " + std::to_string(first) + ".." + std::to_string(last));
    auto result = NewItem();
    HRESULT hr = E_FAIL;
    using Scalar = HRESULT (IVQDataMatrix::*)(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*);
    using Spectrum = HRESULT (IVQDataMatrix::*)(LONG, LONG, LONG, matrixDirectionType, IUnknown*);
    const Scalar scalars[3] = {&IVQDataMatrix::GetD1D2Slice, &IVQDataMatrix::GetD1D3Slice,
                               &IVQDataMatrix::GetD2D3Slice};
    const Spectrum spectra[3] = {&IVQDataMatrix::GetD1D2SliceSpectrum, &IVQDataMatrix::GetD1D3SliceSpectrum,
                                 &IVQDataMatrix::GetD2D3SliceSpectrum};
    if (spectrum) {
      hr = (m_Matrix.get()->*spectra[plane])(z, fixed, d4, dir, result.get());
    } else {
      hr = (m_Matrix.get()->*scalars[plane])(first, last, z, fixed, d4, dir, result.get());
    }
    if (Refused(hr, "slice")) return;
    VQDataBuffer b = Buffer(result);
    const LONG no = kS[outer], ni = kS[inner];
    for (LONG i = 0; i < no; ++i) {
      for (LONG j = 0; j < ni; ++j) {
        LONG p[4] = {0, 0, 0, d4};
        p[outer] = i;
        p[inner] = j;
        p[fixedDim] = fixed;
        const uint32_t e = static_cast<uint32_t>(((p[3] * kS[2] + p[2]) * kS[1] + p[1]) * kS[0] + p[0]);
        const LONG at = dir == matrixDirectionByRow ? i + no * j : j + ni * i;
        const std::string where = "slice element " + std::to_string(e);
        if (spectrum) {
          if (b.XSize != kX || b.ZSize != no * ni) return Fail(where + ": result shape");
          const uint8_t* got = reinterpret_cast<const uint8_t*>(b.pDouble != nullptr ? static_cast<void*>(b.pDouble)
                                                                                     : static_cast<void*>(b.pFloat));
          if (std::memcmp(got + static_cast<size_t>(at) * kX * m_Bpv,
                          m_Model[e].values.data() + static_cast<size_t>(z) * kX * m_Bpv, kX * m_Bpv) != 0) {
            return Fail(where + ": record differs");
          }
        } else if (m_Format == dataFormatFloat64) {
          const double want = Sum<double>(e, z, first, last);
          if (std::memcmp(&b.pDouble[at], &want, sizeof want) != 0) return Fail(where + ": sum differs");
        } else {
          const float want = Sum<float>(e, z, first, last);
          if (std::memcmp(&b.pFloat[at], &want, sizeof want) != 0) return Fail(where + ": sum differs");
        }
      }
    }
  }

  void WriteAndRead() {
    m_Held.clear();
    vq::ComPtr<IStream> s = vqtest::NewStream();
    if (Refused(m_Matrix->Write(s.get()), "Write")) return;
    vqtest::Rewind(s.get());
    auto fresh = NewMatrix();
    if (Refused(fresh->Read(s.get()), "Read")) return;
    m_Matrix = fresh;
    m_Written = vq::persist::fuzz::StreamBytes(s.get());
    m_CheckAll = true;
  }
  // Texts with characters beyond ASCII that the stream's code page holds.
  std::wstring RandomText(const wchar_t* stem) {
    static const wchar_t* tails[] = {L"", L" \u00e9", L" \u20ac", L" \u00b0C"};
    return stem + std::to_wstring(Rand(100)) + tails[Rand(4)];
  }

  void Step(uint32_t step) {
    const uint32_t e = Rand(kCount);
    Apply(Rand(4) == 0 ? static_cast<Fault>(1 + Rand(kFaults - 1)) : kNone);
    Operate(e);
    Apply(kNone);
    if (m_Stop) return;
    Check(e);
    if (const uint32_t touched = std::exchange(m_Touched, kCount); touched != e && touched < kCount) Check(touched);
    if (std::exchange(m_CheckAll, false)) {
      CheckMatrix();
      if (m_Stop) return;
      // Written again, a matrix that was read gives the bytes it was read from.
      std::vector<uint8_t> again;
      if (!vq::persist::fuzz::WriteAll(m_Matrix.get(), &again)) return Fail("written again");
      if (again != m_Written) return Fail("written again, other bytes");
    } else if (step % 50 == 49) {
      CheckMatrix();
    }
  }

  // The lowest element index with identifier id, kCount when none has it
  // (-1 identifies no element).
  uint32_t FirstWithId(LONG id) const {
    uint32_t first = 0;
    while (first < kCount && (id == -1 || m_Model[first].id != id)) ++first;
    return first;
  }

  void Operate(uint32_t e) {
    LONG p[4];
    Pos(e, p);
    const std::string at = " e" + std::to_string(e);
    uint32_t op = Rand(100);
    // Slices add only the floating-point formats, the copy into one item also
    // the complex ones; other formats read the element instead.
    const LONG f = m_Format;
    const bool sliceable = f == dataFormatFloat64 || f == dataFormatFloat32;
    const bool copyable = sliceable || f == dataFormatComplex128 || f == dataFormatComplex64;
    if ((!sliceable && op >= 72 && op < 82) || (!copyable && op == 84)) op = 40;
    if (op < 12) {  // a new item put as the element, or as the first with its identifier
      const bool byId = Rand(4) == 0;
      const LONG id = m_Model[e].id;
      const uint32_t target = byId ? FirstWithId(id) : e;
      Log(std::string(byId ? "put by id " + std::to_string(id) : "put") + at);
      auto item = NewItem(kX, kZ, m_Format);
      ElementModel next = m_Model[target < kCount ? target : e];
      next.values = RandomValues();
      next.attributes.clear();
      next.records.clear();
      void* raw = nullptr;
      ULONGLONG bytes = 0;
      item->GetRawData(&raw, &bytes);
      std::memcpy(raw, next.values.data(), next.values.size());
      ChangeAttributes(item.get(), &next);
      vq::ComPtr<IVQAxis> axis;
      item->GetAxis(axis.put());
      axis->InitializeAsLinear(kX, 0.0, 1.0, _bstr_t(L"Hz"));
      m_Held.erase(target);
      const HRESULT hr =
          byId ? m_Matrix->put_DataPtrID(id, item.get()) : m_Matrix->put_DataPtr(p[0], p[1], p[2], p[3], item.get());
      if (target == kCount) return hr == E_FAIL ? void() : Fail("put by an identifier no element has");
      if (Refused(hr, "put")) return;
      m_Model[target] = next;
      m_Touched = target;
    } else if (op < 30) {  // values and attributes changed through a writable item
      auto it = m_Held.find(e);
      vq::ComPtr<IVQData> item = it != m_Held.end() ? it->second : Element(e, true);
      if (!item) return;
      Log(std::string(it != m_Held.end() ? "change held" : "change") + at);
      ChangeValues(item.get(), &m_Model[e]);
      ChangeAttributes(item.get(), &m_Model[e]);
      if (Rand(4) == 0 && m_Held.size() < 3) m_Held[e] = item;
    } else if (op < 36) {  // a client lets go of an item it kept
      Log("release" + at);
      m_Held.erase(e);
    } else if (op < 48) {  // read-only access, with or without attributes
      const LONG with = static_cast<LONG>(Rand(2));
      Log("const" + std::string(with ? " with" : " without") + " attributes" + at);
      auto item = Element(e, false, with);
      if (item && with) {
        Attributes plain;
        std::map<LONG, Attributes> records;
        ReadAttributes(item.get(), &plain, &records);
        if (plain != m_Model[e].attributes) Fail("element " + std::to_string(e) + ": const attributes");
      }
    } else if (op < 56) {  // part of one record
      const LONG z = static_cast<LONG>(Rand(kZ)), first = static_cast<LONG>(Rand(kX));
      const LONG last = first + static_cast<LONG>(Rand(kX - first)), with = static_cast<LONG>(Rand(2));
      Log("subset z " + std::to_string(z) + " x " + std::to_string(first) + ".." + std::to_string(last) + at);
      vq::ComPtr<IUnknown> u;
      const HRESULT hr =
          m_Matrix->get_ConstDataSubsetPtr(p[0], p[1], p[2], p[3], z * kX + first, z * kX + last, with, u.put());
      if (FAILED(hr) && Refused(hr, "subset", true)) return;
      if (!u) return Fail("subset gave no item");
      auto item = u.query<IVQData>();
      VQDataBuffer b = Buffer(item);
      void* raw = nullptr;
      ULONGLONG bytes = 0;
      item->GetRawData(&raw, &bytes);
      if (hr == S_OK && b.XSize == last - first + 1 && b.ZSize == 1) {
        if (std::memcmp(raw, m_Model[e].values.data() + (static_cast<size_t>(z) * kX + first) * m_Bpv,
                        bytes) != 0) {
          return Fail("subset values");
        }
        if (with) {
          Attributes plain;
          std::map<LONG, Attributes> records;
          ReadAttributes(item.get(), &plain, &records);
          auto it = m_Model[e].records.find(z + 1);
          const Attributes wantRecord = it != m_Model[e].records.end() ? it->second : Attributes{};
          const Attributes gotRecord = records.count(1) ? records[1] : Attributes{};
          if (plain != m_Model[e].attributes || gotRecord != wantRecord) return Fail("subset attributes");
        }
      }
    } else if (op < 62) {  // identifier (-1: none) and label, and the lookups by identifier
      const LONG id = static_cast<LONG>(Rand(9)) - 1;
      const std::wstring label = RandomText(L"label ");
      Log("id " + std::to_string(id) + at);
      ASSERT_EQ(m_Matrix->put_ID(p[0], p[1], p[2], p[3], id), S_OK);
      ASSERT_EQ(m_Matrix->put_Label(p[0], p[1], p[2], p[3], _bstr_t(label.c_str())), S_OK);
      m_Model[e].id = id;
      m_Model[e].label = label;
      const LONG probe = Rand(2) == 0 ? id : static_cast<LONG>(Rand(9)) - 1;
      const uint32_t first = FirstWithId(probe);
      LONG q[4] = {9, 9, 9, 9}, w[4] = {9, 9, 9, 9}, has = -1;
      if (first < kCount) Pos(first, w);
      const HRESULT found = m_Matrix->GetPositionFromID(probe, &q[0], &q[1], &q[2], &q[3]);
      ASSERT_EQ(m_Matrix->HasData(probe, &has), S_OK);
      if (found != (first < kCount ? S_OK : E_FAIL) || std::memcmp(q, w, sizeof q) != 0 || has != (first < kCount)) {
        return Fail("lookup of identifier " + std::to_string(probe));
      }
      vq::ComPtr<IUnknown> byId;
      const HRESULT hr = m_Matrix->get_DataPtrID(probe, byId.put());
      if (first == kCount) return hr == E_FAIL && !byId ? void() : Fail("item of identifier " + std::to_string(probe));
      if (Refused(hr, "item by identifier")) return;
      // The element's own item, while the first is held.
      auto own = Element(first, true);
      if (own && !vq::IsSameObject(byId.get(), own.get())) Fail("item of identifier, another object");
    } else if (op < 66) {  // one attribute set for every element of a d4 index
      auto carrier = NewItem(1, kZ);
      ElementModel set;
      ChangeAttributes(carrier.get(), &set);
      Log("attributes of d4 " + std::to_string(p[3]) + Describe(set.attributes));
      if (Refused(m_Matrix->put_AttributesDataPtr(p[3], carrier.get()), "attributes of d4")) return;
      for (uint32_t k = 0; k < kCount; ++k) {
        LONG q[4];
        Pos(k, q);
        if (q[3] != p[3]) continue;
        m_Model[k].attributes = set.attributes;
        m_Model[k].records = set.records;
      }
    } else if (op < 72) {
      Log("save all");
      m_Held.clear();
      if (m_Matrix->AllSaveToDisk() != S_OK) return Fail("AllSaveToDisk");
      // No client holds an item: every storage object went to the swap file,
      // a single object's item with it.
      CVQDataMatrix* impl = Impl(m_Matrix.get());
      for (uint32_t i = 0; i < impl->DataCount() && m_Fault == kNone; ++i) {
        CDataBase* storage = impl->StorageAt(i);
        auto* single = dynamic_cast<CSingleData*>(storage);
        if (storage == nullptr || !storage->IsOnDisk() || storage->IsInMemory() ||
            (single != nullptr && single->Item() != nullptr)) {
          return Fail("storage object " + std::to_string(i) + " stayed in memory");
        }
      }
    } else if (op < 78) {
      Slice(false);
    } else if (op < 82) {
      Slice(true);
    } else if (op < 84) {
      Log("write and read");
      WriteAndRead();
    } else if (op < 85) {
      Log("copy into one item");
      auto target = NewItem();
      if (Refused(m_Matrix->CopyContentsToSingleVqData(target.get()), "copy")) return;
      void* raw = nullptr;
      ULONGLONG bytes = 0;
      target->GetRawData(&raw, &bytes);
      std::vector<uint8_t> want;
      for (const auto& el : m_Model) want.insert(want.end(), el.values.begin(), el.values.end());
      if (bytes != want.size() || std::memcmp(raw, want.data(), want.size()) != 0) return Fail("copy values");
    } else if (op < 87) {
      const std::wstring label = RandomText(L"matrix ");
      Log("matrix label");
      ASSERT_EQ(m_Matrix->put_MatrixLabel(_bstr_t(label.c_str())), S_OK);
      m_MatrixLabel = label;
    } else if (op < 88) {
      const LONG d = static_cast<LONG>(Rand(4));
      Axis& axis = m_Axes[d];
      axis = Axis{Rand(64) / 4.0 - 8.0, Rand(64) / 8.0, RandomText(L"u")};
      Log("axis of dimension " + std::to_string(d));
      ASSERT_EQ(m_Matrix->InitializeAxis(d, axis.first, axis.step, _bstr_t(axis.unit.c_str())), S_OK);
    } else if (op < 90) {
      Log("tag vectors");
      auto carrier = NewItem(1, 1);
      for (LONG t = 0; t < 4; ++t) {
        vq::ComPtr<IVQTagVector> v;
        carrier->GetTagVector(t, v.put());
        m_Tags[t].clear();
        for (uint32_t n = Rand(4); n > 0; --n) {
          m_Tags[t].push_back(Rand(100) / 4.0);
          v->Add(m_Tags[t].back());
        }
      }
      ASSERT_EQ(m_Matrix->PutTagVectorsData(carrier.get()), S_OK);
      bool any = false;
      for (const auto& t : m_Tags) any = any || !t.empty();
      if (!any) {
        for (auto& t : m_Tags) t.clear();
      }
    } else {
      Log("memory " + std::string(op < 95 ? "low" : "plenty"));
      m_MemEnv.available = op < 95 ? kLow : kPlenty;
    }
  }

  void Run(uint32_t seed, uint32_t steps) {
    m_Rng.seed(seed);
    m_Log.clear();
    m_Stop = false;
    m_MemEnv.available = kLow;
    m_Format = static_cast<LONG>((static_cast<uint32_t>(GetParam().format) + seed - 1) % 7);
    m_Bpv = static_cast<uint32_t>(VQDataBytesPerValue(m_Format));
    m_Matrix = NewMatrix();
    ASSERT_EQ(m_Matrix->Initialize2(kS[0], kS[1], kS[2], kS[3], kX, kZ, m_Format, GetParam().kind), S_OK);
    ASSERT_EQ(m_Matrix->AllInitializeAsLinear(kX, 0.0, 1.0, _bstr_t(L"Hz")), S_OK);
    m_Model.assign(kCount, ElementModel{});
    for (auto& el : m_Model) el.values.assign(static_cast<size_t>(kX) * kZ * m_Bpv, 0);
    m_MatrixLabel.clear();
    for (auto& a : m_Axes) a = Axis{};
    for (auto& t : m_Tags) t.clear();
    m_Held.clear();
    for (uint32_t step = 0; step < steps && !m_Stop; ++step) {
      m_Where = "seed " + std::to_string(seed) + " format " + std::to_string(m_Format) + " step " +
                std::to_string(step) + ": ";
      Step(step);
    }
    if (!m_Stop) CheckMatrix();
    m_Held.clear();
    m_Matrix = nullptr;
  }
};

uint32_t FromEnv(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && std::atoi(v) > 0 ? static_cast<uint32_t>(std::atoi(v)) : fallback;
}

std::string ModelName(const ::testing::TestParamInfo<Params>& instance) {
  static const char* formats[] = {"Int32", "Float64", "Complex128", "Int16", "Int64", "Float32", "Complex64"};
  return std::string(instance.param.kind == matrixSingleObject ? "Single" : "Multi") + "From" +
         formats[instance.param.format];
}

TEST_P(MatrixModelTest, EveryPartOfEveryElementSurvives) {
  const uint32_t seeds = FromEnv("VQ_MODEL_SEEDS", 3), steps = FromEnv("VQ_MODEL_STEPS", 400);
  for (uint32_t seed = 1; seed <= seeds && !HasFailure(); ++seed) Run(seed, steps);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MatrixModelTest,
    ::testing::Values(Params{matrixSingleObject, dataFormatFloat64}, Params{matrixSingleObject, dataFormatInt64},
                      Params{matrixSingleObject, dataFormatComplex64}, Params{matrixSingleObject, dataFormatFloat32},
                      Params{matrixMultipleObjects, dataFormatFloat64}, Params{matrixMultipleObjects, dataFormatInt16},
                      Params{matrixMultipleObjects, dataFormatFloat32}),
    ModelName);

}  // namespace
}  // namespace vq::test
