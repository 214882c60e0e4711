#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "support/DatabasePerformanceCounters.h"

namespace FSDB {
namespace {

typedef CDatabasePerformanceCounters Counters;

const std::string kBanner =
    std::string(21, '-') + " Scan Database Performance Counters " + std::string(31, '-');
const std::string kClosing(83, '-');

std::string DatabaseLine(const std::string& name) {
  return std::string(21, '-') + " Database [" + name + "] " + std::string(24, '-');
}

// Points FSDB_SETTINGS at `file` (or removes it for an empty name) for the scope of the object.
class ScopedSettings {
 public:
  explicit ScopedSettings(const std::string& file) {
    const char* previous = std::getenv("FSDB_SETTINGS");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_)
      previous_ = previous;
    if (file.empty()) {
      unsetenv("FSDB_SETTINGS");
    } else {
      setenv("FSDB_SETTINGS", file.c_str(), 1);
    }
  }
  ~ScopedSettings() {
    if (hadPrevious_) {
      setenv("FSDB_SETTINGS", previous_.c_str(), 1);
    } else {
      unsetenv("FSDB_SETTINGS");
    }
  }
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;

 private:
  bool hadPrevious_;
  std::string previous_;
};

class PerformanceCountersTest : public ::testing::Test {
 protected:
  PerformanceCountersTest() : settings_(""), log_(0) {}

  // The lines of one report, checked to be all at level 0.
  std::vector<std::string> Report(Counters& counters) {
    log_->Clear();
    counters.LogAllPerformanceCounters();
    std::vector<std::string> texts;
    for (const fsdbtest::LogLine& line : log_->Lines()) {
      EXPECT_EQ(0, line.level) << line.text;
      texts.push_back(line.text);
    }
    return texts;
  }

  ScopedSettings settings_;  // no settings file: the defaults apply
  fsdbtest::ScopedCaptureLog log_;
};

TEST_F(PerformanceCountersTest, IntervalDefaultsTo600WithoutASetting) {
  Counters counters;
  EXPECT_EQ(600, counters.GetLoggingInterval());
  EXPECT_EQ(1u, log_->Count("The Logging Interval of the Database Performance Counters : 600 seconds"));
}

TEST_F(PerformanceCountersTest, IntervalIsReadFromTheSettingsFile) {
  fsdbtest::TempDir dir;
  const std::string file = dir.File("agent.ini");
  {
    std::ofstream ini(file);
    ini << "[~FileSystemAgent]\nnScanDatabasePerformanceLoggingInterval=15\n";
  }
  ScopedSettings settings(file);
  Counters counters;
  EXPECT_EQ(15, counters.GetLoggingInterval());
  std::vector<fsdbtest::LogLine> lines = log_->Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0, lines[0].level);
  EXPECT_EQ("The Logging Interval of the Database Performance Counters : 15 seconds", lines[0].text);
}

TEST_F(PerformanceCountersTest, UnusedCountersReportOnlyTheFrame) {
  Counters counters;
  EXPECT_EQ((std::vector<std::string>{kBanner, kClosing}), Report(counters));
  counters.SetDatabase("/var/scan/current.db");
  EXPECT_EQ((std::vector<std::string>{kBanner, DatabaseLine("/var/scan/current.db"), kClosing}),
            Report(counters));
}

TEST_F(PerformanceCountersTest, ReportListsUsedCountersInEnumerationOrder) {
  Counters counters;
  counters.SetDatabase("scan.db");
  // Used out of order; one of them only with a zero-length sample, which still counts as used.
  *counters.GetCounter(Counters::SELECTED_FILE) += CTimeInterval(1500);
  *counters.GetCounter(Counters::QUERY_FOLDER) += CTimeInterval(0);
  { CAutoTimeCounter timer(counters.GetCounter(Counters::ADD_FILE)); }
  { CAutoTimeCounter timer(counters.GetCounter(Counters::ADD_FILE)); }
  ASSERT_EQ(2u, counters.GetCounter(Counters::ADD_FILE)->GetTotalSamples());

  const std::vector<std::string> expected = {
      kBanner,
      DatabaseLine("scan.db"),
      "ADD_FILE : " + counters.GetCounter(Counters::ADD_FILE)->AsString(),
      "QUERY_FOLDER : " + counters.GetCounter(Counters::QUERY_FOLDER)->AsString(),
      "SELECTED_FILE : " + counters.GetCounter(Counters::SELECTED_FILE)->AsString(),
      kClosing};
  EXPECT_EQ(expected, Report(counters));
}

