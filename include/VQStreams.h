// VQStreams.h - the stream interfaces and the two stream kinds of the
// platform: growable memory streams (CreateStreamOnHGlobal) and file streams
// (SHCreateStreamOnFileEx).
//
// Ownership: a stream is a reference-counted object; the creating call hands
// out one reference. Clones of a memory stream share its bytes (kept alive
// until the last clone goes) and each has its own seek position.
//
// Threads: every call on a memory stream or its clones is serialised by one
// mutex that the clones share (it guards the bytes, the size and each clone's
// position); a file stream serialises its calls with its own mutex. Reading
// and writing one stream from two threads is therefore safe, though the
// interleaving of positions is the callers' business, as on any stream.
//
// Memory streams: Read at or past the end returns S_OK with *pcbRead telling
// how many bytes came (0 at the end); Seek past the end is allowed and a
// later Write fills the gap with zeros; SetSize zero-fills when it grows.
// Capacity grows geometrically, so writing a stream of n bytes in small pieces
// costs O(n). Sizes that do not fit in memory or overflow are refused with
// STG_E_MEDIUMFULL (Write) or E_OUTOFMEMORY (SetSize), never wrapped. There is
// no global-memory handle behind a memory stream: CreateStreamOnHGlobal only
// accepts a null HGLOBAL, and GetHGlobalFromStream is not offered.
//
// File streams use POSIX descriptors. On a regular file they read ahead
// (64 KiB) for small reads; writes are never buffered: a Write's bytes are in
// the file (the page cache) when it returns S_OK, and a failure is that
// Write's result. Commit waits for the disk unless given
// STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE. Other files (devices, pipes) are
// not read ahead. STGM_SHARE_EXCLUSIVE and
// STGM_SHARE_DENY_* are advisory: they take flock() locks that exclude other
// streams opened with a conflicting share mode (in this or another process),
// not programs that ignore locks.
#pragma once

#include "VQPlatformTypes.h"

// ---------------------------------------------------------------------------
// Flags and structures.
// ---------------------------------------------------------------------------
#define STGM_DIRECT 0x00000000L
#define STGM_TRANSACTED 0x00010000L
#define STGM_SIMPLE 0x08000000L
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STGM_SHARE_DENY_NONE 0x00000040L
#define STGM_SHARE_DENY_READ 0x00000030L
#define STGM_SHARE_DENY_WRITE 0x00000020L
#define STGM_SHARE_EXCLUSIVE 0x00000010L
#define STGM_PRIORITY 0x00040000L
#define STGM_DELETEONRELEASE 0x04000000L
#define STGM_NOSCRATCH 0x00100000L
#define STGM_CREATE 0x00001000L
#define STGM_CONVERT 0x00020000L
#define STGM_FAILIFTHERE 0x00000000L
#define STGM_NOSNAPSHOT 0x00200000L
#define STGM_DIRECT_SWMR 0x00400000L

typedef enum tagSTREAM_SEEK { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 } STREAM_SEEK;
typedef enum tagSTGTY { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 } STGTY;
typedef enum tagSTATFLAG { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 } STATFLAG;
// The LOCKTYPE values are not declared: LOCK_WRITE collides with <fcntl.h>,
// and neither stream kind supports region locks (STG_E_INVALIDFUNCTION).
typedef enum tagSTGC {
  STGC_DEFAULT = 0,
  STGC_OVERWRITE = 1,
  STGC_ONLYIFCURRENT = 2,
  STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4,
  STGC_CONSOLIDATE = 8
} STGC;

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#endif

typedef struct tagSTATSTG {
  LPOLESTR pwcsName;  // CoTaskMemAlloc'ed name (file streams, unless STATFLAG_NONAME), else null
  DWORD type;         // STGTY_STREAM
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
} STATSTG;

// ---------------------------------------------------------------------------
// Interfaces.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(ISequentialStream, IUnknown, "0c733a30-2a1c-11ce-ade5-00aa0044773d");
struct ISequentialStream : IUnknown {
  // Reads up to cb bytes into pv; *pcbRead (when given) receives the count.
  STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  // Writes cb bytes from pv; *pcbWritten (when given) receives the count.
  STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

VQ_DECLARE_INTERFACE(IStream, ISequentialStream, "0000000c-0000-0000-C000-000000000046");
struct IStream : ISequentialStream {
  // Moves the position to origin + dlibMove; a negative target is
  // STG_E_INVALIDFUNCTION and leaves the position. *plibNewPosition (when
  // given) receives the new position.
  STDMETHOD(Seek)(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  // Truncates or extends the stream; the position is not moved.
  STDMETHOD(SetSize)(ULARGE_INTEGER libNewSize) = 0;
  // Copies up to cb bytes from the current position into pstm; the counts go
  // to *pcbRead and *pcbWritten (when given), also after a failure.
  STDMETHOD(CopyTo)(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
  STDMETHOD(Commit)(DWORD grfCommitFlags) = 0;
  STDMETHOD(Revert)() = 0;
  STDMETHOD(LockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  STDMETHOD(UnlockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  // Fills *pstatstg; a name, when returned, belongs to the caller (CoTaskMemFree).
  STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  // Returns a new stream on the same bytes, positioned where this one is.
  STDMETHOD(Clone)(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};
typedef IStream* LPSTREAM;
inline constexpr IID IID_ISequentialStream = __uuidof(ISequentialStream);
inline constexpr IID IID_IStream = __uuidof(IStream);

// ---------------------------------------------------------------------------
// Stream creation.
// ---------------------------------------------------------------------------
// Creates an empty growable memory stream. hGlobal must be null (E_INVALIDARG
// otherwise: there are no global-memory handles here); the bytes are always
// freed with the last reference, whatever fDeleteOnRelease says. E_INVALIDARG
// for a null ppstm, E_OUTOFMEMORY; on failure *ppstm is null.
STDAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);

// Opens or creates a file stream on pszFile (converted to UTF-8 for the
// system). grfMode: STGM_READ / STGM_WRITE / STGM_READWRITE, STGM_SHARE_*,
// STGM_CREATE (create or truncate), STGM_DELETEONRELEASE. Without STGM_CREATE:
// fCreate FALSE opens an existing file only, fCreate TRUE creates a new file
// and fails when one exists. dwAttributes: FILE_ATTRIBUTE_READONLY makes a
// newly created file read-only; the others are accepted and ignored.
// STGM_TRANSACTED and the other storage flags are accepted and ignored: file
// streams are always direct. pstmTemplate must be null. Results: S_OK; E_INVALIDARG (null or empty
// path, null ppstm, template, unknown access mode); HRESULT_FROM_WIN32 of
// ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED (also for a
// directory), ERROR_FILE_EXISTS, ERROR_SHARING_VIOLATION,
// ERROR_TOO_MANY_OPEN_FILES, ERROR_DISK_FULL...; on failure *ppstm is null.
STDAPI SHCreateStreamOnFileEx(LPCWSTR pszFile, DWORD grfMode, DWORD dwAttributes, BOOL fCreate,
                              IStream* pstmTemplate, IStream** ppstm);
// SHCreateStreamOnFileEx with FILE_ATTRIBUTE_NORMAL and fCreate set when
// grfMode holds STGM_CREATE.
STDAPI SHCreateStreamOnFileW(LPCWSTR pszFile, DWORD grfMode, IStream** ppstm);
// As SHCreateStreamOnFileW; the path bytes go to the system unchanged (a
// POSIX path is a byte string, usually UTF-8).
STDAPI SHCreateStreamOnFileA(LPCSTR pszFile, DWORD grfMode, IStream** ppstm);
