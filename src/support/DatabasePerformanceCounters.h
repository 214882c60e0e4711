// Per-operation time counters of one path database, and the scoped timer that feeds them.
//
// Thread-safety: the counter table, the stop flag and the database name are guarded by one
// process-wide recursive mutex shared by all counter objects, which also makes each report one unit
// in the log. Adding to a counter relies on CTimeCounter's own atomicity.

#ifndef FSDB_SUPPORT_DATABASEPERFORMANCECOUNTERS_H_
#define FSDB_SUPPORT_DATABASEPERFORMANCECOUNTERS_H_

#include <map>
#include <memory>
#include <string>

#include "platform/TimeCounter.h"
#include "platform/WdThread.h"
#include "support/Locks.h"

namespace FSDB {

class CDatabasePerformanceCounters {
 public:
  enum DatabaseCounter {
    ADD_FILE = 0,
    ADD_FOLDER,
    DELETE_FILE,
    DELETE_FOLDER,
    RENAME_FILE,
    RENAME_FOLDER,
    UPDATE_FILE,
    UPDATE_FOLDER,
    QUERY_FILE,
    QUERY_FOLDER,
    CREATE_INDEX,
    GET_FOLDER_ITEMS,
    SELECTED_FOLDER,
    SELECTED_FILE,
    COUNTER_COUNT
  };
  static const char* const DatabaseCounterStrings[COUNTER_COUNT];

  // Creates the fourteen counters and reads the report interval (setting
  // nScanDatabasePerformanceLoggingInterval of section ~FileSystemAgent, default 600 seconds).
  CDatabasePerformanceCounters();
  virtual ~CDatabasePerformanceCounters();
  CDatabasePerformanceCounters(const CDatabasePerformanceCounters&) = delete;
  CDatabasePerformanceCounters& operator=(const CDatabasePerformanceCounters&) = delete;

  void CreateAllPerformanceCounters();
  // Null for a value outside the table.
  CTimeCounter* GetCounter(DatabaseCounter counter);
  // Writes "NAME : text" at level 0 when the counter was ever used.
  void LogPerformanceCounter(int counter);
  // Banner, database line (when the name is known), used counters in order, closing line.
  void LogAllPerformanceCounters();

  // Setting the flag also wakes a logging thread waiting in WaitForStop.
  void SetStopLogging(bool stop);
  bool GetStopLogging();
  // Waits until SetStopLogging(true) or until `milliseconds` passed; true when stopping.
  bool WaitForStop(unsigned milliseconds);

  void SetDatabase(const std::string& name);
  std::string GetDatabase();
  int GetLoggingInterval() const { return interval_; }

 private:
  static FXMutex& Mutex();

  std::map<int, std::unique_ptr<CTimeCounter>> counters_;  // guarded by Mutex()
  bool stopLogging_;                                       // guarded by Mutex()
  int interval_;                                           // set by the constructor only
  std::string database_;                                   // guarded by Mutex()
  FXEvent stopEvent_;                                      // set together with stopLogging_
};

// Adds the time between its construction and its destruction to a counter (nothing for null).
class CAutoTimeCounter {
 public:
  explicit CAutoTimeCounter(CTimeCounter* counter)
      : counter_(counter), start_(counter ? CTimeStamp::Now() : CTimeStamp()) {}
  ~CAutoTimeCounter() {
    if (counter_ != nullptr)
      *counter_ += CTimeStamp::Now() - start_;
  }
  CAutoTimeCounter(const CAutoTimeCounter&) = delete;
  CAutoTimeCounter& operator=(const CAutoTimeCounter&) = delete;

 private:
  CTimeCounter* counter_;
  CTimeStamp start_;
};

}  // namespace FSDB

#endif  // FSDB_SUPPORT_DATABASEPERFORMANCECOUNTERS_H_
