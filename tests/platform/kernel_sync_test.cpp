// Critical sections, events, threads, handles and the last-error slot, called
// as code ported from Windows calls them (WINAPI, INFINITE: VQWin32Compat.h).
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "VQKernel.h"
#include "VQWin32Compat.h"

namespace {

// ---------------------------------------------------------------------------
// Critical sections.
// ---------------------------------------------------------------------------
// Whether another thread may enter cs now (it leaves again at once).
bool OtherThreadMayEnter(CRITICAL_SECTION& cs) {
  bool got = false;
  std::thread([&] {
    got = TryEnterCriticalSection(&cs) != FALSE;
    if (got) LeaveCriticalSection(&cs);
  }).join();
  return got;
}

TEST(CriticalSection, OwnerMayReenterOthersMayNotUntilFullyLeft) {
  vq::CriticalSection cs;
  EnterCriticalSection(&cs.native());
  EXPECT_TRUE(TryEnterCriticalSection(&cs.native()));  // recursion
  EXPECT_FALSE(OtherThreadMayEnter(cs.native()));
  LeaveCriticalSection(&cs.native());
  EXPECT_FALSE(OtherThreadMayEnter(cs.native())) << "still held once";
  LeaveCriticalSection(&cs.native());
  EXPECT_TRUE(OtherThreadMayEnter(cs.native()));
}

TEST(CriticalSection, ScopedLockGivesMutualExclusionAndReleasesOnThrow) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  long counter = 0;  // deliberately not atomic: the lock must protect it
  // Locks taken through a raw section are invisible to the thread-safety
  // analysis, which would report the scopes' ends as releasing unheld locks.
  auto work = [&]() VQ_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = 0; i < 20000; ++i) {
      vq::CritSecLock lock(cs);
      vq::CritSecLock again(&cs);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);

  try {
    vq::CritSecLock lock(cs);
    throw 1;
  } catch (int) {
  }
  EXPECT_TRUE(OtherThreadMayEnter(cs));
  DeleteCriticalSection(&cs);
}

// ---------------------------------------------------------------------------
// Events and handles.
// ---------------------------------------------------------------------------
TEST(Event, AutoResetIsConsumedByOneWait) {
  HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_TRUE(SetEvent(e));  // signals do not add up
  EXPECT_EQ(WaitForSingleObject(e, 5), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 5), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 1), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, SetWakesAnInfiniteWaiterOnAnotherThread) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<DWORD> result{0xDEAD};
  std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
  EXPECT_TRUE(SetEvent(e));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  CloseHandle(e);
}

TEST(Event, NamedEventsAreSharedWithinTheProcess) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "vq-test-event");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "vq-test-event");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_NE(a, b);
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  // With every handle closed the name is free again.
  HANDLE c = CreateEventA(nullptr, TRUE, FALSE, "vq-test-event");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
  CloseHandle(c);
}

TEST(Handle, InvalidHandlesAreRefusedWithErrorInvalidHandle) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(e));
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, e}) {
    SetLastError(NO_ERROR);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(NO_ERROR);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(ResetEvent(h));
  }
}

// ---------------------------------------------------------------------------
// Threads.
// ---------------------------------------------------------------------------
struct ThreadProbe {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> seenId{0};
  ~ThreadProbe() {
    CloseHandle(go);
    CloseHandle(done);
  }
};

DWORD WINAPI ProbeThread(LPVOID p) {
  auto* probe = static_cast<ThreadProbe*>(p);
  probe->seenId = GetCurrentThreadId();
  WaitForSingleObject(probe->go, INFINITE);
  SetEvent(probe->done);
  return 42;
}

TEST(Thread, IdIsTheKernelIdAndExitCodeFollowsTheThreadsLife) {
  ThreadProbe probe;
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, ProbeThread, &probe, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(GetThreadId(t), id);

  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

  SetEvent(probe.go);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(probe.seenId.load(), id);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(CloseHandle(t));
}

TEST(Thread, ClosingTheHandleWhileTheThreadRunsDetachesIt) {
  ThreadProbe probe;
  HANDLE t = CreateThread(nullptr, 0, ProbeThread, &probe, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseHandle(t));
  SetEvent(probe.go);
  EXPECT_EQ(WaitForSingleObject(probe.done, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
}

TEST(Thread, BadArgumentsAreRefused) {
  SetLastError(NO_ERROR);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ThreadProbe probe;
  EXPECT_EQ(CreateThread(nullptr, 0, ProbeThread, &probe, CREATE_SUSPENDED, nullptr), nullptr);
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(e, &code));  // an event is not a thread
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(e);
}

TEST(Thread, CurrentIdsAreTheKernelsAndLastErrorIsPerThread) {
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  SetLastError(1234);
  DWORD other = 1;
  std::thread t([&] { other = GetLastError(); });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
