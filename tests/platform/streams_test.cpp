// Memory streams and file streams.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
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

// The bytes of a stream as a plain vector with a position: what a file stream
// must behave as, whatever it keeps in its buffer.
struct StreamModel {
  std::vector<uint8_t> bytes;
  uint64_t position = 0;

  void Write(const std::vector<uint8_t>& data) {
    if (data.empty()) return;  // not even past the end: nothing is written, so nothing grows
    if (position + data.size() > bytes.size()) bytes.resize(position + data.size(), 0);
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<ptrdiff_t>(position));
    position += data.size();
  }
  std::vector<uint8_t> Read(size_t count) {
    const size_t from = std::min<uint64_t>(position, bytes.size());
    const size_t n = std::min(count, bytes.size() - from);
    position += n;
    return {bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(from + n)};
  }
};

std::vector<uint8_t> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Random sequences of every call that moves bytes or the position, with
// transfer sizes around the buffer's (64 KiB): after each call the stream
// and the model agree on the result, the bytes moved and the position; after
// Commit and after the release the file itself holds the model's bytes.
TEST_F(FileStreamTest, RandomCallSequencesMatchAPlainModel) {
  const size_t kSizes[] = {0, 1, 3, 4, 8, 13, 100, 4096, 65535, 65536, 65537, 150000};
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(random); };
    auto size = [&]() -> size_t { return pick(2) ? kSizes[pick(std::size(kSizes))] : pick(40); };
    const std::string name = "model" + std::to_string(seed);
    StreamModel model;
    vq::ComPtr<IStream> stream;
    ASSERT_EQ(Open(name, STGM_READWRITE | STGM_CREATE, TRUE, stream.put()), S_OK);
    for (int step = 0; step < 800; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      switch (pick(8)) {
        case 0:
        case 1: {
          const size_t count = size();
          std::vector<uint8_t> data(count + 1);  // never a null pointer, even for 0 bytes
          for (uint8_t& b : data) b = static_cast<uint8_t>(pick(255) + 1);
          data.resize(count);
          ULONG written = 0;
          ASSERT_EQ(stream->Write(data.data(), static_cast<ULONG>(count), &written), S_OK);
          EXPECT_EQ(written, count);
          model.Write(data);
          break;
        }
        case 2:
        case 3: {
          const size_t want = size() + 1;
          std::vector<uint8_t> data(want, 0);
          ULONG got = 0;
          ASSERT_EQ(stream->Read(data.data(), static_cast<ULONG>(want), &got), S_OK);
          data.resize(got);
          ASSERT_EQ(data, model.Read(want));
          break;
        }
        case 4: {
          const DWORD origin = static_cast<DWORD>(pick(3));
          const uint64_t base = origin == STREAM_SEEK_SET   ? 0
                                : origin == STREAM_SEEK_CUR ? model.position
                                                            : model.bytes.size();
          // Half the moves stay near the position, inside or next to what is buffered.
          const int64_t move =
              pick(2) ? static_cast<int64_t>(pick(140000)) - 70000
                      : static_cast<int64_t>(pick(model.bytes.size() + 70000)) - static_cast<int64_t>(base) - 10;
          ULARGE_INTEGER now{};
          const int64_t target = static_cast<int64_t>(base) + move;
          ASSERT_EQ(stream->Seek(Move(move), origin, &now), target < 0 ? STG_E_INVALIDFUNCTION : S_OK);
          if (target >= 0) {
            model.position = static_cast<uint64_t>(target);
            EXPECT_EQ(now.QuadPart, model.position);
          }
          break;
        }
        case 5: {
          const uint64_t to = pick(model.bytes.size() + 70000);
          ASSERT_EQ(stream->SetSize(Size(to)), S_OK);
          model.bytes.resize(to, 0);
          break;
        }
        case 6:
          EXPECT_EQ(StatSize(stream.get()), model.bytes.size());
          break;
        default: {
          const DWORD flags = pick(4) == 0 ? STGC_DEFAULT : STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE;
          ASSERT_EQ(stream->Commit(flags), S_OK);
          ASSERT_EQ(FileBytes(m_Dir / name), model.bytes);
          break;
        }
      }
      ASSERT_EQ(Position(stream.get()), model.position);
    }
    // CopyTo reads through the same buffer.
    vq::ComPtr<IStream> copy = NewStream();
    Rewind(stream.get());
    ULARGE_INTEGER read{}, written{};
    ASSERT_EQ(stream->CopyTo(copy.get(), Size(UINT64_MAX), &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, model.bytes.size());
    EXPECT_EQ(BytesOf(copy.get()), model.bytes);
    // A Write is in the file when it returns, without a Commit.
    model.position = pick(model.bytes.size() + 1);
    Rewind(stream.get(), model.position);
    std::vector<uint8_t> tail(size() + 1);
    for (uint8_t& b : tail) b = static_cast<uint8_t>(pick(255) + 1);
    ASSERT_EQ(stream->Write(tail.data(), static_cast<ULONG>(tail.size()), nullptr), S_OK);
    model.Write(tail);
    EXPECT_EQ(FileBytes(m_Dir / name), model.bytes);
  }
}

