// Initialisation that fails, and initialisation refused: a matrix whose
// Initialize or Initialize2 failed is a new matrix again (every method then
// fails cleanly or does only what a new matrix can, and Initialize can be
// tried again); a refused second initialisation changes nothing.
#include <functional>
#include <set>
#include <string>

#include "memory/FileCache.h"
#include "platform/testlib/StreamTestSupport.h"
#include "storage/DataBase.h"
#include "support/MatrixFixture.h"

namespace vq::test {
namespace {

class KindInitTest : public KindTest {
 protected:
  // While the swap file's folder is missing (the environment fails its
  // creation with ENOENT), every Initialize fails in its swap file stage.
  void SetUp() override {
    KindTest::SetUp();
    m_Env.failCreate = true;
  }
  void CreateTheFolder() { m_Env.failCreate = false; }

  // Initialises the parameter's kind the way its clients do.
  HRESULT Init(IVQDataMatrix* m) {
    return GetParam() == matrixSingleObject ? m->Initialize(1, 3, 2, 1, 2)
                                            : m->Initialize2(3, 2, 1, 2, 16, 2, dataFormatFloat64, GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(BothKinds, KindInitTest, kStorageKinds, KindName);

// The stream of a small initialised matrix, written while the temporary
// folder exists.
vq::ComPtr<IStream> StreamOfAMatrix() {
  vq::ComPtr<IStream> stream = vqtest::NewStream();
  vq::ComPtr<IVQDataMatrix> m;
  EXPECT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void()),
            S_OK);
  EXPECT_EQ(m->Initialize2(2, 1, 1, 1, 4, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  EXPECT_EQ(m->Write(stream.get()), S_OK);
  vqtest::Rewind(stream.get());
  return stream;
}

TEST_P(KindInitTest, AFailedInitializeLeavesANewMatrixThatFailsCleanlyAndCanBeInitialisedAgain) {
  CreateTheFolder();
  auto stream = StreamOfAMatrix();
  m_Env.failCreate = true;
  auto m = NewMatrix();
  ASSERT_EQ(Init(m.get()), E_FAIL);

  auto item = NewItem(16, 2);
  LONG v = -7;
  double first = 0, step = 0;
  BSTR text = nullptr;
  vq::ComPtr<IUnknown> out;
  LONG d[4] = {0, 0, 0, 0};
  vq::ComPtr<IStream> written = vqtest::NewStream();
  _bstr_t unit(L"Hz");
  const auto row = matrixDirectionByRow;
  struct Call {
    const char* Name;
    std::function<HRESULT()> Run;
    HRESULT Expected;
    std::function<void()> Check = nullptr;  // what an S_OK answer must have written
  };
  const Call calls[] = {
      {"Initialize (folder still missing)", [&] { return Init(m.get()); }, E_FAIL},
      // An unknown storage kind is refused before anything is stored; a later
      // access would otherwise divide by an element count of 0.
      {"Initialize2 with type 7", [&] { return m->Initialize2(3, 2, 1, 2, 16, 2, 1, matrixType(7)); }, E_INVALIDARG},
      {"Initialize2 with type 2", [&] { return m->Initialize2(3, 2, 1, 2, 16, 2, 1, matrixType(2)); }, E_INVALIDARG},
      {"Initialize2 with type -1", [&] { return m->Initialize2(3, 2, 1, 2, 16, 2, 1, matrixType(-1)); }, E_INVALIDARG},
      {"ReleaseAllVQData", [&] { return m->ReleaseAllVQData(); }, S_OK},
      {"get_DataPtr", [&] { return m->get_DataPtr(0, 0, 0, 0, out.put()); }, E_FAIL},
      {"put_DataPtr", [&] { return m->put_DataPtr(0, 0, 0, 0, item.get()); }, E_FAIL},
      {"get_Dimensions", [&] { return m->get_Dimensions(&v); }, S_OK, [&] { EXPECT_EQ(v, 0); }},
      {"get_Size(0)", [&] { return m->get_Size(0, &v); }, S_OK, [&] { EXPECT_EQ(v, 0); }},
      {"get_Size(1)", [&] { return m->get_Size(1, &v); }, E_FAIL},
      {"InitializeAxis", [&] { return m->InitializeAxis(0, 1.0, 2.0, unit.GetBSTR()); }, E_FAIL},
      {"GetAxis", [&] { return m->GetAxis(0, &first, &step, &text); }, E_FAIL},
      {"AllAllocate", [&] { return m->AllAllocate(16, 2, dataFormatFloat64); }, E_FAIL},
      {"AllInitializeAsLinear", [&] { return m->AllInitializeAsLinear(16, 0.0, 1.0, unit.GetBSTR()); }, E_FAIL},
      {"GetD1D2Slice", [&] { return m->GetD1D2Slice(0, 5, 0, 0, 0, row, item.get()); }, E_FAIL},
      {"GetD1D3Slice", [&] { return m->GetD1D3Slice(0, 5, 0, 0, 0, row, item.get()); }, E_FAIL},
      {"GetD2D3Slice", [&] { return m->GetD2D3Slice(0, 5, 0, 0, 0, row, item.get()); }, E_FAIL},
      {"GetD1D2SliceSpectrum", [&] { return m->GetD1D2SliceSpectrum(0, 0, 0, row, item.get()); }, E_FAIL},
      {"GetD1D3SliceSpectrum", [&] { return m->GetD1D3SliceSpectrum(0, 0, 0, row, item.get()); }, E_FAIL},
      {"GetD2D3SliceSpectrum", [&] { return m->GetD2D3SliceSpectrum(0, 0, 0, row, item.get()); }, E_FAIL},
      // A new matrix writes itself as one: a header without dimensions.
      {"Write", [&] { return m->Write(written.get()); }, S_OK,
       [&] {
         const std::vector<uint8_t> bytes = vqtest::BytesOf(written.get());
         ASSERT_GT(bytes.size(), 8u);
         EXPECT_EQ(bytes[4] | bytes[5] | bytes[6] | bytes[7], 0);  // dimension count
       }},
      {"Read (its Initialize fails too)", [&] { return m->Read(stream.get()); }, E_FAIL},
      {"get_ID", [&] { return m->get_ID(0, 0, 0, 0, &v); }, E_INVALIDARG},
      {"put_ID", [&] { return m->put_ID(0, 0, 0, 0, 7); }, E_INVALIDARG},
      {"get_Label", [&] { return m->get_Label(0, 0, 0, 0, &text); }, E_INVALIDARG},
      {"put_Label", [&] { return m->put_Label(0, 0, 0, 0, unit.GetBSTR()); }, E_INVALIDARG},
      {"get_DataPtrID", [&] { return m->get_DataPtrID(7, out.put()); }, E_FAIL},
      {"put_DataPtrID", [&] { return m->put_DataPtrID(7, item.get()); }, E_FAIL},
      {"GetPositionFromID", [&] { return m->GetPositionFromID(7, &d[0], &d[1], &d[2], &d[3]); }, E_FAIL},
      // The matrix label, the swap order and the tag vector carrier belong to
      // a new matrix as well.
      {"put_MatrixLabel", [&] { return m->put_MatrixLabel(unit.GetBSTR()); }, S_OK},
      {"get_MatrixLabel", [&] { return m->get_MatrixLabel(&text); }, S_OK,
       [&] {
         EXPECT_STREQ(text, L"Hz");
         SysFreeString(text);
         text = nullptr;
       }},
      {"get_FirstValidDataPtr", [&] { return m->get_FirstValidDataPtr(&d[0], &d[1], &d[2], &d[3], out.put()); },
       E_FAIL},
      {"get_IsAllDataValid", [&] { return m->get_IsAllDataValid(&v); }, E_FAIL, [&] { EXPECT_EQ(v, 0); }},
      {"SetElementPriority", [&] { return m->SetElementPriority(elementPriorityLifo); }, S_OK},
      {"get_ConstDataPtr", [&] { return m->get_ConstDataPtr(0, 0, 0, 0, 1, out.put()); }, E_FAIL},
      {"AllSaveToDisk", [&] { return m->AllSaveToDisk(); }, E_FAIL},
      {"get_ConstDataSubsetPtr", [&] { return m->get_ConstDataSubsetPtr(0, 0, 0, 0, 0, 3, 1, out.put()); }, E_FAIL},
      {"put_AttributesDataPtr", [&] { return m->put_AttributesDataPtr(0, item.get()); }, E_INVALIDARG},
      {"CopyContentsToSingleVqData", [&] { return m->CopyContentsToSingleVqData(item.get()); }, E_FAIL},
      {"PutTagVectorsData", [&] { return m->PutTagVectorsData(nullptr); }, S_OK},
      {"GetTagVectorsData (none to copy)", [&] { return m->GetTagVectorsData(item.get()); }, S_OK},
      {"HasData", [&] { return m->HasData(7, &v); }, S_OK, [&] { EXPECT_EQ(v, 0); }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.Name);
    out = nullptr;
    const HRESULT hr = call.Run();
    EXPECT_EQ(hr, call.Expected);
    if (hr == S_OK && call.Check) call.Check();
    EXPECT_FALSE(out);
    // Still a new matrix after every call.
    LONG dimensions = -1;
    ASSERT_EQ(m->get_Dimensions(&dimensions), S_OK);
    ASSERT_EQ(dimensions, 0);
    EXPECT_EQ(Impl(m.get())->FileCache(), nullptr);
    EXPECT_EQ(Impl(m.get())->StorageObjectCount(), 0u);
    EXPECT_EQ(Impl(m.get())->WorkerThreadId(), 0u);
  }

  // With the folder in place the same matrix initialises and swaps.
  CreateTheFolder();
  ASSERT_EQ(Init(m.get()), S_OK);
  if (GetParam() == matrixSingleObject) {
    ASSERT_EQ(m->AllAllocate(16, 2, dataFormatFloat64), S_OK);
  }
  EXPECT_NE(Impl(m.get())->WorkerThreadId(), 0u);
  Fill(m.get());
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  for (uint32_t i = 0; i < Impl(m.get())->DataCount(); ++i) {
    EXPECT_TRUE(Impl(m.get())->StorageAt(i)->IsOnDisk()) << i;
  }
  EXPECT_EQ(Impl(m.get())->FileCache()->BlockCount(), Impl(m.get())->DataCount());
  Verify(m.get());

  // Once its items are released, what needs an element fails cleanly and the
  // rest works. Packed storage objects are made by AllAllocate, so it builds
  // them anew; single-object ones are made by Initialize only.
  ASSERT_EQ(m->ReleaseAllVQData(), S_OK);
  const std::set<std::string> failing = {
      "get_DataPtr", "put_DataPtr", "get_ConstDataPtr", "get_ConstDataSubsetPtr", "get_ID",
      "put_ID",      "get_Label",   "put_Label",        "get_FirstValidDataPtr",  "put_AttributesDataPtr"};
  const std::set<std::string> working = {"HasData", "AllSaveToDisk", "AllInitializeAsLinear", "get_IsAllDataValid"};
  size_t asked = 0;
  for (const Call& call : calls) {
    const bool fails = failing.count(call.Name) != 0, works = working.count(call.Name) != 0;
    const bool write = std::string(call.Name) == "Write";  // stops at the first element
    if (!fails && !works && !write) continue;
    ++asked;
    SCOPED_TRACE(std::string("released: ") + call.Name);
    out = nullptr;
    const HRESULT hr = call.Run();
    EXPECT_EQ(hr, fails ? E_FAIL : works ? S_OK : E_POINTER);
    if (hr == S_OK && call.Check) call.Check();
    EXPECT_FALSE(out);
  }
  EXPECT_EQ(asked, failing.size() + working.size() + 1);
  EXPECT_EQ(m->AllAllocate(16, 2, dataFormatFloat64), GetParam() == matrixSingleObject ? E_FAIL : S_OK);
}

// Initialize2 is Initialize and AllAllocate: when the allocation is refused,
// the initialisation goes too, and the call can be made again.
// Refused: negative sizes, 8 GiB per element, an unknown format, and on
// packed storage elements without bytes (a single object may stay empty).
TEST_P(KindInitTest, Initialize2ThatCannotAllocateLeavesANewMatrix) {
  CreateTheFolder();
  auto m = NewMatrix();
  const LONG refused[][3] = {
      {-8, 1, dataFormatFloat64}, {0x20000000, 2, dataFormatFloat64}, {8, 1, 9}, {0, 1, dataFormatFloat64}};
  for (const auto& [x, z, format] : refused) {
    if (x == 0 && GetParam() == matrixSingleObject) continue;
    EXPECT_EQ(m->Initialize2(2, 2, 1, 1, x, z, format, GetParam()), E_INVALIDARG) << x << " " << format;
    LONG dimensions = -1;
    ASSERT_EQ(m->get_Dimensions(&dimensions), S_OK);
    EXPECT_EQ(dimensions, 0);
    EXPECT_EQ(Impl(m.get())->FileCache(), nullptr);
    EXPECT_EQ(Impl(m.get())->WorkerThreadId(), 0u);
  }
  ASSERT_EQ(m->Initialize2(2, 2, 1, 1, 8, 1, dataFormatFloat64, GetParam()), S_OK);
  Fill(m.get());
  Verify(m.get());
}

// A second initialisation is refused before it changes anything, whether its
// arguments are good or not and whether or not it could create a swap file:
// the first one's sizes, values, identifiers, axes and swap file stay.
TEST_P(KindInitTest, ARefusedSecondInitialisationKeepsTheFirst) {
  CreateTheFolder();
  auto m = NewMatrix();
  ASSERT_EQ(Init(m.get()), S_OK);
  if (GetParam() == matrixSingleObject) {
    ASSERT_EQ(m->AllAllocate(16, 2, dataFormatFloat64), S_OK);
  }
  Fill(m.get());
  ASSERT_EQ(m->put_ID(1, 1, 0, 1, 42), S_OK);
  ASSERT_EQ(m->InitializeAxis(2, 1.5, 0.5, _bstr_t(L"rpm").GetBSTR()), S_OK);
  CFileCache* swapFile = Impl(m.get())->FileCache();
  const DWORD worker = Impl(m.get())->WorkerThreadId();
  const uint32_t objects = Impl(m.get())->DataCount();

  auto stream = StreamOfAMatrix();
  m_Env.failCreate = true;  // a new swap file could not be made now
  const HRESULT already = HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(m->Initialize(1, 3, 2, 1, 2), already);
  EXPECT_EQ(m->Initialize(0, 5, 5, 5, 5), already);
  EXPECT_EQ(m->Initialize(1, 0, 2, 1, 2), E_INVALIDARG);
  EXPECT_EQ(m->Initialize2(3, 2, 1, 2, 16, 2, dataFormatFloat64, matrixSingleObject), already);
  EXPECT_EQ(m->Initialize2(3, 2, 1, 2, 16, 2, dataFormatFloat64, matrixMultipleObjects), already);
  EXPECT_EQ(m->Initialize2(3, 2, 1, 2, 16, 2, dataFormatFloat64, static_cast<matrixType>(9)), E_INVALIDARG);
  EXPECT_EQ(m->Read(stream.get()), already);

  const LONG sizes[] = {4, 3, 2, 1, 2};
  for (LONG dim = 0; dim <= 4; ++dim) {
    LONG s = 0;
    ASSERT_EQ(m->get_Size(dim, &s), S_OK);
    EXPECT_EQ(s, sizes[dim]) << dim;
  }
  EXPECT_EQ(Impl(m.get())->FileCache(), swapFile);
  EXPECT_EQ(Impl(m.get())->WorkerThreadId(), worker);
  EXPECT_EQ(Impl(m.get())->DataCount(), objects);
  LONG id = 0;
  ASSERT_EQ(m->get_ID(1, 1, 0, 1, &id), S_OK);
  EXPECT_EQ(id, 42);
  double first = 0, step = 0;
  BSTR unit = nullptr;
  ASSERT_EQ(m->GetAxis(2, &first, &step, &unit), S_OK);
  EXPECT_EQ(first, 1.5);
  EXPECT_EQ(step, 0.5);
  EXPECT_STREQ(unit, L"rpm");
  SysFreeString(unit);
  Verify(m.get());
  // The first swap file still takes every storage object.
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  for (uint32_t i = 0; i < objects; ++i) EXPECT_TRUE(Impl(m.get())->StorageAt(i)->IsOnDisk()) << i;
  Verify(m.get());
}

}  // namespace
}  // namespace vq::test
