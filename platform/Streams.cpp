// Memory streams (CreateStreamOnHGlobal) and file streams
// (SHCreateStreamOnFileEx). See VQStreams.h for the behaviour both promise.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "VQComObject.h"
#include "VQKernel.h"
#include "VQOleAuto.h"
#include "VQStreams.h"

namespace {

constexpr uint64_t kMaxOffset = INT64_MAX;  // the largest position a stream may reach

bool IsValidStatFlag(DWORD flag) { return (flag & ~static_cast<DWORD>(STATFLAG_NONAME | STATFLAG_NOOPEN)) == 0; }

// Moves position to origin + move and reports it in *newPosition (when
// given); STG_E_INVALIDFUNCTION, position unchanged, when the target is
// negative or the origin beyond kMaxOffset.
HRESULT SeekTo(uint64_t origin, LARGE_INTEGER move, uint64_t& position, ULARGE_INTEGER* newPosition) {
  int64_t result = 0;
  if (origin > kMaxOffset || __builtin_add_overflow(static_cast<int64_t>(origin), move.QuadPart, &result) ||
      result < 0)
    return STG_E_INVALIDFUNCTION;
  position = static_cast<uint64_t>(result);
  if (newPosition != nullptr) newPosition->QuadPart = position;
  return S_OK;
}

// Copies through a bounce buffer with the source's own Read, so that the
// source's position advances by what was read and no lock is held while the
// target (which may share the source's bytes) is written.
HRESULT CopyBetween(IStream* source, IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                    ULARGE_INTEGER* pcbWritten) {
  uint64_t read = 0;
  uint64_t written = 0;
  HRESULT hr = S_OK;
  if (target == nullptr) {
    hr = STG_E_INVALIDPOINTER;
  } else {
    constexpr ULONG kChunk = 1u << 16;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kChunk]);
    if (buffer == nullptr) hr = E_OUTOFMEMORY;
    uint64_t remaining = cb.QuadPart;
    while (SUCCEEDED(hr) && remaining > 0) {
      const ULONG want = static_cast<ULONG>(std::min<uint64_t>(remaining, kChunk));
      ULONG got = 0;
      hr = source->Read(buffer.get(), want, &got);
      if (FAILED(hr) || got == 0) break;
      read += got;
      ULONG put = 0;
      hr = target->Write(buffer.get(), got, &put);
      written += put;
      if (SUCCEEDED(hr) && put < got) hr = STG_E_MEDIUMFULL;
      remaining -= got;
      if (got < want) break;
    }
    if (hr == S_FALSE) hr = S_OK;
  }
  if (pcbRead != nullptr) pcbRead->QuadPart = read;
  if (pcbWritten != nullptr) pcbWritten->QuadPart = written;
  return hr;
}

// ---------------------------------------------------------------------------
// Memory streams
// ---------------------------------------------------------------------------

// The bytes shared by a memory stream and its clones. Every member, and the
// positions of the streams that share it, is guarded by m_Lock.
struct MemoryBytes {
  vq::Mutex m_Lock;
  unsigned char* m_Data VQ_GUARDED_BY(m_Lock) = nullptr;
  size_t m_Size VQ_GUARDED_BY(m_Lock) = 0;
  size_t m_Capacity VQ_GUARDED_BY(m_Lock) = 0;

  MemoryBytes() = default;
  MemoryBytes(const MemoryBytes&) = delete;
  MemoryBytes& operator=(const MemoryBytes&) = delete;
  // No other thread can reach the bytes once their last stream is gone.
  ~MemoryBytes() VQ_NO_THREAD_SAFETY_ANALYSIS { std::free(m_Data); }

