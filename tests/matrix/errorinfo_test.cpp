// Error information of the matrix's failures: what a caller reads after a
// failed method (GetErrorInfo, _com_error), for the common failures word by
// word and for every method of the interface at least that it is there.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/testlib/StreamTestSupport.h"
#include "support/MatrixFixture.h"

namespace {

using vq::test::MatrixTest;

// What the thread's error information holds after a failure.
struct Reported {
  bool present = false;
  std::string description, source;
  GUID guid{};
  std::string comErrorDescription;  // _com_error(hr, info).Description()
};

std::string Narrow(const _bstr_t& text) {
  const char* narrow = text.length() != 0 ? static_cast<const char*>(text) : nullptr;
  return narrow != nullptr ? narrow : "";
}

// Takes the thread's error information, as a caller does after hr.
Reported TakeErrorInfo(HRESULT hr) {
  Reported r;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return r;
  r.present = true;
  BSTR text = nullptr;
  EXPECT_EQ(info->GetDescription(&text), S_OK);
  r.description = Narrow(_bstr_t(text, false));
  EXPECT_EQ(info->GetSource(&text), S_OK);
  r.source = Narrow(_bstr_t(text, false));
  EXPECT_EQ(info->GetGUID(&r.guid), S_OK);
  r.comErrorDescription = Narrow(_com_error(hr, info).Description());  // takes over the reference
  return r;
}

class ErrorInfoTest : public MatrixTest {
 protected:
  // A 20 x 2 x 1 x 1 matrix of one-record spectra of 51 lines, 0 to 50 Hz.
  vq::ComPtr<IVQDataMatrix> Spectra() {
    auto m = NewMatrix(20, 2, 1, 1, 51, 1, dataFormatFloat64, matrixSingleObject);
    EXPECT_EQ(m->AllInitializeAsLinear(51, 0.0, 1.0, _bstr_t(L"Hz")), S_OK);
    return m;
  }
  // An item whose tag vector 0 holds one value.
  static vq::ComPtr<IVQData> TaggedItem() {
    auto item = NewItem();
    vq::ComPtr<IVQTagVector> vector;
    EXPECT_EQ(item->GetTagVector(0, vector.put()), S_OK);
    EXPECT_EQ(vector ? vector->Add(1.5) : E_POINTER, S_OK);
    return item;
  }
};

// The common failures: their code, and the words that tell the caller why.
TEST_F(ErrorInfoTest, CommonFailuresSayWhy) {
  auto s = Spectra();
  auto fresh = NewMatrix();
  auto item = NewItem(51, 1);
  auto r = NewItem();
  vq::ComPtr<IUnknown> out;
  LONG n = 0;
  DOUBLE x = 0;
  BSTR unit = nullptr;
  const auto byRow = matrixDirectionByRow;
  const auto badDirection = static_cast<matrixDirectionType>(7);
  const HRESULT kAlready = HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
  struct Case {
    HRESULT code;
    std::vector<std::string> words;
    std::function<HRESULT()> call;
  };
  const std::vector<Case> cases = {
      {E_INVALIDARG,
       {"(5000, 0, 0, 0)", "outside the matrix", "20 x 2 x 1 x 1"},
       [&] { return s->get_DataPtr(5000, 0, 0, 0, out.put()); }},
      {E_INVALIDARG, {"(0, 0, 0, 7)", "outside"}, [&] { return s->get_ConstDataPtr(0, 0, 0, 7, 1, out.put()); }},
      {E_INVALIDARG, {"(-1, 0, 0, 0)", "outside"}, [&] { return s->put_DataPtr(-1, 0, 0, 0, item.get()); }},
      {E_FAIL, {"reversed", "9", "3"}, [&] { return s->get_ConstDataSubsetPtr(0, 0, 0, 0, 9, 3, 0, out.put()); }},
      {E_FAIL,
       {"x-range 95 to 105", "outside the x-axis", "0 to 50 Hz"},
       [&] { return s->GetD1D2Slice(95, 105, 0, 0, 0, byRow, r.get()); }},
      {E_FAIL, {"reversed", "30", "20"}, [&] { return s->GetD1D2Slice(30, 20, 0, 0, 0, byRow, r.get()); }},
      {E_FAIL, {"d3 = 4", "outside the matrix"}, [&] { return s->GetD1D2Slice(1, 2, 0, 4, 0, byRow, r.get()); }},
      {E_FAIL, {"d4 = 3", "0 to 0"}, [&] { return s->GetD1D2SliceSpectrum(0, 0, 3, byRow, r.get()); }},
      {E_FAIL, {"Record Z = 2", "1 records"}, [&] { return s->GetD2D3SliceSpectrum(2, 0, 0, byRow, r.get()); }},
      {E_FAIL, {"direction 7"}, [&] { return s->GetD1D2Slice(1, 2, 0, 0, 0, badDirection, r.get()); }},
      {E_FAIL, {"Dimension 7"}, [&] { return s->get_Size(7, &n); }},
      {E_FAIL, {"Dimension 4", "0 to 3"}, [&] { return s->GetAxis(4, &x, &x, &unit); }},
      {E_INVALIDARG, {"d4 = 5"}, [&] { return s->put_AttributesDataPtr(5, item.get()); }},
      {E_FAIL, {"identifier 4711"}, [&] { return s->get_DataPtrID(4711, out.put()); }},
      {kAlready, {"already initialised"}, [&] { return s->Initialize(1, 2, 2, 2, 2); }},
      {E_INVALIDARG, {"3 x 0 x 1 x 1"}, [&] { return fresh->Initialize(1, 3, 0, 1, 1); }},
      {E_INVALIDARG,
       {"matrix type 9"},
       [&] { return fresh->Initialize2(1, 1, 1, 1, 1, 1, 1, static_cast<matrixType>(9)); }},
      {E_FAIL, {"not initialised", "Initialize"}, [&] { return fresh->get_DataPtr(0, 0, 0, 0, out.put()); }},
      {E_FAIL, {"not initialised"}, [&] { return fresh->AllAllocate(4, 1, dataFormatFloat64); }},
      {E_FAIL, {"not initialised"}, [&] { return fresh->GetD2D3Slice(1, 2, 0, 0, 0, byRow, r.get()); }},
      {E_INVALIDARG, {"not initialised"}, [&] { return fresh->get_ID(0, 0, 0, 0, &n); }},
      {E_FAIL, {"not initialised"}, [&] { return fresh->AllSaveToDisk(); }},
      {E_POINTER, {"pVal", "null"}, [&] { return s->get_DataPtr(0, 0, 0, 0, nullptr); }},
      {HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
       {"stream", "dimension count is not 4"},
       [&] {
         return fresh->Read(vqtest::StreamOf({4, 0, 0, 0, 3, 0, 0, 0}).get());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    SetErrorInfo(0, nullptr);  // each check sees only its own
    const HRESULT hr = c.call();
    ASSERT_EQ(hr, c.code);
    const Reported reported = TakeErrorInfo(hr);
    ASSERT_TRUE(reported.present);
    for (const std::string& word : c.words) {
      EXPECT_NE(reported.description.find(word), std::string::npos) << reported.description;
    }
    EXPECT_TRUE(reported.guid == IID_IVQDataMatrix);
    EXPECT_EQ(reported.source, "VQDataMatrix");
    EXPECT_EQ(reported.comErrorDescription, reported.description);
  }
}

// Every method of the interface, called where it fails (a new matrix, or
// missing arguments): each failure comes with a description.
TEST_F(ErrorInfoTest, EveryFailingMethodReports) {
  auto m = NewMatrix();
  auto item = NewItem(4, 1);
  vq::ComPtr<IUnknown> out;
  LONG value = 0;
  DOUBLE real = 0;
  BSTR text = nullptr;
  const _bstr_t unit(L"Hz");
  const auto byRow = matrixDirectionByRow;
  const std::vector<std::pair<const char*, std::function<HRESULT()>>> calls = {
      {"Initialize", [&] { return m->Initialize(1, 0, 1, 1, 1); }},
      {"get_DataPtr", [&] { return m->get_DataPtr(0, 0, 0, 0, out.put()); }},
      {"put_DataPtr", [&] { return m->put_DataPtr(0, 0, 0, 0, item.get()); }},
      {"get_Dimensions", [&] { return m->get_Dimensions(nullptr); }},
      {"get_Size", [&] { return m->get_Size(2, &value); }},
      {"InitializeAxis", [&] { return m->InitializeAxis(0, 0.0, 1.0, unit); }},
      {"GetAxis", [&] { return m->GetAxis(0, &real, &real, &text); }},
      {"AllAllocate", [&] { return m->AllAllocate(4, 1, dataFormatFloat64); }},
      {"AllInitializeAsLinear", [&] { return m->AllInitializeAsLinear(4, 0.0, 1.0, unit); }},
      {"GetD1D2Slice", [&] { return m->GetD1D2Slice(0, 1, 0, 0, 0, byRow, item.get()); }},
      {"GetD1D3Slice", [&] { return m->GetD1D3Slice(0, 1, 0, 0, 0, byRow, item.get()); }},
      {"GetD2D3Slice", [&] { return m->GetD2D3Slice(0, 1, 0, 0, 0, byRow, nullptr); }},
      {"GetD1D2SliceSpectrum", [&] { return m->GetD1D2SliceSpectrum(0, 0, 0, byRow, item.get()); }},
      {"GetD1D3SliceSpectrum", [&] { return m->GetD1D3SliceSpectrum(0, 0, 0, byRow, item.get()); }},
      {"GetD2D3SliceSpectrum", [&] { return m->GetD2D3SliceSpectrum(0, 0, 0, byRow, nullptr); }},
      {"Write", [&] { return m->Write(nullptr); }},
      {"Read", [&] { return m->Read(nullptr); }},
      {"get_ID", [&] { return m->get_ID(0, 0, 0, 0, &value); }},
      {"put_ID", [&] { return m->put_ID(0, 0, 0, 0, 1); }},
      {"get_Label", [&] { return m->get_Label(0, 0, 0, 0, &text); }},
      {"put_Label", [&] { return m->put_Label(0, 0, 0, 0, unit); }},
      {"get_DataPtrID", [&] { return m->get_DataPtrID(1, out.put()); }},
      {"put_DataPtrID", [&] { return m->put_DataPtrID(1, item.get()); }},
      {"GetPositionFromID", [&] { return m->GetPositionFromID(1, &value, &value, &value, &value); }},
      {"get_MatrixLabel", [&] { return m->get_MatrixLabel(nullptr); }},
      {"get_FirstValidDataPtr", [&] { return m->get_FirstValidDataPtr(&value, &value, &value, &value, out.put()); }},
      {"get_IsAllDataValid", [&] { return m->get_IsAllDataValid(&value); }},
      {"get_ConstDataPtr", [&] { return m->get_ConstDataPtr(0, 0, 0, 0, 1, out.put()); }},
      {"AllSaveToDisk", [&] { return m->AllSaveToDisk(); }},
      {"get_ConstDataSubsetPtr", [&] { return m->get_ConstDataSubsetPtr(0, 0, 0, 0, 0, 1, 0, out.put()); }},
      {"put_AttributesDataPtr", [&] { return m->put_AttributesDataPtr(0, item.get()); }},
      {"Initialize2", [&] { return m->Initialize2(1, 1, 1, 1, -4, 1, dataFormatFloat64, matrixMultipleObjects); }},
      {"CopyContentsToSingleVqData", [&] { return m->CopyContentsToSingleVqData(item.get()); }},
      {"GetTagVectorsData",
       [&] {
         EXPECT_EQ(m->PutTagVectorsData(TaggedItem().get()), S_OK);
         return m->GetTagVectorsData(nullptr);
       }},
      {"PutTagVectorsData", [&] { return m->PutTagVectorsData(m.get()); }},
      {"HasData", [&] { return m->HasData(1, nullptr); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    SetErrorInfo(0, nullptr);  // each check sees only its own
    const HRESULT hr = call();
    ASSERT_TRUE(FAILED(hr)) << std::hex << hr;
    const Reported r = TakeErrorInfo(hr);
    ASSERT_TRUE(r.present);
    EXPECT_FALSE(r.description.empty());
    EXPECT_TRUE(r.guid == IID_IVQDataMatrix);
  }
}

// A data item's own error information reaches the matrix's caller as the
// item gave it: a stream whose item form is damaged fails Read with the
// item's words and identifier, not the matrix's.
TEST_F(ErrorInfoTest, DataItemErrorsPassOnTheirOwnWords) {
  auto m = NewMatrix(1, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject);
  vq::ComPtr<IStream> written = vqtest::NewStream();
  ASSERT_EQ(m->Write(written.get()), S_OK);
  std::vector<uint8_t> bytes = vqtest::BytesOf(written.get());
  bytes.back() ^= 0x5A;  // the item form's checksum
  SetErrorInfo(0, nullptr);
  const HRESULT hr = NewMatrix()->Read(vqtest::StreamOf(bytes).get());
  ASSERT_TRUE(FAILED(hr));
  const Reported r = TakeErrorInfo(hr);
  ASSERT_TRUE(r.present);
  EXPECT_NE(r.description.find("checksum"), std::string::npos) << r.description;
  EXPECT_TRUE(r.guid == IID_IVQDataPersist);
}

}  // namespace
