#include "platform/TimeCounter.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "platform/FXString.h"

CTimeStamp CTimeStamp::Now() {
  // The steady clock never jumps with wall-clock adjustments, so a difference of two stamps is always a
  // true elapsed time.
  const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
  return CTimeStamp(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count());
}

CTimeCounter& CTimeCounter::operator+=(const CTimeInterval& interval) {
  // Relaxed is enough: each field only accumulates, and readers accept a total and a count taken at
  // slightly different moments.
  total_.fetch_add(interval.GetValue(), std::memory_order_relaxed);
  samples_.fetch_add(1, std::memory_order_relaxed);
  return *this;
}

std::string CTimeCounter::AsString() const {
  const int64_t total = GetTotalTime().GetValue();
  const uint64_t samples = GetTotalSamples();
  const int64_t mean = samples == 0 ? 0 : total / static_cast<int64_t>(samples);
  return FXString::Format("Total [%s] Samples [%" PRIu64 "] Mean [%s]", FormatDuration(total).c_str(),
                          samples, FormatDuration(mean).c_str());
}

std::string FormatDuration(int64_t nanoseconds) {
  // Work on the magnitude as unsigned so that INT64_MIN has one too.
  const bool negative = nanoseconds < 0;
  const uint64_t magnitude =
      negative ? static_cast<uint64_t>(-(nanoseconds + 1)) + 1 : static_cast<uint64_t>(nanoseconds);
  const char* sign = negative ? "-" : "";
  if (magnitude < 1000)
    return FXString::Format("%s%" PRIu64 " ns", sign, magnitude);

  struct Unit {
    uint64_t nanoseconds;
    const char* name;
  };
  static const Unit kUnits[] = {{1000, "us"}, {1000000, "ms"}, {1000000000, "s"}};

  // Three decimals in the smallest unit that keeps the value below 1000 once rounded, so that
  // 999999600 ns reads "1 s" rather than "1000 ms". Seconds take whatever is left.
  size_t unit = 0;
  while (unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    if (magnitude < UINT64_MAX / 1000) {
      const uint64_t thousandths =
          (magnitude * 1000 + kUnits[unit].nanoseconds / 2) / kUnits[unit].nanoseconds;
      if (thousandths < 1000 * 1000)
        break;
    }
    ++unit;
  }
  const uint64_t whole = magnitude / kUnits[unit].nanoseconds;
  const uint64_t remainder = magnitude % kUnits[unit].nanoseconds;
  // Round the fraction to thousandths of the unit; a carry goes into the whole part.
  uint64_t fraction = (remainder * 1000 + kUnits[unit].nanoseconds / 2) / kUnits[unit].nanoseconds;
  uint64_t integral = whole;
  if (fraction == 1000) {
    ++integral;
    fraction = 0;
  }

  char digits[24];
  std::snprintf(digits, sizeof(digits), ".%03" PRIu64, fraction);
  // Trailing zeros of the fraction carry no information: "12.5 us", "2 s".
  size_t length = 4;
  while (length > 1 && digits[length - 1] == '0')
    --length;
  if (length == 1)
    length = 0;
  return FXString::Format("%s%" PRIu64 "%.*s %s", sign, integral, static_cast<int>(length), digits,
                          kUnits[unit].name);
}
