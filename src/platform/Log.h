// The library's logging macro and function trace, over the global writer of fsdb/LogWriter.h.

#ifndef FSDB_PLATFORM_LOG_H_
#define FSDB_PLATFORM_LOG_H_

#include <climits>

#include "fsdb/LogWriter.h"

// The writer's current level, or INT_MIN when there is no writer (nothing is then written).
inline int FsdbLogLevel() {
  CLogWriterInterface* writer = g_ptrLogWriter.get();
  return writer ? writer->GetLevel() : INT_MIN;
}

// Writes one line at `level` when the writer's level is at least `level`. The level is asked before
// the arguments are evaluated or anything is formatted, so a line below the level costs one virtual
// call. The format is checked at compile time through the writer's format attribute.
#define FSDB_LOG(level, ...)                                                                      \
  do {                                                                                            \
    CLogWriterInterface* fsdbLogWriter_ = g_ptrLogWriter.get();                                   \
    if (fsdbLogWriter_ != nullptr && fsdbLogWriter_->GetLevel() >= (level))                       \
      fsdbLogWriter_->Write(static_cast<unsigned>(level), __PRETTY_FUNCTION__, __LINE__, 0, 0ULL, \
                            __VA_ARGS__);                                                         \
  } while (0)

// A function trace: logs entering on construction and leaving on destruction, at `level`.
class WDDebugFunction {
 public:
  WDDebugFunction(boost::shared_ptr<CLogWriterInterface> writer, unsigned level, const char* function,
                  unsigned line, int, unsigned long long, unsigned, const char* format, ...);
  ~WDDebugFunction();
  WDDebugFunction(const WDDebugFunction&) = delete;
  WDDebugFunction& operator=(const WDDebugFunction&) = delete;

 private:
  boost::shared_ptr<CLogWriterInterface> writer_;
  unsigned level_;
  const char* function_;
  unsigned line_;
};

#endif  // FSDB_PLATFORM_LOG_H_
