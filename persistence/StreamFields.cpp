// Field encodings of the matrix stream.
#include "persistence/StreamFields.h"

#include <cstring>
#include <vector>

#include "trace/VQTrace.h"

namespace vq::persist {

// ---------------------------------------------------------------------------
// Writing.
// ---------------------------------------------------------------------------

void StreamWriter::Bytes(const void* data, ULONG count) {
  ULONG written = 0;
  HRESULT hr = m_Stream->Write(data, count, &written);
  if (FAILED(hr)) _com_issue_error(hr);
  // A stream that silently drops bytes would leave a form that no reader can
  // take apart again.
  if (written != count) _com_issue_error(STG_E_MEDIUMFULL);
  m_Written += count;
}

void StreamWriter::Int32(LONG value) {
  const uint32_t u = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                            static_cast<uint8_t>(u >> 24)};
  Bytes(bytes, 4);
}

void StreamWriter::Double(double value) {
  uint64_t u = 0;
  std::memcpy(&u, &value, 8);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(u >> (8 * i));
  Bytes(bytes, 8);
}

void StreamWriter::Text(const wchar_t* text, size_t length) {
  if (TextBytes(length) > static_cast<uint64_t>(kMaxTextBytes)) _com_issue_error(E_INVALIDARG);
  std::vector<char> bytes(length + 1, '\0');
  if (length != 0) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), bytes.data(),
                                      static_cast<int>(length), nullptr, nullptr);
    // Windows-1252 gives every character exactly one byte.
    if (n != static_cast<int>(length)) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  }
  Int32(static_cast<LONG>(bytes.size()));
  Bytes(bytes.data(), static_cast<ULONG>(bytes.size()));
}

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------

void StreamReader::Exact(void* data, ULONG count) {
  auto* out = static_cast<uint8_t*>(data);
  ULONG got = 0;
  while (got < count) {
    ULONG n = 0;
    HRESULT hr = m_Stream->Read(out + got, count - got, &n);
    if (FAILED(hr)) _com_issue_error(hr);
    // No bytes: the stream has ended. More than asked: a broken stream whose
    // count cannot be trusted either.
    if (n == 0) Refuse(kEndOfStream, "the stream ends inside a field");
    if (n > count - got) Refuse(kInvalidData, "the stream reports more bytes than were asked for");
    got += n;
  }
}

LONG StreamReader::Int32() {
  uint8_t b[4];
  Exact(b, 4);
  const uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                     static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  return static_cast<LONG>(u);
}

double StreamReader::Double() {
  uint8_t b[8];
  Exact(b, 8);
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(b[i]) << (8 * i);
  double value = 0.0;
  std::memcpy(&value, &u, 8);
  return value;
}

bool StreamReader::Text(std::wstring* text) {
  const LONG count = Int32();
  if (count <= 0) return false;
  if (count > kMaxTextBytes) Refuse(kInvalidData, "a counted text is longer than 10000 bytes");
  char bytes[kMaxTextBytes];
  Exact(bytes, static_cast<ULONG>(count));
  const size_t length = strnlen(bytes, static_cast<size_t>(count));
  std::wstring result(length, L'\0');
  if (length != 0) {
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), result.data(),
                                      static_cast<int>(length));
    if (n != static_cast<int>(length)) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  }
  *text = std::move(result);
  return true;
}

bool StreamReader::Remaining(uint64_t* bytes) const {
  LARGE_INTEGER zero{};
  ULARGE_INTEGER position{};
  if (FAILED(m_Stream->Seek(zero, STREAM_SEEK_CUR, &position))) return false;
  STATSTG stat{};
  if (FAILED(m_Stream->Stat(&stat, STATFLAG_NONAME))) return false;
  if (stat.pwcsName != nullptr) CoTaskMemFree(stat.pwcsName);
  if (stat.cbSize.QuadPart < position.QuadPart) return false;
  *bytes = stat.cbSize.QuadPart - position.QuadPart;
  return true;
}

}  // namespace vq::persist
