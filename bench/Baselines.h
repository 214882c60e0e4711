// The baselines the library is measured against, written straight on the sqlite3 C API: what a
// careful programmer would write by hand for the same job, on the same schema and the same rows.

#ifndef FSDB_BENCH_BASELINES_H_
#define FSDB_BENCH_BASELINES_H_

#include <cstdint>
#include <string>

#include "BenchUtil.h"
#include "ScanData.h"
#include "fsdb/ScanDatabase.h"

namespace bench {

// Writes `tree` into a new database file of the given layout: the same Folders and Files tables as
// the library's, the collation PATH_COMPONENTS, WAL journal, synchronous off, foreign keys on. The
// rows go in with one prepared INSERT per table, 3000 files per transaction, folders when their first
// file comes, with no index on Files; then the unique file index and the layout's folder indexes are
// created and the connection is closed. The inserts, the index creation and the close are timed;
// creating the empty schema is not.
Timing RawBulkInsert(const std::string& file, const ScanTree& tree, FSDB::DatabaseType layout);

// The changes between two full-path scan databases, selected files only.
struct ChangeCounts {
  uint64_t added = 0;
  uint64_t deleted = 0;
  uint64_t changed = 0;  // in both, with another size
};

// Computes the three lists with plain SQL over both files: the current database opened, the previous
// one attached, files matched on their folder's path and their name, both ways. Every row of the lists
// is read out (path, name) as a consumer of the lists would. Timed completely, opening included.
ChangeCounts SqlCompare(const std::string& current, const std::string& previous, Timing& timing);

// Row counts of a scan database: Files and Folders (base rows included).
void CountRows(const std::string& file, uint64_t& files, uint64_t& folders);

}  // namespace bench

#endif  // FSDB_BENCH_BASELINES_H_
