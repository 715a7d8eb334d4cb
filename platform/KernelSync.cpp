// Critical sections, the handle table, events, threads, the last-error slot
// and the tick counts (the errno mapping is in ErrnoMap.cpp).
//
// Handles are opaque numbers (never addresses) that key a process-wide table of
// reference-counted kernel objects. Numbers are never reused, so a stale handle
// is reported as invalid instead of reaching a newer object. The table's mutex
// is held only to look up, insert or erase; waits run on the object's own
// mutex and condition variable, holding a reference so that CloseHandle from
// another thread cannot free the object under the waiter.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "VQKernel.h"

// ---------------------------------------------------------------------------
// Last error.
// ---------------------------------------------------------------------------
namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local DWORD t_threadId = 0;
}  // namespace

EXTERN_C DWORD GetLastError(void) { return t_lastError; }
EXTERN_C void SetLastError(DWORD error) { t_lastError = error; }

// ---------------------------------------------------------------------------
// Critical sections.
// ---------------------------------------------------------------------------
EXTERN_C void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

EXTERN_C BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD /*spinCount*/) {
  InitializeCriticalSection(cs);
  return TRUE;
}

EXTERN_C void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->Mutex); }

EXTERN_C BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  return pthread_mutex_trylock(&cs->Mutex) == 0 ? TRUE : FALSE;
}

EXTERN_C void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->Mutex); }

EXTERN_C void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->Mutex); }

// ---------------------------------------------------------------------------
// Kernel objects and the handle table.
// ---------------------------------------------------------------------------
namespace {

using Clock = std::chrono::steady_clock;

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD milliseconds) = 0;
};

// Waits on cv until `ready` holds or the time runs out; the caller holds
// mutex, which the wait releases meanwhile. Returns whether ready.
bool WaitFor(vq::Mutex& mutex, std::condition_variable_any& cv, DWORD milliseconds, const bool& ready)
    VQ_REQUIRES(mutex) {
  if (milliseconds == vq::kInfinite) {
    while (!ready) cv.wait(mutex);
    return true;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!ready) {
    if (cv.wait_until(mutex, deadline) == std::cv_status::timeout) return ready;
  }
  return true;
}

class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : m_ManualReset(manualReset), m_Signaled(signaled) {}

  void Set() {
    {
      vq::MutexLock lock(m_Mutex);
      m_Signaled = true;
    }
    // An auto-reset event releases one waiter; the others see it reset again.
    if (m_ManualReset)
      m_StateChanged.notify_all();
    else
      m_StateChanged.notify_one();
  }

  void Reset() {
    vq::MutexLock lock(m_Mutex);
    m_Signaled = false;
  }

  DWORD Wait(DWORD milliseconds) override {
    vq::MutexLock lock(m_Mutex);
    if (!WaitFor(m_Mutex, m_StateChanged, milliseconds, m_Signaled)) return WAIT_TIMEOUT;
    if (!m_ManualReset) m_Signaled = false;
    return WAIT_OBJECT_0;
  }

 private:
  vq::Mutex m_Mutex;
  std::condition_variable_any m_StateChanged;
  const bool m_ManualReset;
  bool m_Signaled VQ_GUARDED_BY(m_Mutex);
};

class ThreadObject final : public KernelObject {
 public:
  void Started(DWORD id) {
    {
      vq::MutexLock lock(m_Mutex);
      m_Id = id;
    }
    m_StateChanged.notify_all();
  }

  DWORD WaitForId() {
    vq::MutexLock lock(m_Mutex);
    while (m_Id == 0) m_StateChanged.wait(m_Mutex);
    return m_Id;
  }

  void Finished(DWORD exitCode) {
    {
      vq::MutexLock lock(m_Mutex);
      m_ExitCode = exitCode;
      m_Finished = true;
    }
    m_StateChanged.notify_all();
  }

  DWORD ExitCode() {
    vq::MutexLock lock(m_Mutex);
    return m_Finished ? m_ExitCode : STILL_ACTIVE;
  }

  DWORD Id() {
    vq::MutexLock lock(m_Mutex);
    return m_Id;
  }