TEST_F(PerformanceCountersTest, EveryCounterHasItsOwnNameAndUpdateCountersStaySilent) {
  Counters counters;
  std::set<CTimeCounter*> distinct;
  for (int counter = 0; counter < Counters::COUNTER_COUNT; ++counter) {
    CTimeCounter* timeCounter = counters.GetCounter(static_cast<Counters::DatabaseCounter>(counter));
    ASSERT_NE(nullptr, timeCounter) << counter;
    distinct.insert(timeCounter);
    // Every operation that is timed feeds its counter; the update counters are never fed.
    if (counter != Counters::UPDATE_FILE && counter != Counters::UPDATE_FOLDER)
      *timeCounter += CTimeInterval(10);
  }
  EXPECT_EQ(static_cast<size_t>(Counters::COUNTER_COUNT), distinct.size());

  const std::vector<std::string> names = {
      "ADD_FILE",   "ADD_FOLDER",   "DELETE_FILE",  "DELETE_FOLDER",    "RENAME_FILE",     "RENAME_FOLDER",
      "QUERY_FILE", "QUERY_FOLDER", "CREATE_INDEX", "GET_FOLDER_ITEMS", "SELECTED_FOLDER", "SELECTED_FILE"};
  std::vector<std::string> report = Report(counters);
  ASSERT_EQ(names.size() + 2, report.size());
  for (size_t n = 0; n < names.size(); ++n)
    EXPECT_EQ(0u, report[n + 1].rfind(names[n] + " : ", 0)) << report[n + 1];
  EXPECT_EQ(0u, log_->Count("UPDATE_"));
}

TEST_F(PerformanceCountersTest, OutOfRangeCounterIsNullAndTimingNullMeasuresNothing) {
  Counters counters;
  EXPECT_EQ(nullptr, counters.GetCounter(static_cast<Counters::DatabaseCounter>(-1)));
  EXPECT_EQ(nullptr, counters.GetCounter(Counters::COUNTER_COUNT));
  { CAutoTimeCounter timer(counters.GetCounter(Counters::COUNTER_COUNT)); }
  EXPECT_EQ((std::vector<std::string>{kBanner, kClosing}), Report(counters));
}

TEST_F(PerformanceCountersTest, CreatingTheCountersAgainKeepsThoseInUse) {
  Counters counters;
  CTimeCounter* addFile = counters.GetCounter(Counters::ADD_FILE);
  *addFile += CTimeInterval(5);
  counters.CreateAllPerformanceCounters();
  EXPECT_EQ(addFile, counters.GetCounter(Counters::ADD_FILE));
  EXPECT_EQ(1u, counters.GetCounter(Counters::ADD_FILE)->GetTotalSamples());
}

TEST_F(PerformanceCountersTest, StopWakesAWaitingThreadAtOnce) {
  Counters counters;
  EXPECT_FALSE(counters.GetStopLogging());
  EXPECT_FALSE(counters.WaitForStop(0));

  // The waiter would sit for ten minutes if SetStopLogging did not wake it.
  bool woken = false;
  std::thread waiter([&] { woken = counters.WaitForStop(600 * 1000); });
  counters.SetStopLogging(true);
  waiter.join();
  EXPECT_TRUE(woken);
  EXPECT_TRUE(counters.GetStopLogging());
  EXPECT_TRUE(counters.WaitForStop(0));

  counters.SetStopLogging(false);
  EXPECT_FALSE(counters.GetStopLogging());
  EXPECT_FALSE(counters.WaitForStop(0));
}

TEST_F(PerformanceCountersTest, ReportsOfTwoDatabasesNeverInterleave) {
  Counters first;
  Counters second;
  first.SetDatabase("first.db");
  second.SetDatabase("second.db");
  log_->Clear();
  const int kReports = 200;
  std::thread a([&] {
    for (int n = 0; n < kReports; ++n)
      first.LogAllPerformanceCounters();
  });
  std::thread b([&] {
    for (int n = 0; n < kReports; ++n)
      second.LogAllPerformanceCounters();
  });
  a.join();
  b.join();

  std::vector<std::string> texts = log_->Texts();
  ASSERT_EQ(static_cast<size_t>(2 * kReports * 3), texts.size());
  for (size_t n = 0; n < texts.size(); n += 3) {
    ASSERT_EQ(kBanner, texts[n]) << n;
    ASSERT_TRUE(texts[n + 1] == DatabaseLine("first.db") || texts[n + 1] == DatabaseLine("second.db")) << n;
    ASSERT_EQ(kClosing, texts[n + 2]) << n;
  }
}

}  // namespace
}  // namespace FSDB
