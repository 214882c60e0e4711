// Small helpers shared by the benchmark's sections: clocks, owning handles over the sqlite3 C API,
// number formatting, peak memory, and the table of results printed at the end.
//
// Any failure inside a section (a library error, an SQLite error, a system call that fails) is thrown
// as a BenchError; the driver catches it, reports the section as failed and goes on with the next one.

#ifndef FSDB_BENCH_BENCHUTIL_H_
#define FSDB_BENCH_BENCHUTIL_H_

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fsdb/Error.h"

namespace bench {

class BenchError : public std::runtime_error {
 public:
  explicit BenchError(const std::string& what) : std::runtime_error(what) {}
};

// Throws when `error` is an error, with `what` and the error's whole text (locations included). Timed
// loops pass a literal: nothing is built unless the call failed.
inline void ThrowIfError(const CYaError& error, const char* what) {
  if (error.IsError())
    throw BenchError(std::string(what) + ": " + error.AsString());
}
inline void ThrowIfError(const CYaError& error, const std::string& what) {
  ThrowIfError(error, what.c_str());
}

// Bytes this process has handed to write() and pwrite() so far (wchar of /proc/self/io), or 0 when
// it cannot be read. Writes to the page cache count: with synchronous off that is where SQLite writes.
uint64_t BytesWritten();

// Wall-clock time, process CPU time and bytes written over one measured span. The machine may be
// shared: the CPU time tells how much of a wall-clock figure was this process's own work.
class Stopwatch {
 public:
  Stopwatch() { Restart(); }
  void Restart() {
    wallStart_ = std::chrono::steady_clock::now();
    cpuStart_ = CpuSeconds();
    writtenStart_ = BytesWritten();
  }
  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
  }
  double CpuSecondsElapsed() const { return CpuSeconds() - cpuStart_; }
  uint64_t BytesWrittenElapsed() const { return BytesWritten() - writtenStart_; }

  static double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }

 private:
  std::chrono::steady_clock::time_point wallStart_;
  double cpuStart_ = 0;
  uint64_t writtenStart_ = 0;
};

// A measured span: how long, how much CPU this process spent in it, how many bytes it wrote.
struct Timing {
  double wall = 0;
  double cpu = 0;
  uint64_t written = 0;
};

// The repeated runs of one side of a measurement. Other processes on a shared machine only ever add
// time, so the shortest run is the least disturbed one; CPU time, which they hardly touch, is the
// steadier figure of the two.
class Runs {
 public:
  void Add(const Timing& run) { runs_.push_back(run); }
  bool Empty() const { return runs_.empty(); }
  // The run with the shortest wall-clock time. REQUIRES: !Empty().
  const Timing& BestWall() const;
  // The shortest CPU time of all runs. REQUIRES: !Empty().
  double BestCpu() const;
  // "13.004/6.387 13.544/6.502 s": wall/cpu of every run.
  std::string List() const;

 private:
  std::vector<Timing> runs_;
};

inline Timing Elapsed(const Stopwatch& watch) {
  return Timing{watch.WallSeconds(), watch.CpuSecondsElapsed(), watch.BytesWrittenElapsed()};
}

// ---------------------------------------------------------------------------------------------------
// The sqlite3 C API, owned.

struct SqliteCloser {
  void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
typedef std::unique_ptr<sqlite3, SqliteCloser> SqliteHandle;
typedef std::unique_ptr<sqlite3_stmt, StatementFinalizer> StatementHandle;

// Throws with SQLite's message unless `result` is one of the two accepted codes.
inline void CheckSqlite(sqlite3* database, int result, const char* what, int accepted1 = SQLITE_OK,
                        int accepted2 = SQLITE_OK) {
  if (result == accepted1 || result == accepted2)
    return;
  throw BenchError(std::string(what) + ": sqlite error " + std::to_string(result) + " (" +
                   (database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(result)) + ")");
}

// Opens (creating it when `create`) the database file.
inline SqliteHandle OpenSqlite(const std::string& file, bool create) {
  sqlite3* raw = nullptr;
  const int flags = create ? (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : SQLITE_OPEN_READWRITE;
  const int result = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  SqliteHandle database(raw);  // owned before the result is looked at: a failed open still allocates
  CheckSqlite(database.get(), result, ("open " + file).c_str());
  return database;
}

inline void ExecSqlite(sqlite3* database, const std::string& sql) {
  char* message = nullptr;
  const int result = sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &message);
  std::unique_ptr<char, decltype(&sqlite3_free)> owned(message, &sqlite3_free);
  if (result != SQLITE_OK) {
    throw BenchError("exec [" + sql + "]: " + (owned ? owned.get() : sqlite3_errstr(result)));
  }
}

inline StatementHandle PrepareSqlite(sqlite3* database, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  const int result = sqlite3_prepare_v2(database, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  StatementHandle statement(raw);
  CheckSqlite(database, result, ("prepare [" + sql + "]").c_str());
  return statement;
}

// ---------------------------------------------------------------------------------------------------
// Output

// "1,234,567".
std::string Grouped(uint64_t value);
// A rate with thousands separators and its unit: "81,234 rows/s".
std::string Rate(double count, double seconds, const char* unit);
// "12.345 s", "3.21 ms", "850 us" as fits.
std::string Seconds(double seconds);
// "%.2f".
std::string Fixed(double value, int decimals);
// "123.4 MB" (10^6 bytes).
std::string Megabytes(uint64_t bytes);

// Peak resident set size of this process, in KiB (VmHWM), or 0 when it cannot be read.
uint64_t PeakResidentKb();

// One line of the final summary.
struct SummaryRow {
  std::string section;
  std::string figure;
  std::string value;
  std::string target;
  std::string result;  // PASS, FAIL, ERROR, or empty for a figure without a target
};

class Summary {
 public:
  void Add(const std::string& section, const std::string& figure, const std::string& value,
           const std::string& target = "", const std::string& result = "");
  // A figure with a target, judged here: PASS when `passed`.
  void AddJudged(const std::string& section, const std::string& figure, double value, int decimals,
                 const std::string& target, bool passed);
  void Print() const;
  int FailureCount() const;

 private:
  std::vector<SummaryRow> rows_;
};

}  // namespace bench

#endif  // FSDB_BENCH_BENCHUTIL_H_
