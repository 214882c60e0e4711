#include "platform/WdThread.h"

#include <chrono>
#include <system_error>

WdThread::~WdThread() {
  if (!thread_.joinable())
    return;
  // A thread that destroys its own WdThread cannot wait for itself; let it finish on its own.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
    return;
  }
  thread_.join();
}

int WdThread::createThread(void* (*function)(void*), void* argument) {
  if (function == nullptr || thread_.joinable())
    return -1;
  result_ = nullptr;
  try {
    // result_ is written by the new thread and read only after join(), which orders the two.
    thread_ = std::thread([this, function, argument] { result_ = function(argument); });
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

int WdThread::joinThread(void** result) {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      return -1;  // Would wait for itself forever.
    thread_.join();
  }
  if (result != nullptr)
    *result = result_;
  return 0;
}

FXEvent::FXEvent(unsigned initialState) : set_(initialState != 0) {}

void FXEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  condition_.notify_all();
}

void FXEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool FXEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool FXEvent::WaitForSet(unsigned milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The predicate form re-checks the flag after every wakeup, spurious ones included, and keeps waiting
  // for what is left of the time.
  return condition_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set_; });
}
