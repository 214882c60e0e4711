// The performance counters and the thread that reports them.

#include "core/PathDatabase.h"

#include <memory>
#include <string>

#include "platform/Log.h"

namespace FSDB {

namespace {

const int kLoggingPauseMilliseconds = 10000;

const int kLoggingPauseSeconds = 10;

}  // namespace

CYaError CPathDatabase::CreatePerformanceCounters() {
  // A second Open keeps the counters: a running logging thread holds them and waits on their stop flag,
  // so replacing them would leave that thread beyond the reach of Close, which would then wait forever.
  if (!counters_)
    counters_ = std::make_shared<CDatabasePerformanceCounters>();
  counters_->SetDatabase(GetDatabaseName());
  for (int counter = 0; counter < CDatabasePerformanceCounters::COUNTER_COUNT; ++counter) {
    counterTable_[counter] =
        counters_->GetCounter(static_cast<CDatabasePerformanceCounters::DatabaseCounter>(counter));
  }
  return CYaError::Success();
}

CYaError CPathDatabase::CreateLoggingThread() {
  if (loggingThread_)
    return CYaError::Success();  // one thread per open database
  // After a Close the flag is still set; a thread started on it would stop after its first report.
  if (counters_)
    counters_->SetStopLogging(false);
  loggingThread_ = std::make_shared<WdThread>();
  // Only fails when the system cannot start a thread; the database works on without reports.
  (void)loggingThread_->createThread(&CPathDatabase::PerformanceLoggingThread, static_cast<void*>(this));
  return CYaError::Success();
}

void* CPathDatabase::PerformanceLoggingThread(void* database) {
  if (database == nullptr) {
    FSDB_LOG(-1, "Cannot start Database performance logging thread. Incorrect arguments. ");
    return nullptr;
  }
  CPathDatabase* engine = static_cast<CPathDatabase*>(database);
  // Own references: the counters and the cache stay alive until the thread ends.
  std::shared_ptr<CDatabasePerformanceCounters> counters = engine->GetPerformanceCounters();
  std::shared_ptr<CDatabaseCache> cache = engine->GetDatabaseCache();
  if (!counters || !cache) {
    FSDB_LOG(-1, "Cannot start Database performance logging thread. Incorrect arguments. ");
    return nullptr;
  }
  const int interval = counters->GetLoggingInterval();
  int64_t elapsed = 0;
  for (;;) {
    if (interval > 0 && elapsed % interval == 0) {
      counters->LogAllPerformanceCounters();
      std::string statistics;
      (void)cache->GetCacheStatistics(statistics);  // cannot fail
      FSDB_LOG(0, "Cache Statistics : %s", statistics.c_str());
    }
    // Close sets the stop flag and wakes this wait at once, so closing never waits for the pause.
    (void)counters->WaitForStop(kLoggingPauseMilliseconds);
    if (counters->GetStopLogging()) {
      FSDB_LOG(0, "Stopped Database Performance Logging Thread");
      break;
    }
    elapsed += kLoggingPauseSeconds;
  }
  return nullptr;
}

}  // namespace FSDB
