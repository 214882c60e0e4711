#include "support/DatabasePerformanceCounters.h"

#include "platform/Log.h"
#include "platform/PlatformInfo.h"

namespace FSDB {

const char* const CDatabasePerformanceCounters::DatabaseCounterStrings[COUNTER_COUNT] = {
    "ADD_FILE",      "ADD_FOLDER",       "DELETE_FILE",     "DELETE_FOLDER", "RENAME_FILE",
    "RENAME_FOLDER", "UPDATE_FILE",      "UPDATE_FOLDER",   "QUERY_FILE",    "QUERY_FOLDER",
    "CREATE_INDEX",  "GET_FOLDER_ITEMS", "SELECTED_FOLDER", "SELECTED_FILE"};

// One mutex for every counter object of the process, so that reports of two databases never
// interleave in the log. A function-local static is constructed on first use, which is always inside
// the first counter object's constructor, and therefore outlives every counter object built after it.
FXMutex& CDatabasePerformanceCounters::Mutex() {
  static FXMutex mutex;
  return mutex;
}

CDatabasePerformanceCounters::CDatabasePerformanceCounters()
    : stopLogging_(false), interval_(600), stopEvent_(0) {
  CreateAllPerformanceCounters();
  // A missing or invalid setting leaves the default of 600 seconds; that is not an error worth
  // reporting, the interval line below shows what is in force.
  (void)WDPlatformInfo().getRegInt("~FileSystemAgent", "nScanDatabasePerformanceLoggingInterval", &interval_);
  FSDB_LOG(0, "The Logging Interval of the Database Performance Counters : %d seconds", interval_);
}

// No lock: the counters go with the object, and no other thread may still use it.
CDatabasePerformanceCounters::~CDatabasePerformanceCounters() = default;

void CDatabasePerformanceCounters::CreateAllPerformanceCounters() {
  auto_lock lock(&Mutex(), true);
  // Only missing counters are created: a CAutoTimeCounter may hold a pointer to an existing one, and
  // replacing it would leave that pointer dangling.
  for (int counter = 0; counter < COUNTER_COUNT; ++counter) {
    if (!counters_[counter])
      counters_[counter] = std::make_unique<CTimeCounter>();
  }
}

CTimeCounter* CDatabasePerformanceCounters::GetCounter(DatabaseCounter counter) {
  auto_lock lock(&Mutex(), true);
  auto found = counters_.find(counter);
  return found == counters_.end() ? nullptr : found->second.get();
}

void CDatabasePerformanceCounters::LogPerformanceCounter(int counter) {
  // Called under Mutex() by LogAllPerformanceCounters. A counter that never timed anything would only
  // add a line of zeros to every report, so it is left out.
  auto found = counters_.find(counter);
  if (found == counters_.end() || !found->second)
    return;
  const CTimeCounter& timeCounter = *found->second;
  if (timeCounter.GetTotalTime().IsClear() && timeCounter.GetTotalSamples() == 0)
    return;
  FSDB_LOG(0, "%s : %s", DatabaseCounterStrings[counter], timeCounter.AsString().c_str());
}

void CDatabasePerformanceCounters::LogAllPerformanceCounters() {
  auto_lock lock(&Mutex(), true);
  FSDB_LOG(0, "--------------------- Scan Database Performance Counters -------------------------------");
  if (!database_.empty())
    FSDB_LOG(0, "--------------------- Database [%s] ------------------------", database_.c_str());
  for (int counter = 0; counter < COUNTER_COUNT; ++counter)
    LogPerformanceCounter(counter);
  FSDB_LOG(0, "-----------------------------------------------------------------------------------");
}

void CDatabasePerformanceCounters::SetStopLogging(bool stop) {
  auto_lock lock(&Mutex(), true);
  stopLogging_ = stop;
  // The event mirrors the flag, so a logging thread waiting in WaitForStop leaves its pause at once
  // instead of at the end of it.
  if (stop) {
    stopEvent_.Set();
  } else {
    stopEvent_.Reset();
  }
}

bool CDatabasePerformanceCounters::GetStopLogging() {
  auto_lock lock(&Mutex(), true);
  return stopLogging_;
}

bool CDatabasePerformanceCounters::WaitForStop(unsigned milliseconds) {
  // Not under Mutex(): the waiter would block every other counter object of the process.
  return stopEvent_.WaitForSet(milliseconds);
}

void CDatabasePerformanceCounters::SetDatabase(const std::string& name) {
  auto_lock lock(&Mutex(), true);
  database_ = name;
}

std::string CDatabasePerformanceCounters::GetDatabase() {
  auto_lock lock(&Mutex(), true);
  return database_;
}

}  // namespace FSDB