  // Makes room for `size` bytes, growing geometrically so that a stream built
  // from many small writes is copied O(1) times per byte.
  bool Reserve(uint64_t size) VQ_REQUIRES(m_Lock) {
    if (size <= m_Capacity) return true;
    // No process gets an address space this large (user space ends at 2^47
    // on x86-64), so larger requests are refused before the allocator sees
    // them.
    constexpr uint64_t kLimit = uint64_t{1} << 48;
    if (size > kLimit) return false;
    uint64_t grown = std::max<uint64_t>({size, m_Capacity + m_Capacity / 2, 256});
    grown = std::min(grown, kLimit);
    void* p = std::realloc(m_Data, static_cast<size_t>(grown));
    if (p == nullptr && grown > size) {
      grown = size;
      p = std::realloc(m_Data, static_cast<size_t>(grown));
    }
    if (p == nullptr) return false;
    m_Data = static_cast<unsigned char*>(p);
    m_Capacity = static_cast<size_t>(grown);
    return true;
  }

  // Sets the size; bytes that appear are zero.
  bool Resize(uint64_t size) VQ_REQUIRES(m_Lock) {
    if (!Reserve(size)) return false;
    if (size > m_Size) std::memset(m_Data + m_Size, 0, static_cast<size_t>(size) - m_Size);
    m_Size = static_cast<size_t>(size);
    // Give memory back when the stream shrank to a small part of it.
    if (m_Size < m_Capacity / 4 && m_Capacity > 4096) {
      const size_t keep = std::max<size_t>(m_Size, 256);
      if (void* p = std::realloc(m_Data, keep)) {
        m_Data = static_cast<unsigned char*>(p);
        m_Capacity = keep;
      }
    }
    return true;
  }
};

class MemoryStream : public vq::ComObject<MemoryStream, IStream> {
 public:
  MemoryStream(std::shared_ptr<MemoryBytes> bytes, uint64_t position)
      : m_Bytes(std::move(bytes)), m_Position(position) {}

  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    vq::MutexLock guard(m_Bytes->m_Lock);
    ULONG n = 0;
    if (m_Position < m_Bytes->m_Size) {
      n = static_cast<ULONG>(std::min<uint64_t>(cb, m_Bytes->m_Size - m_Position));
      std::memcpy(pv, m_Bytes->m_Data + m_Position, n);
      m_Position += n;
    }
    if (pcbRead != nullptr) *pcbRead = n;
    return S_OK;
  }

  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if (cb == 0) return S_OK;
    vq::MutexLock guard(m_Bytes->m_Lock);
    const uint64_t end = m_Position + cb;  // m_Position <= kMaxOffset: cannot wrap
    if (end > kMaxOffset) return STG_E_MEDIUMFULL;
    if (end > m_Bytes->m_Size) {
      if (!m_Bytes->Reserve(end)) return STG_E_MEDIUMFULL;
      // Only a gap left by a seek past the end needs zeros: the rest is
      // about to be written.
      if (m_Position > m_Bytes->m_Size)
        std::memset(m_Bytes->m_Data + m_Bytes->m_Size, 0, static_cast<size_t>(m_Position) - m_Bytes->m_Size);
      m_Bytes->m_Size = static_cast<size_t>(end);
    }
    std::memcpy(m_Bytes->m_Data + m_Position, pv, cb);
    m_Position = end;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    vq::MutexLock guard(m_Bytes->m_Lock);
    uint64_t origin = 0;
    switch (dwOrigin) {
      case STREAM_SEEK_SET: origin = 0; break;
      case STREAM_SEEK_CUR: origin = m_Position; break;
      case STREAM_SEEK_END: origin = m_Bytes->m_Size; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    return SeekTo(origin, dlibMove, m_Position, plibNewPosition);
  }

  STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
    vq::MutexLock guard(m_Bytes->m_Lock);
    if (libNewSize.QuadPart > kMaxOffset || !m_Bytes->Resize(libNewSize.QuadPart)) return E_OUTOFMEMORY;
    return S_OK;
  }

  STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                      ULARGE_INTEGER* pcbWritten) override {
    return CopyBetween(this, pstm, cb, pcbRead, pcbWritten);
  }

  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return S_OK; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

  STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    if (!IsValidStatFlag(grfStatFlag)) return STG_E_INVALIDFLAG;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    pstatstg->grfMode = STGM_READWRITE;
    vq::MutexLock guard(m_Bytes->m_Lock);
    pstatstg->cbSize.QuadPart = m_Bytes->m_Size;
    return S_OK;
  }

  STDMETHODIMP Clone(IStream** ppstm) override {
    if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    uint64_t position;
    {
      vq::MutexLock guard(m_Bytes->m_Lock);
      position = m_Position;
    }
    return vq::CreateComObject<MemoryStream>(IID_IStream, reinterpret_cast<void**>(ppstm), m_Bytes, position);
  }

 private:
  std::shared_ptr<MemoryBytes> m_Bytes;
  uint64_t m_Position VQ_GUARDED_BY(m_Bytes->m_Lock);
};

