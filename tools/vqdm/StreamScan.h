// StreamScan.h - one forward pass over the element records of a matrix
// stream. Each record's ID and label are read and its data item's form is
// outlined (length, value shape) from the form's header and section heads;
// the values and the rest of the form are skipped. A command thus learns where
// every element lies without holding a value, and loads only the elements it
// needs (LoadElement, through the item's own reader, which checks the form
// whole, checksum included).
//
// The stream is untrusted: the header gets the checks the matrix's reader
// applies before it builds anything (docs/STREAM_FORMAT.md), and every length
// is checked against the bytes the stream holds before it is skipped or
// anything is allocated for it. The scanner holds a 64 KiB buffer and one
// label; nothing it allocates depends on a length it has not checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "tools/vqdm/StreamHeader.h"

namespace vqdm {

// What the scan learnt of one element record. Offsets are positions in the
// stream (what IStream::Seek with STREAM_SEEK_SET takes).
struct ElementRecord {
  uint64_t index = 0;  // element number, d1 fastest
  int32_t id = -1;
  std::string label;  // UTF-8
  uint64_t formOffset = 0;
  uint64_t formBytes = 0;
  int32_t format = 0;  // the form's values
  int32_t xSize = 0;
  int32_t zSize = 0;
};

class StreamScanner {
 public:
  // Reads and checks the header at the stream's position. S_OK; the stream's
  // failure; HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) when it ends inside the
  // header; HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a header the matrix
  // would refuse; E_NOTIMPL for a stream that cannot tell its length (every
  // skip is checked against it). Problem() says why in words.
  HRESULT Open(IStream* stream);

  // S_OK with the next record; S_FALSE after the last one;
  // HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) when the record runs past the end of
  // the stream, HRESULT_FROM_WIN32(ERROR_INVALID_DATA) when it is malformed,
  // or the stream's failure. After a failure every call returns it again.
  // The stream's position is the scanner's own between calls: a caller may
  // seek it elsewhere (LoadElement) in between.
  HRESULT Next(ElementRecord* record);

  const StreamHeader& Header() const { return m_Header; }
  uint64_t Elements() const { return m_Elements; }
  // Stream positions: how far the scan has come, and the stream's end.
  uint64_t Position() const { return m_Pos; }
  uint64_t End() const { return m_End; }
  // The reason of the last failure ("element 3: ..."), "" before one.
  const std::string& Problem() const { return m_Problem; }

 private:
  HRESULT Fail(HRESULT hr, std::string problem);
  HRESULT Read(void* data, size_t size);
  HRESULT Int32(int32_t* value);
  HRESULT Scan(ElementRecord* record);
  HRESULT OutlineForm(ElementRecord* record);

  IStream* m_Stream = nullptr;
  StreamHeader m_Header;
  uint64_t m_Elements = 0;
  uint64_t m_Next = 0;  // number of the next element record
  uint64_t m_Pos = 0;
  uint64_t m_End = 0;
  std::vector<unsigned char> m_Buffer;  // the stream's bytes from m_BufferAt
  uint64_t m_BufferAt = 0;
  size_t m_Filled = 0;
  HRESULT m_Failure = S_OK;
  std::string m_Problem;
};

// Loads the data item whose form starts at stream position `formOffset` into
// a new item. S_OK; the item reader's failure (the item's error information
// says why), or the stream's.
HRESULT LoadElement(IStream* stream, uint64_t formOffset, vq::ComPtr<IVQData>* item);

// A matrix stream file open for a scan, for the commands: failures are
// ToolErrors ("PATH is not a matrix stream: <why>", exit code 1).
class StreamFile {
 public:
  explicit StreamFile(const std::string& path);
  const StreamHeader& Header() const { return m_Scanner.Header(); }
  uint64_t Elements() const { return m_Scanner.Elements(); }
  // The next record; false after the last one.
  bool Next(ElementRecord* record);
  // Element `index`, whose form a scan found at `formOffset`.
  vq::ComPtr<IVQData> Load(uint64_t index, uint64_t formOffset);
  uint64_t Position() const { return m_Scanner.Position(); }
  uint64_t End() const { return m_Scanner.End(); }

 private:
  std::string m_Path;
  vq::ComPtr<IStream> m_Stream;
  StreamScanner m_Scanner;
};

}  // namespace vqdm
