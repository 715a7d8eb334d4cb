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

// Forgets whatever an earlier call left, so each check sees only its own.
void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

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
  // A stream of an uninitialised-shape header: version 4 with 3 dimensions.
  static vq::ComPtr<IStream> ThreeDimensionStream() {
    std::vector<uint8_t> bytes = {4, 0, 0, 0, 3, 0, 0, 0};
    return vqtest::StreamOf(bytes);
  }
};

// The common failures: their code, and the words that tell the caller why.
TEST_F(ErrorInfoTest, CommonFailuresSayWhy) {
  auto spectra = Spectra();
  auto fresh = NewMatrix();
  auto item = NewItem(51, 1);
  auto result = NewItem();
  vq::ComPtr<IUnknown> out;
  const auto byRow = matrixDirectionByRow;
  struct Case {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT code;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"get_DataPtr outside", [&] { return spectra->get_DataPtr(5000, 0, 0, 0, out.put()); }, E_INVALIDARG,
       {"(5000, 0, 0, 0)", "outside the matrix", "20 x 2 x 1 x 1"}},
      {"get_ConstDataPtr outside", [&] { return spectra->get_ConstDataPtr(0, 0, 0, 7, 1, out.put()); }, E_INVALIDARG,
       {"(0, 0, 0, 7)", "outside the matrix"}},
      {"put_DataPtr outside", [&] { return spectra->put_DataPtr(-1, 0, 0, 0, item.get()); }, E_INVALIDARG,
       {"(-1, 0, 0, 0)", "outside the matrix"}},
      {"get_ConstDataSubsetPtr reversed", [&] { return spectra->get_ConstDataSubsetPtr(0, 0, 0, 0, 9, 3, 0, out.put()); },
       E_FAIL, {"reversed", "9", "3"}},
      {"slice outside the axis", [&] { return spectra->GetD1D2Slice(95, 105, 0, 0, 0, byRow, result.get()); }, E_FAIL,
       {"x-range 95 to 105", "outside the x-axis", "0 to 50 Hz"}},
      {"slice reversed", [&] { return spectra->GetD1D2Slice(30, 20, 0, 0, 0, byRow, result.get()); }, E_FAIL,
       {"reversed", "30", "20"}},
      {"slice plane outside", [&] { return spectra->GetD1D2Slice(1, 2, 0, 4, 0, byRow, result.get()); }, E_FAIL,
       {"d3 = 4", "outside the matrix"}},
      {"spectrum d4 outside", [&] { return spectra->GetD1D2SliceSpectrum(0, 0, 3, byRow, result.get()); }, E_FAIL,
       {"d4 = 3", "0 to 0"}},
      {"spectrum record outside", [&] { return spectra->GetD2D3SliceSpectrum(2, 0, 0, byRow, result.get()); }, E_FAIL,
       {"Record Z = 2", "1 records"}},
      {"bad direction", [&] { return spectra->GetD1D2Slice(1, 2, 0, 0, 0, static_cast<matrixDirectionType>(7), result.get()); },
       E_FAIL, {"direction 7"}},
      {"get_Size dimension", [&] {
         LONG size = 0;
         return spectra->get_Size(7, &size);
       }, E_FAIL, {"Dimension 7"}},
      {"GetAxis dimension", [&] {
         DOUBLE first = 0, step = 0;
         BSTR unit = nullptr;
         return spectra->GetAxis(4, &first, &step, &unit);
       }, E_FAIL, {"Dimension 4", "0 to 3"}},
      {"attributes plane", [&] { return spectra->put_AttributesDataPtr(5, item.get()); }, E_INVALIDARG, {"d4 = 5"}},
      {"unknown identifier", [&] { return spectra->get_DataPtrID(4711, out.put()); }, E_FAIL, {"identifier 4711"}},
      {"Initialize twice", [&] { return spectra->Initialize(1, 2, 2, 2, 2); },
       HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED), {"already initialised"}},
      {"Initialize sizes", [&] { return fresh->Initialize(1, 3, 0, 1, 1); }, E_INVALIDARG, {"3 x 0 x 1 x 1"}},
      {"Initialize2 type", [&] { return fresh->Initialize2(1, 1, 1, 1, 1, 1, 1, static_cast<matrixType>(9)); }, E_INVALIDARG,
       {"matrix type 9"}},
      {"get_DataPtr uninitialised", [&] { return fresh->get_DataPtr(0, 0, 0, 0, out.put()); }, E_FAIL,
       {"not initialised", "Initialize"}},
      {"AllAllocate uninitialised", [&] { return fresh->AllAllocate(4, 1, dataFormatFloat64); }, E_FAIL,
       {"not initialised"}},
      {"slice uninitialised", [&] { return fresh->GetD2D3Slice(1, 2, 0, 0, 0, byRow, result.get()); }, E_FAIL,
       {"not initialised"}},
      {"get_ID uninitialised", [&] {
         LONG id = 0;
         return fresh->get_ID(0, 0, 0, 0, &id);
       }, E_INVALIDARG, {"not initialised"}},
      {"AllSaveToDisk uninitialised", [&] { return fresh->AllSaveToDisk(); }, E_FAIL, {"not initialised"}},
      {"null argument", [&] { return spectra->get_DataPtr(0, 0, 0, 0, nullptr); }, E_POINTER, {"pVal", "null"}},
      {"malformed stream", [&] { return fresh->Read(ThreeDimensionStream().get()); },
       HRESULT_FROM_WIN32(ERROR_INVALID_DATA), {"stream", "dimension count is not 4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearErrorInfo();
    const HRESULT hr = c.call();
    ASSERT_EQ(hr, c.code);
    const Reported r = TakeErrorInfo(hr);
    ASSERT_TRUE(r.present);
    for (const std::string& word : c.words) EXPECT_NE(r.description.find(word), std::string::npos) << r.description;
    EXPECT_TRUE(r.guid == IID_IVQDataMatrix);
    EXPECT_EQ(r.source, "VQDataMatrix");
    EXPECT_EQ(r.comErrorDescription, r.description);
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
      {"GetTagVectorsData", [&] {
         EXPECT_EQ(m->PutTagVectorsData(TaggedItem().get()), S_OK);
         return m->GetTagVectorsData(nullptr);
       }},
      {"PutTagVectorsData", [&] { return m->PutTagVectorsData(m.get()); }},
      {"HasData", [&] { return m->HasData(1, nullptr); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    ClearErrorInfo();
    const HRESULT hr = call();
    ASSERT_TRUE(FAILED(hr)) << std::hex << hr;
    const Reported r = TakeErrorInfo(hr);
    ASSERT_TRUE(r.present);
    EXPECT_FALSE(r.description.empty());
    EXPECT_TRUE(r.guid == IID_IVQDataMatrix);
  }
}

// A data item's own error information reaches the matrix's caller as the
// item gave it: a stream whose last item form is damaged fails Read with the
// words the item says for the same form alone.
TEST_F(ErrorInfoTest, DataItemErrorsPassOnTheirOwnWords) {
  auto m = NewMatrix(1, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject);
  vq::ComPtr<IStream> written = vqtest::NewStream();
  ASSERT_EQ(m->Write(written.get()), S_OK);
  std::vector<uint8_t> bytes = vqtest::BytesOf(written.get());
  bytes.back() ^= 0x5A;  // the item form's checksum

  // The item form alone: what the stream holds after the matrix's fields.
  vq::ComPtr<IStream> itemForm = vqtest::NewStream();
  vq::ComPtr<IVQDataPersist> persist = Get(m.get(), 0, 0, 0, 0).query<IVQDataPersist>();
  ASSERT_EQ(persist->SaveToStream(itemForm.get()), S_OK);
  const size_t formBytes = vqtest::BytesOf(itemForm.get()).size();
  ASSERT_LT(formBytes, bytes.size());
  std::vector<uint8_t> form(bytes.end() - static_cast<ptrdiff_t>(formBytes), bytes.end());
  vq::ComPtr<IVQDataPersist> alone = NewItem().query<IVQDataPersist>();
  ClearErrorInfo();
  const HRESULT itemHr = alone->LoadFromStream(vqtest::StreamOf(form).get());
  ASSERT_TRUE(FAILED(itemHr));
  const Reported itemSays = TakeErrorInfo(itemHr);
  ASSERT_TRUE(itemSays.present);

  auto reader = NewMatrix();
  ClearErrorInfo();
  const HRESULT hr = reader->Read(vqtest::StreamOf(bytes).get());
  EXPECT_EQ(hr, itemHr);
  const Reported r = TakeErrorInfo(hr);
  ASSERT_TRUE(r.present);
  EXPECT_EQ(r.description, itemSays.description);
  EXPECT_TRUE(r.guid == itemSays.guid);
}

}  // namespace
