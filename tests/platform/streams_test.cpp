// Memory streams and file streams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "StreamTestSupport.h"
#include "TempDir.h"
#include "VQComSupport.h"
#include "VQOleAuto.h"
#include "VQStreams.h"

namespace {

namespace fs = std::filesystem;
using namespace vqtest;

ULARGE_INTEGER Size(uint64_t n) {
  ULARGE_INTEGER li;
  li.QuadPart = n;
  return li;
}

std::string ReadAll(IStream* stream) {
  EXPECT_EQ(stream->Seek(Move(0), STREAM_SEEK_SET, nullptr), S_OK);
  std::string out;
  char buffer[7];  // odd size: many short reads
  for (;;) {
    ULONG got = 0;
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
    if (got == 0) break;
    out.append(buffer, got);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Memory streams
// ---------------------------------------------------------------------------
TEST(MemoryStream, WriteSeekReadAndExactCountsAtTheEnd) {
  auto stream = NewStream();
  ULONG written = 0;
  ASSERT_EQ(stream->Write("hello world", 11, &written), S_OK);
  EXPECT_EQ(written, 11u);
  EXPECT_EQ(Position(stream.get()), 11u);
  ULARGE_INTEGER pos{};
  ASSERT_EQ(stream->Seek(Move(-5), STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, 6u);
  char buffer[16] = {};
  ULONG got = 0;
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);  // asks for more than there is
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buffer, got), "world");
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(stream->Read(buffer, 3, nullptr), S_OK);  // the count is optional
  EXPECT_EQ(stream->Read(nullptr, 3, &got), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->Write(nullptr, 3, &written), STG_E_INVALIDPOINTER);
}

TEST(MemoryStream, NegativeSeeksAreRefusedAndKeepThePosition) {
  auto stream = NewStream();
  ASSERT_EQ(stream->Write("abc", 3, nullptr), S_OK);
  ULARGE_INTEGER pos{};
  pos.QuadPart = 77;
  EXPECT_EQ(stream->Seek(Move(-4), STREAM_SEEK_CUR, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(pos.QuadPart, 77u);  // untouched on failure
  EXPECT_EQ(stream->Seek(Move(-1), STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Move(INT64_MAX), STREAM_SEEK_CUR, nullptr), STG_E_INVALIDFUNCTION);  // would overflow
  EXPECT_EQ(stream->Seek(Move(0), 3, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(Position(stream.get()), 3u);
}

TEST(MemoryStream, WritingPastTheEndFillsTheGapWithZeros) {
  auto stream = NewStream();
  ASSERT_EQ(stream->Write("ab", 2, nullptr), S_OK);
  ASSERT_EQ(stream->Seek(Move(3), STREAM_SEEK_END, nullptr), S_OK);  // allowed, no growth yet
  EXPECT_EQ(StatSize(stream.get()), 2u);
  ASSERT_EQ(stream->Write("z", 1, nullptr), S_OK);
  EXPECT_EQ(StatSize(stream.get()), 6u);
  EXPECT_EQ(ReadAll(stream.get()), std::string("ab\0\0\0z", 6));
}

TEST(MemoryStream, SetSizeShrinksAndGrowsWithoutMovingThePosition) {
  auto stream = NewStream();
  std::vector<char> big(100000, 'x');
  ASSERT_EQ(stream->Write(big.data(), static_cast<ULONG>(big.size()), nullptr), S_OK);
  ASSERT_EQ(stream->SetSize(Size(3)), S_OK);
  EXPECT_EQ(StatSize(stream.get()), 3u);
  EXPECT_EQ(Position(stream.get()), 100000u);
  char c;
  ULONG got = 1;
  ASSERT_EQ(stream->Read(&c, 1, &got), S_OK);  // beyond the new end
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(stream->SetSize(Size(6)), S_OK);
  EXPECT_EQ(ReadAll(stream.get()), std::string("xxx\0\0\0", 6));
  // Sizes no memory can hold are refused, never wrapped.
  EXPECT_EQ(stream->SetSize(Size(uint64_t{1} << 62)), E_OUTOFMEMORY);
  EXPECT_EQ(stream->SetSize(Size(UINT64_MAX)), E_OUTOFMEMORY);
  EXPECT_EQ(StatSize(stream.get()), 6u);
  ASSERT_EQ(stream->Seek(Move(INT64_MAX), STREAM_SEEK_SET, nullptr), S_OK);
  ULONG written = 9;
  EXPECT_EQ(stream->Write("a", 1, &written), STG_E_MEDIUMFULL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(StatSize(stream.get()), 6u);
}

TEST(MemoryStream, StatDescribesAStreamWithoutName) {
  auto stream = NewStream();
  ASSERT_EQ(stream->Write("12345", 5, nullptr), S_OK);
  STATSTG st;
  std::memset(&st, 0xAB, sizeof st);
  ASSERT_EQ(stream->Stat(&st, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
  EXPECT_EQ(st.cbSize.QuadPart, 5u);
  EXPECT_EQ(st.pwcsName, nullptr);
  EXPECT_EQ(stream->Stat(nullptr, STATFLAG_DEFAULT), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->Stat(&st, 0x10), STG_E_INVALIDFLAG);
}

TEST(MemoryStream, ClonesShareBytesButNotPositions) {
  auto stream = NewStream();
  ASSERT_EQ(stream->Write("abcdef", 6, nullptr), S_OK);
  ASSERT_EQ(stream->Seek(Move(2), STREAM_SEEK_SET, nullptr), S_OK);
  vq::ComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.put()), S_OK);
  EXPECT_EQ(Position(clone.get()), 2u);  // starts where the original was
  char buffer[3];
  ULONG got = 0;
  ASSERT_EQ(clone->Read(buffer, 3, &got), S_OK);
  EXPECT_EQ(std::string(buffer, got), "cde");
  EXPECT_EQ(Position(stream.get()), 2u);  // the original did not move
  ASSERT_EQ(stream->Write("XY", 2, nullptr), S_OK);
  ASSERT_EQ(clone->Seek(Move(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(clone->Read(buffer, 3, &got), S_OK);
  EXPECT_EQ(std::string(buffer, got), "abX");
  // The bytes live as long as any clone does.
  stream = nullptr;
  EXPECT_EQ(ReadAll(clone.get()), "abXYef");
}

TEST(MemoryStream, ClonesMayBeUsedFromSeveralThreads) {
  auto stream = NewStream();
  constexpr uint32_t kPerThread = 2000;
  std::thread writers[2];
  for (uint32_t t = 0; t < 2; ++t) {
    vq::ComPtr<IStream> clone;
    ASSERT_EQ(stream->Clone(clone.put()), S_OK);
    writers[t] = std::thread([clone, t] {
      for (uint32_t i = 0; i < kPerThread; ++i) {
        const uint32_t index = 2 * i + t;  // interleaved slots
        ASSERT_EQ(clone->Seek(Move(index * 4), STREAM_SEEK_SET, nullptr), S_OK);
        ASSERT_EQ(clone->Write(&index, 4, nullptr), S_OK);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  ASSERT_EQ(StatSize(stream.get()), 2u * kPerThread * 4);
  ASSERT_EQ(stream->Seek(Move(0), STREAM_SEEK_SET, nullptr), S_OK);
  for (uint32_t i = 0; i < 2 * kPerThread; ++i) {
    uint32_t value = 0;
    ASSERT_EQ(stream->Read(&value, 4, nullptr), S_OK);
    ASSERT_EQ(value, i);
  }
}

TEST(MemoryStream, CopyToCountsAndLimits) {
  auto source = NewStream();
  std::string text(200000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(source->Write(text.data(), static_cast<ULONG>(text.size()), nullptr), S_OK);
  ASSERT_EQ(source->Seek(Move(10), STREAM_SEEK_SET, nullptr), S_OK);
  auto target = NewStream();
  ULARGE_INTEGER read{}, written{};
  ASSERT_EQ(source->CopyTo(target.get(), Size(100000), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 100000u);
  EXPECT_EQ(written.QuadPart, 100000u);
  EXPECT_EQ(Position(source.get()), 100010u);
  EXPECT_EQ(ReadAll(target.get()), text.substr(10, 100000));
  // Asking for more than remains copies what remains.
  ASSERT_EQ(source->CopyTo(target.get(), Size(UINT64_MAX), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 200000u - 100010u);
  EXPECT_EQ(written.QuadPart, read.QuadPart);
  EXPECT_EQ(source->CopyTo(nullptr, Size(1), &read, &written), STG_E_INVALIDPOINTER);
  EXPECT_EQ(read.QuadPart, 0u);
}

TEST(MemoryStream, CopyToItsOwnCloneDoesNotDeadlock) {
  auto stream = NewStream();
  ASSERT_EQ(stream->Write("0123456789", 10, nullptr), S_OK);
  vq::ComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.put()), S_OK);  // positioned at the end
  ASSERT_EQ(stream->Seek(Move(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->CopyTo(clone.get(), Size(4), nullptr, nullptr), S_OK);
  EXPECT_EQ(ReadAll(stream.get()), "01234567890123");
}

TEST(MemoryStream, CreationArguments) {
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
  IStream* stream = reinterpret_cast<IStream*>(1);
  int dummy = 0;
  EXPECT_EQ(CreateStreamOnHGlobal(&dummy, TRUE, &stream), E_INVALIDARG);
  EXPECT_EQ(stream, nullptr);
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, FALSE, &stream), S_OK);
  ISequentialStream* sequential = nullptr;
  ASSERT_EQ(stream->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&sequential)), S_OK);
  sequential->Release();
  stream->Release();
}

// ---------------------------------------------------------------------------
// File streams
// ---------------------------------------------------------------------------
class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_Dir.empty()); }
  std::wstring Path(const std::string& name) const {
    const std::string full = (m_Dir / name).string();
    return std::wstring(full.begin(), full.end());  // ASCII names only
  }
  std::string NarrowPath(const std::string& name) const { return (m_Dir / name).string(); }
  // SHCreateStreamOnFileEx on a file of the test directory.
  HRESULT Open(const std::string& name, DWORD mode, BOOL create, IStream** stream,
               DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
    return SHCreateStreamOnFileEx(Path(name).c_str(), mode, attributes, create, nullptr, stream);
  }

  TempDir m_Temp;
  const fs::path m_Dir = m_Temp.Path();
};

TEST_F(FileStreamTest, MissingFilesAndDirectoriesAreNamed) {
  IStream* stream = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(Open("missing", STGM_READ, FALSE, &stream), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(Open("no/such/dir", STGM_READWRITE | STGM_CREATE, TRUE, &stream), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open("", STGM_READ, FALSE, &stream, 0),
            HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));  // the directory itself
  EXPECT_EQ(SHCreateStreamOnFileEx(L"", STGM_READ, 0, FALSE, nullptr, &stream), E_INVALIDARG);
  EXPECT_EQ(SHCreateStreamOnFileEx(nullptr, STGM_READ, 0, FALSE, nullptr, &stream), E_INVALIDARG);
  EXPECT_EQ(Open("x", STGM_READ, FALSE, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(Open("x", 3, TRUE, &stream, 0), E_INVALIDARG);
  EXPECT_FALSE(fs::exists(m_Dir / "x"));
}

TEST_F(FileStreamTest, WriteThenReadBackWithShortReadAtTheEnd) {
  vq::ComPtr<IStream> out;
  ASSERT_EQ(Open("data.bin", STGM_READWRITE | STGM_CREATE, TRUE, out.put()), S_OK);
  ULONG written = 0;
  ASSERT_EQ(out->Write("0123456789", 10, &written), S_OK);
  EXPECT_EQ(written, 10u);
  ASSERT_EQ(out->Seek(Move(2), STREAM_SEEK_END, nullptr), S_OK);
  ASSERT_EQ(out->Write("!", 1, nullptr), S_OK);
  EXPECT_EQ(StatSize(out.get()), 13u);
  ASSERT_EQ(out->Commit(STGC_DEFAULT), S_OK);
  out = nullptr;

  vq::ComPtr<IStream> in;
  ASSERT_EQ(SHCreateStreamOnFileW(Path("data.bin").c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, in.put()), S_OK);
  char buffer[32];
  ULONG got = 0;
  ASSERT_EQ(in->Seek(Move(8), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(in->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(std::string(buffer, got), std::string("89\0\0!", 5));
  ASSERT_EQ(in->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(got, 0u);
  // A read-only stream refuses changes.
  EXPECT_EQ(in->Write("x", 1, &written), STG_E_ACCESSDENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(in->SetSize(Size(0)), STG_E_ACCESSDENIED);
  EXPECT_EQ(in->Seek(Move(-1), STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  vq::ComPtr<IStream> clone;
  EXPECT_EQ(in->Clone(clone.put()), E_NOTIMPL);
  EXPECT_EQ(fs::file_size(m_Dir / "data.bin"), 13u);
}

TEST_F(FileStreamTest, CreationModes) {
  vq::ComPtr<IStream> stream;
  // fCreate without STGM_CREATE: a new file only.
  ASSERT_EQ(Open("f", STGM_WRITE, TRUE, stream.put()), S_OK);
  ASSERT_EQ(stream->Write("abc", 3, nullptr), S_OK);
  char c;
  EXPECT_EQ(stream->Read(&c, 1, nullptr), STG_E_ACCESSDENIED);  // write-only
  stream = nullptr;
  EXPECT_EQ(Open("f", STGM_WRITE, TRUE, stream.put()), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
  // Opening an existing file keeps its bytes; STGM_CREATE empties it.
  ASSERT_EQ(Open("f", STGM_READ, FALSE, stream.put()), S_OK);
  EXPECT_EQ(StatSize(stream.get()), 3u);
  stream = nullptr;
  ASSERT_EQ(SHCreateStreamOnFileW(Path("f").c_str(), STGM_READWRITE | STGM_CREATE, stream.put()), S_OK);
  EXPECT_EQ(StatSize(stream.get()), 0u);
  stream = nullptr;
  ASSERT_EQ(SHCreateStreamOnFileA(NarrowPath("g").c_str(), STGM_READWRITE | STGM_CREATE | STGM_DELETEONRELEASE,
                                  stream.put()),
            S_OK);
  EXPECT_TRUE(fs::exists(m_Dir / "g"));
  stream = nullptr;
  EXPECT_FALSE(fs::exists(m_Dir / "g"));
}

TEST_F(FileStreamTest, ExclusiveShareRefusesOtherOpensWithoutTruncating) {
  vq::ComPtr<IStream> owner;
  ASSERT_EQ(SHCreateStreamOnFileW(Path("locked").c_str(), STGM_READWRITE | STGM_CREATE | STGM_SHARE_EXCLUSIVE,
                                  owner.put()),
            S_OK);
  ASSERT_EQ(owner->Write("precious", 8, nullptr), S_OK);
  vq::ComPtr<IStream> other;
  EXPECT_EQ(SHCreateStreamOnFileW(Path("locked").c_str(), STGM_READWRITE | STGM_CREATE, other.put()),
            HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(SHCreateStreamOnFileW(Path("locked").c_str(), STGM_READ, other.put()),
            HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(fs::file_size(m_Dir / "locked"), 8u);
  owner = nullptr;
  EXPECT_EQ(SHCreateStreamOnFileW(Path("locked").c_str(), STGM_READ, other.put()), S_OK);
  vq::ComPtr<IStream> exclusive;
  EXPECT_EQ(SHCreateStreamOnFileW(Path("locked").c_str(), STGM_READ | STGM_SHARE_EXCLUSIVE, exclusive.put()),
            HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
}

TEST_F(FileStreamTest, StatNamesTheFileAndWidePathsBecomeUtf8) {
  const std::wstring name = Path("caf") + L"\u00e9.dat";
  vq::ComPtr<IStream> stream;
  ASSERT_EQ(SHCreateStreamOnFileEx(name.c_str(), STGM_READWRITE | STGM_CREATE, FILE_ATTRIBUTE_NORMAL, TRUE,
                                   nullptr, stream.put()),
            S_OK);
  EXPECT_TRUE(fs::exists(m_Dir / "caf\xC3\xA9.dat"));
  STATSTG st;
  ASSERT_EQ(stream->Stat(&st, STATFLAG_DEFAULT), S_OK);
  ASSERT_NE(st.pwcsName, nullptr);
  EXPECT_EQ(std::wstring(st.pwcsName), name);
  EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
  EXPECT_EQ(st.grfMode & 3u, static_cast<DWORD>(STGM_READWRITE));
  EXPECT_NE(st.mtime.dwHighDateTime, 0u);
  CoTaskMemFree(st.pwcsName);
}

TEST_F(FileStreamTest, PermissionsAndFullDisksGiveTheirCodes) {
  if (::geteuid() != 0) {
    {
      vq::ComPtr<IStream> stream;
      ASSERT_EQ(Open("ro", STGM_WRITE, TRUE, stream.put(), FILE_ATTRIBUTE_READONLY), S_OK);
    }
    vq::ComPtr<IStream> stream;
    EXPECT_EQ(SHCreateStreamOnFileW(Path("ro").c_str(), STGM_READWRITE, stream.put()),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SHCreateStreamOnFileW(Path("ro").c_str(), STGM_READ, stream.put()), S_OK);
  }
  vq::ComPtr<IStream> full;
  if (SHCreateStreamOnFileA("/dev/full", STGM_WRITE, full.put()) != S_OK) GTEST_SKIP() << "no /dev/full";
  ULONG written = 7;
  EXPECT_EQ(full->Write("data", 4, &written), STG_E_MEDIUMFULL);
  EXPECT_EQ(written, 0u);
}

}  // namespace
