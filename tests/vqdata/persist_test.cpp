// The item's stream form: round trips, bounds, damaged and truncated input.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "vqdata/VQDataFormat.h"
#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

// A forward-only stream over fixed bytes that cannot seek or tell its size,
// hands out at most `piece` bytes per Read, and takes at most `room` bytes of
// writes.
class PipeStream final : public vq::ForwardStream<PipeStream> {
 public:
  PipeStream(std::vector<uint8_t> bytes, ULONG piece, size_t room = 0)
      : m_Bytes(std::move(bytes)), m_Piece(piece), m_Room(room) {}
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    ULONG n = static_cast<ULONG>(std::min<size_t>({cb, m_Piece, m_Bytes.size() - m_At}));
    if (n > 0) std::memcpy(pv, m_Bytes.data() + m_At, n);
    m_At += n;
    if (pcbRead) *pcbRead = n;
    return n < cb ? S_FALSE : S_OK;
  }
  STDMETHODIMP Write(const void*, ULONG cb, ULONG* pcbWritten) override {
    ULONG n = static_cast<ULONG>(std::min<size_t>(cb, m_Room));
    m_Room -= n;
    if (pcbWritten) *pcbWritten = n;
    return S_OK;
  }
  size_t consumed() const { return m_At; }

 private:
  std::vector<uint8_t> m_Bytes;
  size_t m_At = 0;
  ULONG m_Piece;
  size_t m_Room;
};

vq::ComPtr<IVQDataPersist> Persist(IVQData* item) {
  vq::ComPtr<IVQDataPersist> p;
  EXPECT_EQ(item->QueryInterface(IID_IVQDataPersist, p.put_void()), S_OK);
  return p;
}

std::vector<uint8_t> Save(IVQData* item) {
  vq::ComPtr<IStream> s = NewStream();
  EXPECT_EQ(Persist(item)->SaveToStream(s.get()), S_OK);
  return BytesOf(s.get());
}

// An item with something in every part.
vq::ComPtr<IVQData> RichItem() {
  vq::ComPtr<IVQData> item = NewItem();
  double values[6];
  for (int i = 0; i < 6; ++i) values[i] = i * 1.25 - 2.0;
  uint64_t payloadNaN = 0x7FF4000000C0FFEEull;
  std::memcpy(&values[4], &payloadNaN, 8);
  item->SetRawData(3, 2, 1, values, sizeof values);
  item->SetName(Text(L"Spectrum \u00e9\u4e2d\U0001F600"));
  item->SetDescription(Text(L"line one\nline two"));
  vq::ComPtr<IVQAxis> axis;
  item->GetAxis(axis.put());
  axis->InitializeAsBands(3, 13, 3, Text(L"Hz"));
  item->AddAttribute(Text(L"Channel"), Text(L"Gain"), Text(L"A"), _variant_t(42));
  item->AddAttribute(Text(L"Channel"), Text(L"Name"), Text(L"A"), _variant_t(L"Mic\u00b0 1"));
  item->AddAttribute(Text(L""), Text(L""), Text(L""), _variant_t(-0.0));
  item->AddIndexedAttribute(1, 2, Text(L"Rec"), Text(L"ok"), Text(L"s"), _variant_t(true));
  item->AddIndexedAttribute(1, 1, Text(L"Rec"), Text(L"none"), Text(L""), _variant_t());
  vq::ComPtr<IVQTagVector> t;
  item->GetTagVector(3, t.put());
  t->Add(1.0);
  t->Add(NAN);
  return item;
}

TEST(VQDataPersist, EveryPartRoundTrips) {
  vq::ComPtr<IVQData> item = RichItem();
  std::vector<uint8_t> saved = Save(item.get());
  EXPECT_EQ(Get(Persist(item.get()).get(), &IVQDataPersist::GetSaveSize), saved.size());

  vq::ComPtr<IVQData> loaded = NewItem();
  loaded->Allocate(100, 100, 5);  // replaced whole
  loaded->AddAttribute(Text(L"Old"), Text(L"x"), Text(L""), _variant_t(1));
  vq::ComPtr<IStream> s = StreamOf(saved);
  ASSERT_EQ(Persist(loaded.get())->LoadFromStream(s.get()), S_OK);
  EXPECT_EQ(Position(s.get()), saved.size());
  // Saving the loaded item gives the very same bytes: nothing lost or added.
  EXPECT_EQ(Save(loaded.get()), saved);

  EXPECT_EQ(TakeText(Get(loaded.get(), &IVQData::GetName)), L"Spectrum \u00e9\u4e2d\U0001F600");
  vq::ComPtr<IVQAxis> axis;
  loaded->GetAxis(axis.put());
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetKind), 2);
  EXPECT_EQ(Get(axis.get(), &IVQAxis::GetFirstBand), 13);
  VARIANT out;
  ASSERT_EQ(loaded->GetAttributeValue(Text(L"Channel"), Text(L"Name"), &out), S_OK);
  EXPECT_EQ(TakeText(out.bstrVal), L"Mic\u00b0 1");
  ASSERT_EQ(loaded->GetIndexedAttributeValue(1, 2, Text(L"Rec"), Text(L"ok"), &out), S_OK);
  EXPECT_EQ(out.vt, VT_BOOL);
  vq::ComPtr<IVQIndexedAttributes> indexed;
  loaded->GetIndexedAttributes(1, indexed.put());
  EXPECT_EQ(Get(indexed.get(), &IVQIndexedAttributes::GetRecordCount), 2);
}

