// A joinable worker thread and a manual-reset event.

#ifndef FSDB_PLATFORM_WDTHREAD_H_
#define FSDB_PLATFORM_WDTHREAD_H_

#include <condition_variable>
#include <mutex>
#include <thread>

// One worker thread running a C-style function. Not thread-safe itself: start and join it from one
// thread. Joining a thread that was never started, or joining twice, is harmless.
class WdThread {
 public:
  WdThread() = default;
  // Joins the thread if it still runs.
  ~WdThread();
  WdThread(const WdThread&) = delete;
  WdThread& operator=(const WdThread&) = delete;

  // Starts `function(argument)` on a new thread. Returns 0, or -1 when a thread runs already or cannot
  // be started.
  int createThread(void* (*function)(void*), void* argument);
  // Waits for the thread to end and stores its result in *result when `result` is not null.
  // Returns 0 (also when there is nothing to join).
  int joinThread(void** result);

 private:
  std::thread thread_;
  void* result_ = nullptr;
};

// A manual-reset event: once Set, every wait returns at once until Reset. Thread-safe.
class FXEvent {
 public:
  // `initialState` non-zero starts the event set.
  explicit FXEvent(unsigned initialState = 0);
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is set or `milliseconds` have passed. True when it is set.
  bool WaitForSet(unsigned milliseconds);

 private:
  mutable std::mutex mutex_;
  std::condition_variable condition_;
  bool set_;
};

#endif  // FSDB_PLATFORM_WDTHREAD_H_
