// The benchmark's sections and what they share.

#ifndef FSDB_BENCH_SECTIONS_H_
#define FSDB_BENCH_SECTIONS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "BenchUtil.h"
#include "ScanData.h"
#include "fsdb/ScanDatabase.h"

namespace bench {

struct Context {
  uint64_t files = 1000000;  // N
  // How often the measurements with a target run, library and baseline in turn; the best (shortest)
  // of each side counts. Other processes on the machine only ever add time, so the best run is the
  // least disturbed one.
  int repeat = 3;
  std::string dir;   // the run's own temporary folder
  std::string self;  // this program, for the child processes of the comparison
  Summary summary;

  // The scan of N files with its items, made once and shared by the sections that need it.
  std::unique_ptr<ScanTree> tree;
  // The library's database of that scan for each layout, once a section has written it.
  std::string scanDatabase[2];

  const ScanTree& Tree();
  // The library's scan database of `layout`, written (untimed) when no section has written it yet.
  const std::string& ScanDatabase(FSDB::DatabaseType layout);
  std::string File(const std::string& name) const { return dir + "/" + name; }
};

// Output of the sections: a heading, one figure per line, a ratio judged against its target.
void Heading(const std::string& name, const std::string& description);
void Figure(const std::string& label, const std::string& value);
void Verdict(const std::string& label, double ratio, const std::string& target, bool passed);

// Prints the runs and best rates of the library and of its baseline over the same `rows`, and the two
// ratios of the rates (baseline time / library time): by wall-clock time of the best runs, for
// reference, and by CPU time, which is judged against `target`; adds them to `summary`. Returns the
// judged ratio.
double ReportPair(Summary& summary, const std::string& section, const Runs& library, const Runs& baseline,
                  double rows, double target);

const char* LayoutName(FSDB::DatabaseType layout);
// Removes a database file with its WAL and shared-memory files.
void RemoveDatabase(const std::string& file);
// Records every file of `tree` through the facade in bulk-insert mode, then closes and destroys it.
// The AddFile calls, the close and the destruction are timed.
Timing LibraryBulkScan(const std::string& file, const ScanTree& tree, FSDB::DatabaseType layout);

void RunBulk(Context& context, FSDB::DatabaseType layout);
void RunSingleAdds(Context& context);
void RunReads(Context& context);
void RunRename(Context& context);
void RunLookup(Context& context);
void RunCompare(Context& context);

// The body of a comparison child process: `mode` is "library" or "sql". Prints one line of
// key=value results on stdout.
int RunCompareChild(const std::string& mode, const std::string& current, const std::string& previous);

}  // namespace bench

#endif  // FSDB_BENCH_SECTIONS_H_