TEST(VQDataPersist, ValuesOfEveryFormatRoundTripBitExact) {
  for (LONG format = 0; format <= 6; ++format) {
    SCOPED_TRACE(format);
    vq::ComPtr<IVQData> item = NewItem();
    LONG bpv = VQDataBytesPerValue(format);
    std::vector<uint8_t> raw(static_cast<size_t>(bpv) * 7 * 3);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 37 + 11);
    // Signalling NaNs with payloads where the format holds floating point.
    if (format == 1 || format == 2) {
      uint64_t snan = 0x7FF0000000000001ull;
      std::memcpy(raw.data(), &snan, 8);
    }
    if (format == 5 || format == 6) {
      uint32_t snan = 0x7F800ABCu;
      std::memcpy(raw.data(), &snan, 4);
    }
    ASSERT_EQ(item->SetRawData(7, 3, format, raw.data(), raw.size()), S_OK);
    vq::ComPtr<IStream> s = StreamOf(Save(item.get()));
    vq::ComPtr<IVQData> loaded = NewItem();
    ASSERT_EQ(Persist(loaded.get())->LoadFromStream(s.get()), S_OK);
    void* p = nullptr;
    ULONGLONG bytes = 0;
    loaded->GetRawData(&p, &bytes);
    ASSERT_EQ(bytes, raw.size());
    EXPECT_EQ(std::memcmp(p, raw.data(), raw.size()), 0);
    EXPECT_EQ(Get(loaded.get(), &IVQData::GetSize, 0), 7);
    EXPECT_EQ(Get(loaded.get(), &IVQData::GetSize, 1), 3);
    EXPECT_EQ(Get(loaded.get(), &IVQData::GetFormat), format);
  }
}

TEST(VQDataPersist, FormsFollowEachOtherAndTheStreamStopsBehindEach) {
  vq::ComPtr<IVQData> a = RichItem(), b = NewItem();
  b->Allocate(2, 2, 0);
  b->SetAllValues(-7);
  vq::ComPtr<IStream> s = NewStream();
  ASSERT_EQ(Persist(a.get())->SaveToStream(s.get()), S_OK);
  ULONGLONG afterFirst = Position(s.get());
  ASSERT_EQ(Persist(b.get())->SaveToStream(s.get()), S_OK);
  uint32_t marker = 0xA5A5A5A5u;
  s->Write(&marker, 4, nullptr);
  Rewind(s.get());
  vq::ComPtr<IVQData> first = NewItem(), second = NewItem();
  ASSERT_EQ(Persist(first.get())->LoadFromStream(s.get()), S_OK);
  EXPECT_EQ(Position(s.get()), afterFirst);
  ASSERT_EQ(Persist(second.get())->LoadFromStream(s.get()), S_OK);
  uint32_t next = 0;
  s->Read(&next, 4, nullptr);
  EXPECT_EQ(next, marker);
  DOUBLE v = 0;
  second->GetValue(1, 1, &v, nullptr);
  EXPECT_EQ(v, -7.0);
}

TEST(VQDataPersist, StreamsThatCannotSeekOrGiveShortReadsStillWork) {
  std::vector<uint8_t> saved = Save(RichItem().get());
  saved.push_back(0xEE);
  vq::ComPtr<PipeStream> pipe(vq::MakeComObject<PipeStream>(saved, 3));
  pipe->Release();  // MakeComObject's reference; the ComPtr holds its own
  vq::ComPtr<IVQData> loaded = NewItem();
  ASSERT_EQ(Persist(loaded.get())->LoadFromStream(pipe.get()), S_OK);
  EXPECT_EQ(pipe->consumed(), saved.size() - 1);
  EXPECT_EQ(Save(loaded.get()), std::vector<uint8_t>(saved.begin(), saved.end() - 1));
}