// ---------------------------------------------------------------------------
// File streams
// ---------------------------------------------------------------------------

// Open errors: the platform's errno mapping, with the cases where Windows
// answers differently for files (a directory is "access denied", a symbolic
// link loop a bad path, a share lock held elsewhere a sharing violation).
HRESULT FromErrno(int error) {
  switch (error) {
    case EISDIR: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ELOOP: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EWOULDBLOCK: return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    default: return vq::HResultFromErrno(error);
  }
}

// Write errors that are STG_E_MEDIUMFULL: what the platform's mapping calls a
// full disk, the file system's or the file's (a size limit).
bool IsDiskFull(int error) {
  const DWORD mapped = vq::Win32ErrorFromErrno(error);
  return mapped == ERROR_DISK_FULL || mapped == ERROR_HANDLE_DISK_FULL;
}

FILETIME ToFileTime(const struct timespec& t) {
  // 100-nanosecond intervals since 1601-01-01.
  const uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600u) * 10000000u +
                         static_cast<uint64_t>(t.tv_nsec) / 100u;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// A file stream reads a regular file ahead: the matrix stream and the data
// item's form are sequences of 4- and 8-byte fields, and one system call per
// field made reading a matrix of 256 elements 4,639 system calls instead of
// about 520. The buffer holds the file's bytes at m_BufferStart as they were
// read, so every call must keep it equal to the file or drop it:
// - a Write or SetSize drops it (bytes over it or past a new end would be
//   stale);
// - Seek only moves the position: the bytes stay valid at their offset, and a
//   Read outside them reads ahead again;
// - a Read of at least a buffer's size goes between the file and the
//   caller's memory directly (the element values of a matrix), after the
//   buffered bytes in front of it.
// Writes are not buffered: every Write reaches the file, or fails, within the
// call, so a writer that releases the stream without Commit (as code written
// for streams that write through does) never loses a failure. Writers of many
// small fields combine them on their side (the matrix's Write does). Devices,
// pipes and other files that are not regular are not read ahead either.
class FileStream : public vq::ComObject<FileStream, IStream> {
 public:
  // The buffer's size: larger than any field run between two values, small
  // enough to stay in the cache next to what it is copied into.
  static constexpr ULONG kBufferBytes = 64 * 1024;

