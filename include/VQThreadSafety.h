// VQThreadSafety.h - lock annotations for clang's thread-safety analysis.
//
// Marks which lock guards a member (VQ_GUARDED_BY), which lock a function
// expects its caller to hold (VQ_REQUIRES), which types are locks
// (VQ_CAPABILITY) and which are scoped holders of one (VQ_SCOPED_CAPABILITY).
// Under clang, built with -Wthread-safety (the clang and asan presets), the
// compiler checks every access against these marks; under other compilers the
// macros expand to nothing. All names carry the VQ_ prefix so that this
// header, reached through the public platform headers, cannot clash with a
// client's own annotation macros.
//
// Threads: declarations only; no runtime effect.
#pragma once

#if defined(__clang__)
#define VQ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VQ_THREAD_ANNOTATION(x)
#endif

// A type that is a lock; name is what diagnostics call it ("mutex").
#define VQ_CAPABILITY(name) VQ_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a lock from its constructor to its destructor.
#define VQ_SCOPED_CAPABILITY VQ_THREAD_ANNOTATION(scoped_lockable)
// The member may be read or written only while the lock is held.
#define VQ_GUARDED_BY(lock) VQ_THREAD_ANNOTATION(guarded_by(lock))
// What the pointer member points to may be used only while the lock is held.
#define VQ_PT_GUARDED_BY(lock) VQ_THREAD_ANNOTATION(pt_guarded_by(lock))
// The caller holds these locks.
#define VQ_REQUIRES(...) VQ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes these locks (or, without arguments on a member, this one).
#define VQ_ACQUIRE(...) VQ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases these locks (or this one).
#define VQ_RELEASE(...) VQ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns the given value.
#define VQ_TRY_ACQUIRE(...) VQ_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The lock is held here although the analysis cannot see it taken (a callback
// run under it); no runtime check.
#define VQ_ASSERT_CAPABILITY(x) VQ_THREAD_ANNOTATION(assert_capability(x))
// The caller must not hold these locks (the function takes them itself).
#define VQ_EXCLUDES(...) VQ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Turns the analysis off for one function whose locking it cannot follow;
// every use says why next to it.
#define VQ_NO_THREAD_SAFETY_ANALYSIS VQ_THREAD_ANNOTATION(no_thread_safety_analysis)

#include <condition_variable>
#include <mutex>

namespace vq {

// A std::mutex the analysis knows as a lock: members name it in VQ_GUARDED_BY.
// Waits on a std::condition_variable_any take the Mutex itself, inside the
// scope of a MutexLock.
class VQ_CAPABILITY("mutex") Mutex {
 public:
  void lock() VQ_ACQUIRE() { m_Mutex.lock(); }
  bool try_lock() VQ_TRY_ACQUIRE(true) { return m_Mutex.try_lock(); }
  void unlock() VQ_RELEASE() { m_Mutex.unlock(); }
  // For code that runs under the lock inside a callback, where the analysis
  // cannot follow the lock from the caller.
  void AssertHeld() const VQ_ASSERT_CAPABILITY(this) {}

 private:
  std::mutex m_Mutex;
};

// Holds a Mutex from construction to the end of the scope.
class VQ_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VQ_ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex.lock(); }
  ~MutexLock() VQ_RELEASE() { m_Mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_Mutex;
};

}  // namespace vq
