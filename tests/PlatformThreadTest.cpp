#include <chrono>
#include <cstdint>
#include <utility>

#include "TestUtil.h"
#include "platform/TimeCounter.h"
#include "platform/WdThread.h"

namespace {

// A thread of these tests: says it is ready, waits for `go` far longer than a test should take, then
// adds `adds` samples of 3 ns to `counter` and hands back its job (null when the wait timed out).
struct Job {
  static void* Run(void* argument) {
    Job* job = static_cast<Job*>(argument);
    job->ready.Set();
    if (!job->go->WaitForSet(10 * 1000))
      return nullptr;
    for (int i = 0; i < job->adds; ++i)
      *job->counter += CTimeInterval(3);
    return job;
  }

  FXEvent* go = nullptr;
  CTimeCounter own;
  CTimeCounter* counter = &own;
  int adds = 1;
  FXEvent ready;
  WdThread thread;
};

TEST(PlatformThreadTest, JoiningTwiceOrWithoutAThreadIsHarmlessAndTheDestructorJoins) {
  FXEvent go(0);
  Job job;
  job.go = &go;
  {
    WdThread thread;
    void* result = &thread;
    EXPECT_EQ(0, thread.joinThread(&result));  // never started
    EXPECT_EQ(nullptr, result);
    ASSERT_EQ(0, thread.createThread(&Job::Run, &job));
    EXPECT_EQ(-1, thread.createThread(&Job::Run, &job));  // one thread at a time
    go.Set();
    for (int join = 0; join < 2; ++join) {
      result = nullptr;
      EXPECT_EQ(0, thread.joinThread(&result));
      EXPECT_EQ(&job, result);
    }
    ASSERT_EQ(0, thread.createThread(&Job::Run, &job));  // once joined, it runs another thread...
  }                                                      // ...which its destructor waits for
  EXPECT_EQ(2u, job.own.GetTotalSamples());
}

TEST(PlatformThreadTest, SetWakesEveryWaiterAtOnceAndTheirCounterLosesNoAdd) {
  FXEvent go(0);
  CTimeCounter counter;
  Job waiters[8];
  for (Job& waiter : waiters) {
    waiter.go = &go;
    waiter.counter = &counter;
    waiter.adds = 20000;
    ASSERT_EQ(0, waiter.thread.createThread(&Job::Run, &waiter));
  }
  for (Job& waiter : waiters)
    ASSERT_TRUE(waiter.ready.WaitForSet(60 * 1000));
  const auto begin = std::chrono::steady_clock::now();
  go.Set();  // releases them together, so that their adds to the one counter overlap
  for (Job& waiter : waiters) {
    void* result = nullptr;
    EXPECT_EQ(0, waiter.thread.joinThread(&result));
    EXPECT_EQ(&waiter, result) << "a waiter timed out instead of seeing the event";
  }
  // Generous: a waiter that only noticed the event at its timeout would take the full 10 s.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_EQ("Total [480 us] Samples [160000] Mean [3 ns]", counter.AsString());
}

TEST(PlatformThreadTest, TimesAreReportedInHumanUnits) {
  EXPECT_EQ("Total [0 ns] Samples [0] Mean [0 ns]", CTimeCounter().AsString());
  // Three decimals at most, trailing zeros dropped; rounding that reaches 1000 moves to the next unit.
  const std::pair<int64_t, const char*> durations[] = {
      {999, "999 ns"},       {1000, "1 us"},     {12500, "12.5 us"}, {999999, "999.999 us"},
      {1234567, "1.235 ms"}, {999999600, "1 s"}, {-1500, "-1.5 us"}, {INT64_MIN, "-9223372036.855 s"}};
  for (const auto& [nanoseconds, text] : durations)
    EXPECT_EQ(text, FormatDuration(nanoseconds)) << nanoseconds;
}

}  // namespace