  FileStream(int fd, std::string path, std::wstring name, DWORD mode, std::unique_ptr<unsigned char[]> buffer)
      : m_Fd(fd), m_Path(std::move(path)), m_Name(std::move(name)), m_Mode(mode), m_Buffer(std::move(buffer)) {}

  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if ((m_Mode & 3) == STGM_WRITE) return STG_E_ACCESSDENIED;
    vq::MutexLock guard(m_Lock);
    HRESULT hr = S_OK;
    auto* out = static_cast<unsigned char*>(pv);
    ULONG done = 0;
    while (done < cb) {
      if (m_BufferUsed > 0 && m_Position >= m_BufferStart && m_Position < m_BufferStart + m_BufferUsed) {
        const uint64_t at = m_Position - m_BufferStart;
        const ULONG n = static_cast<ULONG>(std::min<uint64_t>(cb - done, m_BufferUsed - at));
        std::memcpy(out + done, m_Buffer.get() + at, n);
        done += n;
        m_Position += n;
        continue;
      }
      const ULONG left = cb - done;
      if (m_Buffer == nullptr || left >= kBufferBytes) {
        ULONG got = 0;
        hr = ReadAt(out + done, left, m_Position, &got);
        done += got;
        m_Position += got;
        break;  // all that was asked, the end of the file, or a failure
      }
      ULONG got = 0;
      m_BufferUsed = 0;
      hr = ReadAt(m_Buffer.get(), kBufferBytes, m_Position, &got);
      if (FAILED(hr) || got == 0) break;
      m_BufferStart = m_Position;
      m_BufferUsed = got;
    }
    if (pcbRead != nullptr) *pcbRead = done;
    return hr;
  }

  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if ((m_Mode & 3) == STGM_READ) return STG_E_ACCESSDENIED;
    vq::MutexLock guard(m_Lock);
    if (m_Position + cb > kMaxOffset) return STG_E_MEDIUMFULL;
    m_BufferUsed = 0;  // read-ahead may be about to go stale
    ULONG done = 0;
    const HRESULT hr = WriteAt(pv, cb, m_Position, &done);
    m_Position += done;
    if (pcbWritten != nullptr) *pcbWritten = done;
    return hr;
  }

  STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    vq::MutexLock guard(m_Lock);
    uint64_t origin = 0;
    switch (dwOrigin) {
      case STREAM_SEEK_SET: origin = 0; break;
      case STREAM_SEEK_CUR: origin = m_Position; break;
      case STREAM_SEEK_END: {
        struct stat st;
        if (::fstat(m_Fd, &st) != 0) return STG_E_SEEKERROR;
        origin = static_cast<uint64_t>(st.st_size);
        break;
      }
      default: return STG_E_INVALIDFUNCTION;
    }
    return SeekTo(origin, dlibMove, m_Position, plibNewPosition);
  }

  STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
    if ((m_Mode & 3) == STGM_READ) return STG_E_ACCESSDENIED;
    if (libNewSize.QuadPart > kMaxOffset) return STG_E_MEDIUMFULL;
    vq::MutexLock guard(m_Lock);
    m_BufferUsed = 0;  // read-ahead past the new end would be stale
    while (::ftruncate(m_Fd, static_cast<off_t>(libNewSize.QuadPart)) != 0) {
      if (errno == EINTR) continue;
      return IsDiskFull(errno) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
    }
    return S_OK;
  }

  STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                      ULARGE_INTEGER* pcbWritten) override {
    return CopyBetween(this, pstm, cb, pcbRead, pcbWritten);
  }

  // Every Write is in the page cache when it returns; unless the caller
  // settles for that (STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE), waits for the
  // disk.
  STDMETHODIMP Commit(DWORD grfCommitFlags) override {
    if ((m_Mode & 3) == STGM_READ) return S_OK;
    if (grfCommitFlags & STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE) return S_OK;
    if (::fdatasync(m_Fd) != 0 && errno != EINVAL && errno != EROFS) return STG_E_WRITEFAULT;
    return S_OK;
  }

  STDMETHODIMP Revert() override { return S_OK; }  // direct mode: nothing to undo
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

  STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    if (!IsValidStatFlag(grfStatFlag)) return STG_E_INVALIDFLAG;
    struct stat st;
    if (::fstat(m_Fd, &st) != 0) return FromErrno(errno);
    std::memset(pstatstg, 0, sizeof *pstatstg);
    if (!(grfStatFlag & STATFLAG_NONAME)) {
      const size_t bytes = (m_Name.size() + 1) * sizeof(OLECHAR);
      auto* name = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
      if (name == nullptr) return E_OUTOFMEMORY;
      std::memcpy(name, m_Name.c_str(), bytes);
      pstatstg->pwcsName = name;
    }
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = static_cast<uint64_t>(st.st_size);
    pstatstg->mtime = ToFileTime(st.st_mtim);
    pstatstg->ctime = ToFileTime(st.st_ctim);
    pstatstg->atime = ToFileTime(st.st_atim);
    pstatstg->grfMode = m_Mode;
    return S_OK;
  }

  // File streams have one position per open file, as on Windows.
  STDMETHODIMP Clone(IStream** ppstm) override {
    if (ppstm != nullptr) *ppstm = nullptr;
    return E_NOTIMPL;
  }

 protected:
  ~FileStream() override {
    if (m_Mode & STGM_DELETEONRELEASE) ::unlink(m_Path.c_str());
    ::close(m_Fd);
  }

 private:
  friend class vq::ComObject<FileStream, IStream>;

  // Reads up to `count` bytes at `offset`, resuming after short counts until
  // the end of the file; *got receives what arrived, also on failure.
  HRESULT ReadAt(unsigned char* out, ULONG count, uint64_t offset, ULONG* got) const {
    ULONG done = 0;
    HRESULT hr = S_OK;
    while (done < count) {
      const size_t want = std::min<size_t>(count - done, 1u << 30);
      const ssize_t n = ::pread(m_Fd, out + done, want, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        hr = STG_E_READFAULT;
        break;
      }
      if (n == 0) break;  // end of file: a short read, reported through the count
      done += static_cast<ULONG>(n);
    }
    *got = done;
    return hr;
  }

  // Writes `count` bytes at `offset`; *written receives what the file took,
  // also on failure (a write that takes nothing is a full medium).
  HRESULT WriteAt(const void* pv, ULONG count, uint64_t offset, ULONG* written) const {
    const auto* in = static_cast<const unsigned char*>(pv);
    ULONG done = 0;
    HRESULT hr = S_OK;
    while (done < count) {
      const size_t want = std::min<size_t>(count - done, 1u << 30);
      const ssize_t n = ::pwrite(m_Fd, in + done, want, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        hr = IsDiskFull(errno) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
        break;
      }
      if (n == 0) {
        hr = STG_E_MEDIUMFULL;
        break;
      }
      done += static_cast<ULONG>(n);
    }
    *written = done;
    return hr;
  }

  vq::Mutex m_Lock;
  const int m_Fd;
  const std::string m_Path;
  const std::wstring m_Name;
  const DWORD m_Mode;
  uint64_t m_Position VQ_GUARDED_BY(m_Lock) = 0;
  // kBufferBytes for a regular file, null for anything else (no read-ahead).
  // The bytes it points to are guarded by m_Lock (the analysis cannot mark a
  // smart pointer's target).
  const std::unique_ptr<unsigned char[]> m_Buffer;
  // The buffer holds the file's bytes [m_BufferStart, m_BufferStart +
  // m_BufferUsed), as they were read ahead.
  uint64_t m_BufferStart VQ_GUARDED_BY(m_Lock) = 0;
  ULONG m_BufferUsed VQ_GUARDED_BY(m_Lock) = 0;
};

