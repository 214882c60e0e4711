// The owner id is written after the mutex is taken and cleared before it is released, so only the
// holder reads it reliably; it is never used to decide anything.

#include "support/Locks.h"

#include <boost/interprocess/exceptions.hpp>

uint64_t GetCurrentThreadId() {
  return static_cast<uint64_t>(pthread_self());
}

// A pure virtual with a body: the derived classes share this one definition of a "timed" try, which
// never waits.
bool FXLockableResource::TryLock(CTimeInterval /*interval*/) {
  return TryLock();
}

// ---------------------------------------------------------------------------------------------------
// FXCriticalSection
//
// The Boost mutex counts recursion itself, so no hold count is kept here. Its failures are reported by
// exception; a lock must never throw into the code it guards, so they are dropped.

bool FXCriticalSection::TryLock() {
  try {
    if (!mutex_.try_lock())
      return false;
  } catch (const boost::interprocess::interprocess_exception&) {
    return false;
  }
  SetLockOwner();
  return true;
}

bool FXCriticalSection::TryLock(CTimeInterval interval) {
  return FXLockableResource::TryLock(interval);
}

void FXCriticalSection::Lock() {
  try {
    mutex_.lock();
  } catch (const boost::interprocess::interprocess_exception&) {
    return;  // not taken: no owner to record
  }
  SetLockOwner();
}

void FXCriticalSection::Unlock() {
  // Cleared on every release, also an inner one of a recursive hold: the id then says "nobody", which
  // is wrong only while the same thread still holds an outer level.
  ClearLockOwner();
  try {
    mutex_.unlock();
  } catch (const boost::interprocess::interprocess_exception&) {
    // An unlock by a thread that does not hold the mutex; nothing to undo.
  }
}

// ---------------------------------------------------------------------------------------------------
// FXMutex

FXMutex::FXMutex() : holdCount_(0) {
  Init();
}

FXMutex::~FXMutex() {
  // Release what the bookkeeping still records, so that the POSIX mutex is destroyed unlocked.
  while (holdCount_ > 0)
    Unlock();
  pthread_mutex_destroy(&mutex_);
}

void FXMutex::Init() {
  ClearLockOwner();
  // Initialising a recursive process-private mutex cannot fail short of resource exhaustion, which the
  // lock operations then meet as failed calls and treat as "not taken".
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

bool FXMutex::TryLock() {
  if (pthread_mutex_trylock(&mutex_) != 0)
    return false;
  ++holdCount_;
  SetLockOwner();
  return true;
}

bool FXMutex::TryLock(CTimeInterval interval) {
  return FXLockableResource::TryLock(interval);
}

void FXMutex::Lock() {
  if (pthread_mutex_lock(&mutex_) != 0)
    return;
  ++holdCount_;
  SetLockOwner();
}

void FXMutex::Unlock() {
  if (holdCount_ != 0) {
    --holdCount_;
    if (holdCount_ <= 0)
      ClearLockOwner();
  }
  // Called even with no recorded hold: on a mutex this thread does not hold, POSIX answers EPERM and
  // changes nothing, so an unbalanced Unlock is harmless.
  pthread_mutex_unlock(&mutex_);
}

// ---------------------------------------------------------------------------------------------------
// auto_lock

auto_lock::auto_lock(FXLockableResource* resource, bool lockNow) : resource_(resource), locked_(false) {
  if (lockNow)
    Lock();
}

void auto_lock::Lock() {
  if (resource_ == nullptr || locked_)
    return;
  resource_->Lock();
  locked_ = true;
}

void auto_lock::Unlock() {
  if (resource_ == nullptr || !locked_)
    return;
  resource_->Unlock();
  locked_ = false;
}
