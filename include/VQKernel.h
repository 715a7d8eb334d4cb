// VQKernel.h - the kernel calls of the portable component runtime.
//
// Stand-ins for the Windows kernel calls that the components use, under their
// standard names and signatures: critical sections, events and threads behind
// handles, the last-error slot, memory status, virtual and local memory,
// temporary files, profile (INI) files, tick counts, debug output and system
// message texts. Implemented in platform/Kernel*.cpp on POSIX/Linux.
//
// Ownership: a HANDLE returned by CreateEvent/CreateThread belongs to the caller
// until CloseHandle. Handles name entries of one process-wide handle table
// (guarded by its own mutex); the objects behind them are reference counted, so
// closing a thread handle while the thread runs detaches it and a wait that is
// in progress keeps its object alive. Handle values are never reused.
//
// Threads: every function may be called from any thread. The last-error slot
// and the cached thread identifier are per thread. The memory status reading is
// cached process-wide in atomics and refreshed at most every
// vq::kMemoryStatusRefreshMs milliseconds; its fast path takes no lock.
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <functional>

#include "VQPlatformTypes.h"
#include "VQThreadSafety.h"

// ---------------------------------------------------------------------------
// Constants.
// ---------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

// Constants that Windows code knows as INFINITE and MAX_PATH (VQWin32Compat.h
// defines those words as these): an ordinary Linux program may well have an
// INFINITE or a MAX_PATH of its own.
namespace vq {
// The timeout of a wait without a limit.
inline constexpr DWORD kInfinite = 0xFFFFFFFFu;
// The size of GetTempFileNameA's name buffer, in bytes with the terminator
// (Windows' limit, which the temporary names formed here keep).
inline constexpr int kMaxPath = 260;
}  // namespace vq

// ---------------------------------------------------------------------------
// Types.
// ---------------------------------------------------------------------------
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD (*PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// A recursive lock. The owning thread may enter it again; it must leave it as
// often as it entered. Built on a recursive pthread mutex so that the thread
// sanitizer follows it. Not copyable once initialised (copying a live mutex is
// undefined), as on Windows.
typedef struct _RTL_CRITICAL_SECTION {
  pthread_mutex_t Mutex;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

// Status of physical and virtual memory. SIZE_T is 64 bits here, so the
// classic structure reports real values without a 4 GiB clamp.
typedef struct _MEMORYSTATUS {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  SIZE_T dwTotalPhys;
  SIZE_T dwAvailPhys;
  SIZE_T dwTotalPageFile;
  SIZE_T dwAvailPageFile;
  SIZE_T dwTotalVirtual;
  SIZE_T dwAvailVirtual;
} MEMORYSTATUS, *LPMEMORYSTATUS;

typedef struct _MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORDLONG ullTotalPhys;
  DWORDLONG ullAvailPhys;
  DWORDLONG ullTotalPageFile;
  DWORDLONG ullAvailPageFile;
  DWORDLONG ullTotalVirtual;
  DWORDLONG ullAvailVirtual;
  DWORDLONG ullAvailExtendedVirtual;
} MEMORYSTATUSEX, *LPMEMORYSTATUSEX;

// ---------------------------------------------------------------------------
// Critical sections.
// ---------------------------------------------------------------------------
EXTERN_C void InitializeCriticalSection(LPCRITICAL_SECTION cs);
// The spin count is accepted and ignored; always returns TRUE.
EXTERN_C BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
EXTERN_C void EnterCriticalSection(LPCRITICAL_SECTION cs);
// TRUE when the calling thread now owns the section (also when it already did).
EXTERN_C BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
EXTERN_C void LeaveCriticalSection(LPCRITICAL_SECTION cs);
EXTERN_C void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// ---------------------------------------------------------------------------
// Handles, events, threads.
// ---------------------------------------------------------------------------
// Creates an event; returns its handle, or NULL with the last error set. A name
// makes the event shared within this process: creating it again returns a new
// handle to the same event and sets ERROR_ALREADY_EXISTS.
EXTERN_C HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                             LPCSTR name);
EXTERN_C HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                             LPCWSTR name);
// FALSE with ERROR_INVALID_HANDLE when the handle is not an event.
EXTERN_C BOOL SetEvent(HANDLE event);
EXTERN_C BOOL ResetEvent(HANDLE event);
// Waits for an event to be signalled (an auto-reset event is reset by the wait
// that consumes it) or for a thread to end. Returns WAIT_OBJECT_0, WAIT_TIMEOUT,
// or WAIT_FAILED with the last error set.
EXTERN_C DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
EXTERN_C BOOL CloseHandle(HANDLE handle);