// For a missing file, tells a missing directory apart as Windows does.
HRESULT MissingFileResult(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    struct stat st;
    if (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  }
  return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT OpenFileStream(const std::string& path, const std::wstring& name, DWORD grfMode, DWORD dwAttributes,
                       BOOL fCreate, IStream** ppstm) {
  int flags = O_CLOEXEC;
  switch (grfMode & 3) {
    case STGM_READ: flags |= O_RDONLY; break;
    case STGM_WRITE: flags |= O_WRONLY; break;
    case STGM_READWRITE: flags |= O_RDWR; break;
    default: return E_INVALIDARG;
  }
  const bool truncate = (grfMode & STGM_CREATE) != 0;
  if (truncate) {
    flags |= O_CREAT;
  } else if (fCreate) {
    flags |= O_CREAT | O_EXCL;
  }
  const mode_t permissions = (dwAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, permissions);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? MissingFileResult(path) : FromErrno(errno);

  struct stat st;
  HRESULT hr = S_OK;
  if (::fstat(fd, &st) != 0) {
    hr = FromErrno(errno);
  } else if (S_ISDIR(st.st_mode)) {
    hr = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  } else {
    // Share modes: an exclusive open excludes every other open, any other
    // open excludes only exclusive ones. Taken before truncating, so that a
    // refused open never destroys another stream's contents.
    const DWORD share = grfMode & 0x70;
    const int lock = share == STGM_SHARE_EXCLUSIVE ? LOCK_EX : LOCK_SH;
    int rc;
    do {
      rc = ::flock(fd, lock | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      hr = FromErrno(errno);  // EWOULDBLOCK: another open holds a conflicting share lock
    } else if (truncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
      hr = FromErrno(errno);
    }
  }
  if (FAILED(hr)) {
    ::close(fd);
    return hr;
  }
  FileStream* stream = nullptr;
  try {
    std::unique_ptr<unsigned char[]> buffer;
    if (S_ISREG(st.st_mode)) buffer.reset(new unsigned char[FileStream::kBufferBytes]);
    stream = vq::MakeComObject<FileStream>(fd, path, name, grfMode, std::move(buffer));
  } catch (...) {
    stream = nullptr;
  }
  if (stream == nullptr) {
    ::close(fd);
    return E_OUTOFMEMORY;
  }
  *ppstm = stream;
  return S_OK;
}

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL /*fDeleteOnRelease*/, LPSTREAM* ppstm) {
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  if (hGlobal != nullptr) return E_INVALIDARG;
  std::shared_ptr<MemoryBytes> bytes;
  try {
    bytes = std::make_shared<MemoryBytes>();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return vq::CreateComObject<MemoryStream>(IID_IStream, reinterpret_cast<void**>(ppstm), std::move(bytes),
                                           uint64_t{0});
}

HRESULT SHCreateStreamOnFileEx(LPCWSTR pszFile, DWORD grfMode, DWORD dwAttributes, BOOL fCreate,
                               IStream* pstmTemplate, IStream** ppstm) {
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  if (pszFile == nullptr || *pszFile == 0 || pstmTemplate != nullptr) return E_INVALIDARG;
  try {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, pszFile, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return E_INVALIDARG;
    std::string path(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pszFile, -1, path.data(), needed, nullptr, nullptr);
    path.resize(static_cast<size_t>(needed) - 1);
    return OpenFileStream(path, pszFile, grfMode, dwAttributes, fCreate, ppstm);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT SHCreateStreamOnFileW(LPCWSTR pszFile, DWORD grfMode, IStream** ppstm) {
  return SHCreateStreamOnFileEx(pszFile, grfMode, FILE_ATTRIBUTE_NORMAL, (grfMode & STGM_CREATE) ? TRUE : FALSE,
                                nullptr, ppstm);
}

HRESULT SHCreateStreamOnFileA(LPCSTR pszFile, DWORD grfMode, IStream** ppstm) {
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  if (pszFile == nullptr || *pszFile == 0) return E_INVALIDARG;
  try {
    // The name Stat reports: the bytes read as UTF-8.
    const int needed = MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, nullptr, 0);
    std::wstring name(needed > 0 ? static_cast<size_t>(needed) : 1, L'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, name.data(), needed);
    name.resize(name.size() - 1);
    return OpenFileStream(pszFile, name, grfMode, FILE_ATTRIBUTE_NORMAL, (grfMode & STGM_CREATE) ? TRUE : FALSE,
                          ppstm);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