  DWORD Wait(DWORD milliseconds) override {
    vq::MutexLock lock(m_Mutex);
    return WaitFor(m_Mutex, m_StateChanged, milliseconds, m_Finished) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

 private:
  vq::Mutex m_Mutex;
  std::condition_variable_any m_StateChanged;
  DWORD m_Id VQ_GUARDED_BY(m_Mutex) = 0;
  DWORD m_ExitCode VQ_GUARDED_BY(m_Mutex) = 0;
  bool m_Finished VQ_GUARDED_BY(m_Mutex) = false;
};

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object) {
    vq::MutexLock lock(m_Mutex);
    // Multiples of 4 from 0x1000 on: never null, never INVALID_HANDLE_VALUE.
    m_Next += 4;
    m_Objects.emplace(m_Next, std::move(object));
    return reinterpret_cast<HANDLE>(m_Next);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    vq::MutexLock lock(m_Mutex);
    auto it = m_Objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == m_Objects.end() ? nullptr : it->second;
  }

  bool Erase(HANDLE handle) {
    std::shared_ptr<KernelObject> doomed;  // destroyed after the lock is released
    vq::MutexLock lock(m_Mutex);
    auto it = m_Objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m_Objects.end()) return false;
    doomed = std::move(it->second);
    m_Objects.erase(it);
    return true;
  }

  // Named events of this process; a name lives while a handle to it is open.
  std::shared_ptr<EventObject> FindOrAddNamed(const std::string& name, bool manualReset,
                                              bool initialState, bool* existed) {
    vq::MutexLock lock(m_Mutex);
    auto& slot = m_Named[name];
    if (auto existing = slot.lock()) {
      *existed = true;
      return existing;
    }
    auto created = std::make_shared<EventObject>(manualReset, initialState);
    slot = created;
    *existed = false;
    return created;
  }

 private:
  vq::Mutex m_Mutex;
  uintptr_t m_Next VQ_GUARDED_BY(m_Mutex) = 0x1000;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_Objects VQ_GUARDED_BY(m_Mutex);
  std::map<std::string, std::weak_ptr<EventObject>> m_Named VQ_GUARDED_BY(m_Mutex);
};

// Never destroyed: threads still running at exit may close their handles.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

template <class T>
std::shared_ptr<T> FindAs(HANDLE handle) {
  auto object = std::dynamic_pointer_cast<T>(Handles().Find(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState, const std::string* name) {
  try {
    std::shared_ptr<EventObject> event;
    bool existed = false;
    if (name)
      event = Handles().FindOrAddNamed(*name, manualReset != FALSE, initialState != FALSE, &existed);
    else
      event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    HANDLE handle = Handles().Insert(event);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

DWORD KernelThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

}  // namespace

// ---------------------------------------------------------------------------
// Events and waits.
// ---------------------------------------------------------------------------
EXTERN_C HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (!name || !*name) return NewEvent(manualReset, initialState, nullptr);
  std::string key;
  try {
    key = name;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return NewEvent(manualReset, initialState, &key);
}

EXTERN_C HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (!name || !*name) return NewEvent(manualReset, initialState, nullptr);
  // Wide and narrow names share one namespace; a wide name is keyed by its
  // UTF-32 code units written as hex so that it cannot collide with a narrow one
  // unless the texts are equal in ASCII.
  std::string key;
  try {
    for (const wchar_t* p = name; *p; ++p) {
      if (*p < 0x80) {
        key += static_cast<char>(*p);
      } else {
        char hex[16];
        snprintf(hex, sizeof hex, "\\u%08X", static_cast<unsigned>(*p));
        key += hex;
      }
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return NewEvent(manualReset, initialState, &key);
}

EXTERN_C BOOL SetEvent(HANDLE handle) {
  auto event = FindAs<EventObject>(handle);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

EXTERN_C BOOL ResetEvent(HANDLE handle) {
  auto event = FindAs<EventObject>(handle);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

EXTERN_C DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = FindAs<KernelObject>(handle);
  if (!object) return WAIT_FAILED;
  return object->Wait(milliseconds);
}

EXTERN_C BOOL CloseHandle(HANDLE handle) {
  if (!Handles().Erase(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// Threads.
// ---------------------------------------------------------------------------
EXTERN_C HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T /*stackSize*/, LPTHREAD_START_ROUTINE start,
                             LPVOID parameter, DWORD flags, LPDWORD threadId) {
  if (!start || (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    auto thread = std::make_shared<ThreadObject>();
    // The thread holds its own reference, so closing the handle early only
    // detaches it.
    std::thread worker([thread, start, parameter] {
      t_threadId = KernelThreadId();
      thread->Started(t_threadId);
      thread->Finished(start(parameter));
    });
    worker.detach();
    const DWORD id = thread->WaitForId();
    HANDLE handle = Handles().Insert(thread);
    if (threadId) *threadId = id;
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

EXTERN_C BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto thread = FindAs<ThreadObject>(handle);
  if (!thread) return FALSE;
  *exitCode = thread->ExitCode();
  return TRUE;
}

EXTERN_C DWORD GetThreadId(HANDLE handle) {
  auto thread = FindAs<ThreadObject>(handle);
  return thread ? thread->Id() : 0;
}

EXTERN_C DWORD GetCurrentThreadId(void) {
  if (t_threadId == 0) t_threadId = KernelThreadId();
  return t_threadId;
}

EXTERN_C DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

EXTERN_C void Sleep(DWORD milliseconds) {
  if (milliseconds == vq::kInfinite) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---------------------------------------------------------------------------
// Tick counts.
// ---------------------------------------------------------------------------
EXTERN_C ULONGLONG GetTickCount64(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

EXTERN_C DWORD GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }
