// Recursive in-process locks and their scoped guard.
//
// FXCriticalSection (Boost.Interprocess recursive mutex) and FXMutex (POSIX recursive mutex) both
// record the id of the thread that last took them, as bookkeeping for debugging; nothing depends on it.
// No lock waits with a time-out: a timed TryLock is an immediate try. All locking in the library goes
// through auto_lock.

#ifndef FSDB_SUPPORT_LOCKS_H_
#define FSDB_SUPPORT_LOCKS_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

#include "platform/TimeCounter.h"

// The calling thread's id (pthread_self()).
uint64_t GetCurrentThreadId();

class FXLockableResource {
 public:
  FXLockableResource() : owner_(0) {}
  virtual ~FXLockableResource() = default;
  FXLockableResource(const FXLockableResource&) = delete;
  FXLockableResource& operator=(const FXLockableResource&) = delete;

  virtual bool TryLock() = 0;
  // Ignores the interval: the same as TryLock().
  virtual bool TryLock(CTimeInterval interval) = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  // Low 32 bits of the id of the thread that last took the lock; 0 when nobody is recorded.
  uint32_t GetOwnerThreadId() const { return owner_.load(std::memory_order_relaxed); }

 protected:
  void SetLockOwner() {
    owner_.store(static_cast<uint32_t>(GetCurrentThreadId()), std::memory_order_relaxed);
  }
  void ClearLockOwner() { owner_.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> owner_;
};

// Recursive; the owner is cleared on every Unlock, also while the thread still holds it recursively.
// A failure of the mutex is swallowed (Lock returns without recording an owner; TryLock gives false).
class FXCriticalSection : public FXLockableResource {
 public:
  FXCriticalSection() = default;
  bool TryLock() override;
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;

 private:
  boost::interprocess::interprocess_recursive_mutex mutex_;
};

// Recursive POSIX mutex with a hold count; the owner stays recorded until the count is back at 0. The
// destructor releases every hold still recorded.
class FXMutex : public FXLockableResource {
 public:
  FXMutex();
  ~FXMutex() override;
  bool TryLock() override;
  bool TryLock(CTimeInterval interval) override;
  void Lock() override;
  void Unlock() override;
  virtual void Init();

  int GetHoldCount() const { return holdCount_; }

 private:
  pthread_mutex_t mutex_;
  int holdCount_;  // guarded by mutex_
};

// Scoped guard over a lockable resource (which may be null: then it does nothing).
class auto_lock {
 public:
  auto_lock(FXLockableResource* resource, bool lockNow);
  ~auto_lock() { Unlock(); }
  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;

  // Locks once: a second Lock() on the same guard does nothing.
  void Lock();
  void Unlock();

 private:
  FXLockableResource* resource_;
  bool locked_;
};

#endif  // FSDB_SUPPORT_LOCKS_H_
