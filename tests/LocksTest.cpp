#include <cstdint>
#include <future>
#include <initializer_list>

#include "TestUtil.h"
#include "support/Locks.h"

namespace {

// A "timed" try with an interval long enough that a lock which really waited would hang the test.
const CTimeInterval kOneHour(3600LL * 1000 * 1000 * 1000);

// Whether another thread can take the lock right now (it releases it again at once).
bool FreeForOtherThread(FXLockableResource& lock, bool timed = false) {
  return std::async(std::launch::async,
                    [&lock, timed] {
                      const bool taken = timed ? lock.TryLock(kOneHour) : lock.TryLock();
                      if (taken)
                        lock.Unlock();
                      return taken;
                    })
      .get();
}

TEST(LocksTest, NestedHoldsKeepOtherThreadsOutUntilBothAreReleased) {
  FXCriticalSection section;
  FXMutex mutex;
  for (FXLockableResource* lock : std::initializer_list<FXLockableResource*>{&section, &mutex}) {
    lock->Lock();
    lock->Lock();  // must not deadlock
    EXPECT_FALSE(FreeForOtherThread(*lock));
    EXPECT_FALSE(FreeForOtherThread(*lock, true));
    lock->Unlock();
    EXPECT_FALSE(FreeForOtherThread(*lock));
    ASSERT_TRUE(lock->TryLock(kOneHour));  // the holder's own try is a recursive acquisition
    lock->Unlock();
    lock->Unlock();
    EXPECT_TRUE(FreeForOtherThread(*lock));
  }
}

TEST(LocksTest, GuardTakesAndReleasesItsResourceAtMostOnce) {
  FXMutex mutex;
  {
    auto_lock guard(&mutex, true);
    guard.Lock();
    EXPECT_EQ(1, mutex.GetHoldCount());
  }
  EXPECT_EQ(0, mutex.GetHoldCount());
  mutex.Lock();
  {
    auto_lock guard(&mutex, false);
    guard.Unlock();  // nothing taken: nothing to release
    guard.Lock();
    guard.Unlock();
  }  // nor again by the destructor
  EXPECT_EQ(1, mutex.GetHoldCount());
  mutex.Unlock();
  auto_lock(nullptr, true).Unlock();  // a guard over nothing does nothing
}

// The owner is the id (pthread_self) of the thread that last took the lock; a critical section forgets
// it on every release, also an inner one.
TEST(LocksTest, CriticalSectionRecordsItsTakerUntilAnyRelease) {
  EXPECT_EQ(static_cast<uint64_t>(pthread_self()), GetCurrentThreadId());
  FXCriticalSection lock;
  EXPECT_EQ(0u, lock.GetOwnerThreadId());
  lock.Lock();
  lock.Lock();
  EXPECT_EQ(static_cast<uint32_t>(GetCurrentThreadId()), lock.GetOwnerThreadId());
  lock.Unlock();
  EXPECT_EQ(0u, lock.GetOwnerThreadId());  // still held once, yet nobody is recorded
  lock.Unlock();
}

TEST(LocksTest, MutexHoldCountKeepsTheOwnerUntilTheLastRelease) {
  FXMutex mutex;
  mutex.Lock();
  ASSERT_TRUE(mutex.TryLock());
  EXPECT_FALSE(FreeForOtherThread(mutex));  // a failed try of another thread changes nothing
  EXPECT_EQ(2, mutex.GetHoldCount());
  mutex.Unlock();
  EXPECT_EQ(1, mutex.GetHoldCount());
  EXPECT_EQ(static_cast<uint32_t>(GetCurrentThreadId()), mutex.GetOwnerThreadId());
  mutex.Unlock();
  EXPECT_EQ(0u, mutex.GetOwnerThreadId());
}

}  // namespace
