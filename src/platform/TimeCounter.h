// Monotonic time measurement: points, spans and accumulating counters.

#ifndef FSDB_PLATFORM_TIMECOUNTER_H_
#define FSDB_PLATFORM_TIMECOUNTER_H_

#include <atomic>
#include <cstdint>
#include <string>

// A span of time in nanoseconds.
class CTimeInterval {
 public:
  CTimeInterval() : value_(0) {}
  explicit CTimeInterval(long long nanoseconds) : value_(nanoseconds) {}
  bool IsClear() const { return value_ == 0; }
  int64_t GetValue() const { return value_; }
  bool operator==(const CTimeInterval& other) const { return value_ == other.value_; }
  bool operator!=(const CTimeInterval& other) const { return value_ != other.value_; }

 private:
  int64_t value_;
};

// A point on the monotonic clock, in nanoseconds; 0 when default-built.
class CTimeStamp {
 public:
  CTimeStamp() : value_(0) {}
  explicit CTimeStamp(int64_t nanoseconds) : value_(nanoseconds) {}
  static CTimeStamp Now();
  int64_t GetValue() const { return value_; }
  CTimeInterval operator-(const CTimeStamp& earlier) const { return CTimeInterval(value_ - earlier.value_); }

 private:
  int64_t value_;
};

// Accumulates measured spans. Adding and reading are safe from several threads at once (each field
// is atomic; a reader may see a total and a count from two different moments).
class CTimeCounter {
 public:
  CTimeCounter() : total_(0), samples_(0) {}
  CTimeCounter& operator+=(const CTimeInterval& interval);
  CTimeInterval GetTotalTime() const { return CTimeInterval(total_.load(std::memory_order_relaxed)); }
  uint64_t GetTotalSamples() const { return samples_.load(std::memory_order_relaxed); }
  // "Total [1.234 s] Samples [1000] Mean [1.234 ms]", in human units.
  std::string AsString() const;

 private:
  std::atomic<int64_t> total_;
  std::atomic<uint64_t> samples_;
};

// Formats nanoseconds as "850 ns", "12.5 us", "3.2 ms", "1.234 s".
std::string FormatDuration(int64_t nanoseconds);

#endif  // FSDB_PLATFORM_TIMECOUNTER_H_