TEST(VQDataPersist, AStreamThatTakesFewerBytesFailsTheSave) {
  vq::ComPtr<IVQData> item = RichItem();
  vq::ComPtr<PipeStream> pipe(vq::MakeComObject<PipeStream>(std::vector<uint8_t>(), 1, 40));
  pipe->Release();
  ClearErrorInfo();
  EXPECT_EQ(Persist(item.get())->SaveToStream(pipe.get()), STG_E_MEDIUMFULL);
  EXPECT_NE(LastErrorDescription().find(L"SaveToStream"), std::wstring::npos);
  EXPECT_EQ(Persist(item.get())->SaveToStream(nullptr), E_POINTER);
}

// Loads bytes into an item that already holds the rich contents; on failure
// the item must be unchanged and the stream back at 0.
void ExpectErrorOrValid(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& richForm) {
  vq::ComPtr<IVQData> item = RichItem();
  vq::ComPtr<IStream> s = StreamOf(bytes);
  HRESULT hr = Persist(item.get())->LoadFromStream(s.get());
  if (FAILED(hr)) {
    EXPECT_EQ(Position(s.get()), 0u);
    EXPECT_EQ(Save(item.get()), richForm);
  } else {
    Save(item.get());  // whatever was accepted must be a whole, savable item
  }
}

TEST(VQDataPersist, EveryTruncationIsRefusedAndLeavesTheItem) {
  std::vector<uint8_t> saved = Save(RichItem().get());
  for (size_t n = 0; n < saved.size(); ++n) {
    SCOPED_TRACE(n);
    vq::ComPtr<IVQData> item = RichItem();
    vq::ComPtr<IStream> s = StreamOf(std::vector<uint8_t>(saved.begin(), saved.begin() + static_cast<ptrdiff_t>(n)));
    ClearErrorInfo();
    ASSERT_TRUE(FAILED(Persist(item.get())->LoadFromStream(s.get())));
    EXPECT_EQ(Position(s.get()), 0u);
    EXPECT_NE(LastErrorDescription(), L"");
    EXPECT_EQ(Save(item.get()), saved);
    // The same through a stream that cannot tell its size.
    vq::ComPtr<PipeStream> pipe(vq::MakeComObject<PipeStream>(
        std::vector<uint8_t>(saved.begin(), saved.begin() + static_cast<ptrdiff_t>(n)), 7));
    pipe->Release();
    ASSERT_TRUE(FAILED(Persist(item.get())->LoadFromStream(pipe.get())));
    EXPECT_LE(pipe->consumed(), n);
  }
}

TEST(VQDataPersist, EverySingleByteFlipGivesAnErrorOrAValidItem) {
  std::vector<uint8_t> saved = Save(RichItem().get());
  for (size_t i = 0; i < saved.size(); ++i) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      SCOPED_TRACE(testing::Message() << "byte " << i << " mask " << int{mask});
      std::vector<uint8_t> damaged = saved;
      damaged[i] ^= mask;
      ExpectErrorOrValid(damaged, saved);
    }
  }
}

TEST(VQDataPersist, ForeignBytesAndUnknownVersionsAreRefused) {
  std::vector<uint8_t> saved = Save(NewItem().get());
  vq::ComPtr<IVQData> item = NewItem();
  std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', 0, 0, 0, 0,
                               0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0};
  EXPECT_EQ(Persist(item.get())->LoadFromStream(StreamOf(text).get()), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  std::vector<uint8_t> major2 = saved;
  major2[4] = 2;
  EXPECT_EQ(Persist(item.get())->LoadFromStream(StreamOf(major2).get()), HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
  std::vector<uint8_t> hugeTotal = saved;
  for (int i = 8; i < 16; ++i) hugeTotal[static_cast<size_t>(i)] = 0x7F;
  EXPECT_TRUE(FAILED(Persist(item.get())->LoadFromStream(StreamOf(hugeTotal).get())));
  EXPECT_EQ(Persist(item.get())->LoadFromStream(nullptr), E_POINTER);
}

#ifdef VQDATA_CORPUS_DIR
// Inputs kept from fuzzing, presented as the fuzz target presents them (the
// first byte's bit 0 asks for the checksum to be repaired): each must give an
// error or a valid item.
TEST(VQDataPersist, KeptFuzzInputsAreHandled) {
  std::vector<uint8_t> rich = Save(RichItem().get());
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VQDATA_CORPUS_DIR)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) continue;
    SCOPED_TRACE(entry.path().string());
    std::vector<uint8_t> form(bytes.begin() + 1, bytes.end());
    if ((bytes[0] & 1) != 0 && form.size() >= 24) {
      uint64_t total = 0;
      std::memcpy(&total, form.data() + 8, 8);
      if (total >= 28 && total <= form.size()) {
        uint32_t crc = vqdata::Crc32(0, form.data(), static_cast<size_t>(total - 4));
        std::memcpy(form.data() + total - 4, &crc, 4);
      }
    }
    ExpectErrorOrValid(form, rich);
    ++count;
  }
  EXPECT_GT(count, 0u);
}
#endif

}  // namespace