// Starts a thread running start(parameter); returns its handle (NULL with the
// last error on failure) and stores its kernel thread id in *threadId when
// threadId is not null. The stack size is ignored; flags other than 0 and
// STACK_SIZE_PARAM_IS_A_RESERVATION (CREATE_SUSPENDED included) are refused
// with ERROR_INVALID_PARAMETER.
EXTERN_C HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                             LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                             LPDWORD threadId);
// Stores the thread's result, or STILL_ACTIVE while it runs.
EXTERN_C BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// The kernel thread id of the thread behind a handle; 0 with the last error for
// a handle that is not a thread.
EXTERN_C DWORD GetThreadId(HANDLE thread);
// The kernel thread id (gettid) of the calling thread, cached per thread.
EXTERN_C DWORD GetCurrentThreadId(void);
EXTERN_C DWORD GetCurrentProcessId(void);
EXTERN_C void Sleep(DWORD milliseconds);

EXTERN_C DWORD GetLastError(void);
EXTERN_C void SetLastError(DWORD error);

// Milliseconds of the monotonic clock; GetTickCount wraps at 32 bits.
EXTERN_C DWORD GetTickCount(void);
EXTERN_C ULONGLONG GetTickCount64(void);

// ---------------------------------------------------------------------------
// Memory.
// ---------------------------------------------------------------------------
EXTERN_C void GlobalMemoryStatus(LPMEMORYSTATUS status);
// FALSE with ERROR_INVALID_PARAMETER when status is null or its dwLength is not
// sizeof(MEMORYSTATUSEX).
EXTERN_C BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status);

// Reserves and/or commits zero-filled, page-aligned memory. Supported: a new
// region with MEM_RESERVE (inaccessible until committed), MEM_RESERVE |
// MEM_COMMIT or MEM_COMMIT with a null address, and MEM_COMMIT of pages inside
// a reserved region; protections
// PAGE_NOACCESS, PAGE_READONLY, PAGE_READWRITE. Returns the base address or
// NULL with the last error.
EXTERN_C LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
// MEM_RELEASE (size must be 0, address the base that VirtualAlloc returned)
// or MEM_DECOMMIT of a range. FALSE with the last error otherwise.
EXTERN_C BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);

// Heap blocks for buffers that FormatMessageA allocates; LocalFree returns NULL
// on success (and for a null block).
EXTERN_C HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
EXTERN_C HLOCAL LocalFree(HLOCAL block);

// ---------------------------------------------------------------------------
// Temporary files.
// ---------------------------------------------------------------------------
// Writes $TMPDIR (else /tmp) with a trailing '/' into buffer. Returns the
// length written without the terminator, or, when bufferLength is too small,
// the length needed including the terminator (buffer untouched).
EXTERN_C DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
// Forms "<path>/<prefix><XXXX>.tmp" (XXXX = four upper-case hex digits of the
// unique number) in tempFileName (vq::kMaxPath bytes). The whole prefix is kept.
// unique 0: picks numbers until a new file can be created exclusively (mode
// 0600) and returns the number used; otherwise only forms the name with
// unique's low 16 bits and returns unique. 0 with the last error on failure.
EXTERN_C UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR tempFileName);

// ---------------------------------------------------------------------------
// Profile (INI) files.
// ---------------------------------------------------------------------------
// Reads a value, or with a null key the key names of a section, or with a null
// app the section names (each terminated, the list ending with an extra zero).
// Returns the characters copied without the final terminator; when the buffer
// is too small the value is cut and size - 1 returned (size - 2 for lists).
// A file name without '/' is looked up in $VQ_CONFIG_DIR, else
// $XDG_CONFIG_HOME, else ~/.config.
EXTERN_C DWORD GetPrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue,
                                        LPSTR returnedString, DWORD size, LPCSTR fileName);
// The value read as an integer (see KernelProfile.cpp for the parsing rules),
// or defaultValue when the file, section or key is missing or the value empty.
EXTERN_C UINT GetPrivateProfileIntA(LPCSTR appName, LPCSTR keyName, INT defaultValue, LPCSTR fileName);

// ---------------------------------------------------------------------------
// Debug output and system messages.
// ---------------------------------------------------------------------------
// Sends text to the debug output channel: the test sink when one is installed,
// else the file named by $VQDEBUG_OUTPUT (appended), else standard error. One
// write per call, so lines of different threads never interleave.
EXTERN_C void OutputDebugStringA(LPCSTR text);
// As OutputDebugStringA, after conversion to the ANSI code page (Windows-1252;
// characters it lacks become '?').
EXTERN_C void OutputDebugStringW(LPCWSTR text);

// Supports FORMAT_MESSAGE_FROM_SYSTEM (the texts of the HRESULTs and Win32
// errors in use; an HRESULT of FACILITY_WIN32 gives its Win32 code's text) and
// FORMAT_MESSAGE_FROM_STRING, with FORMAT_MESSAGE_ALLOCATE_BUFFER (buffer is
// then an LPSTR* whose block the caller frees with LocalFree). Inserts are not
// expanded: a text containing "%1" needs FORMAT_MESSAGE_IGNORE_INSERTS. Returns
// the characters stored without the terminator; 0 with the last error on
// failure, ERROR_MR_MID_NOT_FOUND for an unknown code.
EXTERN_C DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                              LPSTR buffer, DWORD size, va_list* arguments);