// Bytes read ahead never outlive a write over them, and bytes written stay
// visible to reads before they reach the file, whatever the transfer sizes:
// a read of 10 bytes at 0 (which reads ahead), a write of `count` bytes at
// `at`, then the whole stream read back.
TEST_F(FileStreamTest, ReadsSeeWhatWasWrittenOverReadAheadBytes) {
  const std::vector<uint8_t> initial(200000, 1);
  for (size_t count : {size_t{1}, size_t{100}, size_t{65535}, size_t{65536}, size_t{100000}}) {
    for (uint64_t at : {uint64_t{0}, uint64_t{5}, uint64_t{10}, uint64_t{60000}, uint64_t{199999}}) {
      SCOPED_TRACE(std::to_string(count) + " bytes at " + std::to_string(at));
      vq::ComPtr<IStream> s;
      ASSERT_EQ(Open("ahead", STGM_READWRITE | STGM_CREATE, TRUE, s.put()), S_OK);
      ASSERT_EQ(s->Write(initial.data(), static_cast<ULONG>(initial.size()), nullptr), S_OK);
      Rewind(s.get());
      StreamModel model{initial, 0};
      uint8_t ten[10];
      ASSERT_EQ(s->Read(ten, 10, nullptr), S_OK);
      const std::vector<uint8_t> data(count, 2);
      Rewind(s.get(), at);
      ASSERT_EQ(s->Write(data.data(), static_cast<ULONG>(count), nullptr), S_OK);
      model.position = at;
      model.Write(data);
      EXPECT_EQ(BytesOf(s.get()), model.bytes);
    }
  }
}

// A write the file cannot take (here a file size limit, as a full disk)
// fails the Write itself, small or large, with the bytes the file took;
// nothing is left for Commit or the release to fail on.
TEST_F(FileStreamTest, AFailingWriteFailsItself) {
  const std::string path = NarrowPath("limited");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    for (ULONG size : {ULONG{150}, ULONG{100000}}) {
      vq::ComPtr<IStream> s;
      if (SHCreateStreamOnFileA(path.c_str(), STGM_READWRITE | STGM_CREATE, s.put()) != S_OK) _exit(11);
      const std::vector<uint8_t> data(size, 7);
      ULONG written = 0;
      if (s->Write(data.data(), size, &written) != STG_E_MEDIUMFULL || written != 100) _exit(12);
      if (s->Write(data.data(), 1, &written) != STG_E_MEDIUMFULL || written != 0) _exit(13);
      if (s->Commit(STGC_DEFAULT) != S_OK) _exit(14);
      STATSTG st{};
      if (s->Stat(&st, STATFLAG_NONAME) != S_OK || st.cbSize.QuadPart != 100) _exit(15);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
