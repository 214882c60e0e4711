#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "support/DatabasePerformanceCounters.h"

namespace FSDB {
namespace {

typedef CDatabasePerformanceCounters Counters;

const std::string kBanner =
    "0 " + std::string(21, '-') + " Scan Database Performance Counters " + std::string(31, '-');
const std::string kClosing = "0 " + std::string(83, '-');

class PerformanceCountersTest : public ::testing::Test {
 protected:
  ~PerformanceCountersTest() override { unsetenv("FSDB_SETTINGS"); }

  // The lines logged since the last call, as "level text".
  std::vector<std::string> Logged() {
    const std::vector<std::string> lines = log_->LevelsAndTexts();
    log_->Clear();
    return lines;
  }

  fsdbtest::ScopedCaptureLog log_{30};
};

TEST_F(PerformanceCountersTest, IntervalComesFromTheSettingsFileAndDefaultsTo600Seconds) {
  unsetenv("FSDB_SETTINGS");
  EXPECT_EQ(600, Counters().GetLoggingInterval());
  fsdbtest::TempDir dir;
  std::ofstream(dir.File("agent.ini")) << "[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=15\n";
  setenv("FSDB_SETTINGS", dir.File("agent.ini").c_str(), 1);
  EXPECT_EQ(15, Counters().GetLoggingInterval());
  EXPECT_EQ("0 The Logging Interval of the Database Performance Counters : 15 seconds", Logged().back());
}

// The counters are used out of order, each once; the engines never time an update.
TEST_F(PerformanceCountersTest, ReportFramesTheUsedCountersInEnumerationOrder) {
  Counters counters;
  counters.SetDatabase("scan.db");
  const char* const names[] = {"ADD_FILE",        "ADD_FOLDER",    "DELETE_FILE",  "DELETE_FOLDER",
                               "RENAME_FILE",     "RENAME_FOLDER", "UPDATE_FILE",  "UPDATE_FOLDER",
                               "QUERY_FILE",      "QUERY_FOLDER",  "CREATE_INDEX", "GET_FOLDER_ITEMS",
                               "SELECTED_FOLDER", "SELECTED_FILE"};
  std::vector<std::string> expected = {
      kBanner, "0 " + std::string(21, '-') + " Database [scan.db] " + std::string(24, '-'), kClosing};
  for (int counter = Counters::COUNTER_COUNT - 1; counter >= 0; --counter) {
    CTimeCounter* time = counters.GetCounter(static_cast<Counters::DatabaseCounter>(counter));
    ASSERT_NE(nullptr, time) << names[counter];
    if (counter == Counters::UPDATE_FILE || counter == Counters::UPDATE_FOLDER)
      continue;
    *time += CTimeInterval(counter * 500);  // a sample of 0 ns makes a counter used too
    const std::string duration = FormatDuration(counter * 500);
    expected.insert(expected.begin() + 2, "0 " + std::string(names[counter]) + " : Total [" + duration +
                                              "] Samples [1] Mean [" + duration + "]");
  }
  Logged();
  counters.LogAllPerformanceCounters();
  EXPECT_EQ(expected, Logged());
}

TEST_F(PerformanceCountersTest, OutOfRangeCounterIsNullAndRecreatingKeepsThoseInUse) {
  Counters counters;
  EXPECT_EQ(nullptr, counters.GetCounter(static_cast<Counters::DatabaseCounter>(-1)));
  EXPECT_EQ(nullptr, counters.GetCounter(Counters::COUNTER_COUNT));
  CTimeCounter* addFile = counters.GetCounter(Counters::ADD_FILE);
  { CAutoTimeCounter timer(addFile); }
  { CAutoTimeCounter timer(nullptr); }  // measures nothing
  counters.CreateAllPerformanceCounters();
  EXPECT_EQ(addFile, counters.GetCounter(Counters::ADD_FILE));
  EXPECT_EQ(1u, addFile->GetTotalSamples());
}

TEST_F(PerformanceCountersTest, StopWakesAWaitingThread) {
  Counters counters;
  EXPECT_FALSE(counters.WaitForStop(0));
  bool woken = false;
  std::thread waiter([&] { woken = counters.WaitForStop(600 * 1000); });  // ten minutes unless woken
  counters.SetStopLogging(true);
  waiter.join();
  EXPECT_TRUE(woken);
  EXPECT_TRUE(counters.GetStopLogging());
  counters.SetStopLogging(false);
  EXPECT_FALSE(counters.WaitForStop(0));
}

TEST_F(PerformanceCountersTest, ReportsOfTwoDatabasesNeverInterleave) {
  Counters first;
  Counters second;
  std::thread other([&] {
    for (int n = 0; n < 20000; ++n)
      first.LogAllPerformanceCounters();
  });
  for (int n = 0; n < 20000; ++n)
    second.LogAllPerformanceCounters();
  other.join();
  const std::vector<std::string> lines = Logged();
  // After the two interval lines: reports of unused, unnamed counters, each a banner and a closing line.
  ASSERT_EQ(2u + 2 * 20000 * 2, lines.size());
  for (size_t n = 2; n < lines.size(); n += 2)
    ASSERT_EQ(kBanner + kClosing, lines[n] + lines[n + 1]) << n;
}

}  // namespace
}  // namespace FSDB