// ---------------------------------------------------------------------------
// Helpers of this runtime (namespace vq).
// ---------------------------------------------------------------------------
namespace vq {

// The one mapping from errno values to Win32 error codes (0 -> ERROR_SUCCESS,
// unknown values -> ERROR_GEN_FAILURE).
DWORD Win32ErrorFromErrno(int error);
// The HRESULT of an errno value (ENOMEM -> E_OUTOFMEMORY, 0 -> S_OK, others
// HRESULT_FROM_WIN32 of the Win32 code).
HRESULT HResultFromErrno(int error);

// A critical section that initialises and deletes itself; usable with
// CritSecLock and std::lock_guard / std::unique_lock. A capability for the
// thread-safety analysis: members name it in VQ_GUARDED_BY and functions in
// VQ_REQUIRES (docs/ARCHITECTURE.md, "Locks").
class VQ_CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&m_Section); }
  ~CriticalSection() { DeleteCriticalSection(&m_Section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void lock() VQ_ACQUIRE() { EnterCriticalSection(&m_Section); }
  bool try_lock() VQ_TRY_ACQUIRE(true) { return TryEnterCriticalSection(&m_Section) != FALSE; }
  void unlock() VQ_RELEASE() { LeaveCriticalSection(&m_Section); }
  // The raw section, for the kernel calls; a lock taken through it is invisible
  // to the analysis, so scoped locks take the CriticalSection itself.
  CRITICAL_SECTION& native() { return m_Section; }
  operator CRITICAL_SECTION&() { return m_Section; }

 private:
  CRITICAL_SECTION m_Section;
};

// Scoped owner of a critical section: enters on construction, leaves on every
// way out of the scope. Built from a CriticalSection, the thread-safety
// analysis knows which lock the scope holds. Built from a raw CRITICAL_SECTION
// it does not, and reports the scope's end as releasing a lock not held: code
// checked with -Wthread-safety locks a CriticalSection.
class VQ_SCOPED_CAPABILITY CritSecLock {
 public:
  explicit CritSecLock(CriticalSection& cs) VQ_ACQUIRE(cs) : m_Section(&cs.native()) {
    EnterCriticalSection(m_Section);
  }
  explicit CritSecLock(CRITICAL_SECTION& cs) : m_Section(&cs) { EnterCriticalSection(m_Section); }
  explicit CritSecLock(CRITICAL_SECTION* cs) : m_Section(cs) { EnterCriticalSection(m_Section); }
  ~CritSecLock() VQ_RELEASE() { LeaveCriticalSection(m_Section); }
  CritSecLock(const CritSecLock&) = delete;
  CritSecLock& operator=(const CritSecLock&) = delete;

 private:
  CRITICAL_SECTION* m_Section;
};

// The memory status cache is refreshed at most this often. Element accesses
// come far more often than memory use changes; 10 ms bounds how stale a
// reading is while keeping the refresh cost (about 10 us for /proc/meminfo plus
// 15 us per limiting cgroup level) near 0.1-0.25 % of one core however often
// the status is asked.
inline constexpr uint32_t kMemoryStatusRefreshMs = 10;

// /proc/meminfo figures in bytes.
struct MemInfo {
  uint64_t memTotal = 0;
  uint64_t memAvailable = 0;
  uint64_t swapTotal = 0;
  uint64_t swapFree = 0;
};
// Parses a meminfo file; false when it cannot be read or lacks MemTotal or
// MemAvailable.
bool ReadMemInfo(MemInfo* info, const char* path = "/proc/meminfo");
// MemAvailable of /proc/meminfo in bytes; false when it cannot be read.
bool ReadMemAvailable(uint64_t* bytes);

// The tightest memory limit over the process's memory cgroup and its
// ancestors: limit and usage of the level with the least headroom.
struct CgroupMemoryLimit {
  uint64_t limit = 0;
  uint64_t usage = 0;
  int version = 0;  // 1 or 2
};
// True with *out filled when the process (as described by procSelfCgroup) is
// in a memory cgroup with a limit; false when there is none or it cannot be
// read. The roots default to the standard mount points; tests pass fakes.
bool ReadCgroupMemoryLimit(CgroupMemoryLimit* out, const char* procSelfCgroup = "/proc/self/cgroup",
                           const char* v1Root = "/sys/fs/cgroup/memory", const char* v2Root = "/sys/fs/cgroup");
// Parses a size such as "1048576", "512K", "64M", "2G", "1GiB"
// (binary units); false when text is not one.
bool ParseMemorySize(const char* text, uint64_t* bytes);

// Makes the next memory-status query read afresh instead of using the cached
// reading, for a caller that has just freed memory and must not act on the
// reading from before.
void InvalidateMemoryStatus();

// Reads the real status now, bypassing the cache: available physical memory
// = min(MemAvailable, cgroup limit - usage).
bool ReadMemoryStatusUncached(MEMORYSTATUSEX* status);

// Test only: receives every OutputDebugString text instead of the real
// channel; an empty function restores it. Called under a lock, so the sink
// must not output debug text itself.
void SetDebugOutputSink(std::function<void(const char*)> sink);

}  // namespace vq
