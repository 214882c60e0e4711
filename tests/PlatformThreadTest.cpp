#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/TimeCounter.h"
#include "platform/WdThread.h"

namespace {

struct Job {
  FXEvent start;
  FXEvent started;
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  int output = 0;
};

// Announces that it runs, waits for the test's go, then records and returns its result.
void* RunJob(void* argument) {
  Job* job = static_cast<Job*>(argument);
  job->runs.fetch_add(1);
  job->started.Set();
  job->start.WaitForSet(60 * 1000);
  job->output = 7;
  job->finished.store(true);
  return &job->output;
}

TEST(PlatformThreadTest, ThreadRunsFunctionAndHandsBackItsResult) {
  Job job;
  WdThread thread;
  ASSERT_EQ(thread.createThread(&RunJob, &job), 0);
  ASSERT_TRUE(job.started.WaitForSet(60 * 1000));
  // One thread at a time.
  EXPECT_EQ(thread.createThread(&RunJob, &job), -1);
  job.start.Set();

  void* result = nullptr;
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_TRUE(job.finished.load());
  EXPECT_EQ(result, &job.output);
  EXPECT_EQ(job.runs.load(), 1);

  // Joining again is harmless and gives the same result; a null result pointer is allowed.
  result = nullptr;
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_EQ(result, &job.output);
  EXPECT_EQ(thread.joinThread(nullptr), 0);

  // Once joined, the object can run another thread.
  Job second;
  second.start.Set();
  ASSERT_EQ(thread.createThread(&RunJob, &second), 0);
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_EQ(result, &second.output);
}

TEST(PlatformThreadTest, JoiningANeverStartedThreadIsHarmless) {
  WdThread thread;
  void* result = &thread;
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(thread.joinThread(nullptr), 0);
}

TEST(PlatformThreadTest, DestructorWaitsForTheThread) {
  Job job;
  {
    WdThread thread;
    ASSERT_EQ(thread.createThread(&RunJob, &job), 0);
    ASSERT_TRUE(job.started.WaitForSet(60 * 1000));
    job.start.Set();
  }
  EXPECT_TRUE(job.finished.load());
}

TEST(PlatformThreadTest, EventStartsAsAskedAndStaysSetUntilReset) {
  FXEvent cleared(0);
  EXPECT_FALSE(cleared.IsSet());
  EXPECT_FALSE(cleared.WaitForSet(0));

  FXEvent initiallySet(1);
  EXPECT_TRUE(initiallySet.IsSet());
  EXPECT_TRUE(initiallySet.WaitForSet(0));

  cleared.Set();
  // Manual reset: every wait succeeds until Reset.
  EXPECT_TRUE(cleared.WaitForSet(0));
  EXPECT_TRUE(cleared.WaitForSet(10));
  EXPECT_TRUE(cleared.IsSet());
  cleared.Reset();
  EXPECT_FALSE(cleared.IsSet());
  EXPECT_FALSE(cleared.WaitForSet(1));
}

struct Waiter {
  FXEvent* event;
  FXEvent ready;
  WdThread thread;
};

// Says it is about to wait, then waits far longer than the test should take.
void* WaitLong(void* argument) {
  Waiter* waiter = static_cast<Waiter*>(argument);
  waiter->ready.Set();
  return waiter->event->WaitForSet(10 * 1000) ? waiter : nullptr;
}

TEST(PlatformThreadTest, SetWakesEveryWaiterLongBeforeTheTimeout) {
  FXEvent event(0);
  std::vector<std::unique_ptr<Waiter>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::make_unique<Waiter>());
    waiters.back()->event = &event;
    ASSERT_EQ(waiters.back()->thread.createThread(&WaitLong, waiters.back().get()), 0);
  }
  for (std::unique_ptr<Waiter>& waiter : waiters)
    ASSERT_TRUE(waiter->ready.WaitForSet(60 * 1000));

  const auto begin = std::chrono::steady_clock::now();
  event.Set();
  for (std::unique_ptr<Waiter>& waiter : waiters) {
    void* result = nullptr;
    EXPECT_EQ(waiter->thread.joinThread(&result), 0);
    EXPECT_EQ(result, waiter.get()) << "a waiter timed out instead of seeing the event";
  }
  // Generous: a waiter that only noticed the event at its timeout would take the full 10 s.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

TEST(PlatformThreadTest, TimeStampsAreMonotonic) {
  const CTimeStamp first = CTimeStamp::Now();
  const CTimeStamp second = CTimeStamp::Now();
  EXPECT_GT(first.GetValue(), 0);
  EXPECT_GE((second - first).GetValue(), 0);
}

struct CounterWork {
  CTimeCounter* counter;
  FXEvent* go;
};

constexpr int kAddsPerThread = 20000;

void* AddToCounter(void* argument) {
  CounterWork* work = static_cast<CounterWork*>(argument);
  work->go->WaitForSet(60 * 1000);
  for (int i = 0; i < kAddsPerThread; ++i)
    *work->counter += CTimeInterval(3);
  return nullptr;
}

TEST(PlatformThreadTest, CounterLosesNoAddFromSeveralThreads) {
  CTimeCounter counter;
  FXEvent go(0);
  CounterWork work{&counter, &go};
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<WdThread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(std::make_unique<WdThread>());
    ASSERT_EQ(threads.back()->createThread(&AddToCounter, &work), 0);
  }
  // Release them together so that the adds really overlap.
  go.Set();
  for (std::unique_ptr<WdThread>& thread : threads)
    EXPECT_EQ(thread->joinThread(nullptr), 0);

  EXPECT_EQ(counter.GetTotalSamples(), static_cast<uint64_t>(kThreads) * kAddsPerThread);
  EXPECT_EQ(counter.GetTotalTime().GetValue(), 3LL * kThreads * kAddsPerThread);
}

TEST(PlatformThreadTest, CounterReportsTotalSamplesAndMean) {
  CTimeCounter counter;
  EXPECT_TRUE(counter.GetTotalTime().IsClear());
  EXPECT_EQ(counter.AsString(), "Total [0 ns] Samples [0] Mean [0 ns]");

  counter += CTimeInterval(1000000000);
  counter += CTimeInterval(250000000);
  counter += CTimeInterval(250000000);
  EXPECT_EQ(counter.GetTotalSamples(), 3u);
  EXPECT_EQ(counter.GetTotalTime(), CTimeInterval(1500000000));
  EXPECT_EQ(counter.AsString(), "Total [1.5 s] Samples [3] Mean [500 ms]");
}

TEST(PlatformThreadTest, DurationsUseHumanUnits) {
  EXPECT_EQ(FormatDuration(0), "0 ns");
  EXPECT_EQ(FormatDuration(850), "850 ns");
  EXPECT_EQ(FormatDuration(999), "999 ns");
  EXPECT_EQ(FormatDuration(1000), "1 us");
  EXPECT_EQ(FormatDuration(12500), "12.5 us");
  EXPECT_EQ(FormatDuration(999999), "999.999 us");
  EXPECT_EQ(FormatDuration(3200000), "3.2 ms");
  EXPECT_EQ(FormatDuration(1234000000), "1.234 s");
  EXPECT_EQ(FormatDuration(1234567), "1.235 ms");
  // Rounding that reaches 1000 moves to the next unit.
  EXPECT_EQ(FormatDuration(999999600), "1 s");
  EXPECT_EQ(FormatDuration(3600LL * 1000000000LL), "3600 s");
  EXPECT_EQ(FormatDuration(-1500), "-1.5 us");
  EXPECT_EQ(FormatDuration(INT64_MIN), "-9223372036.855 s");
}

}  // namespace
