// `fsdb compare` and the report half of `fsdb check`: what changed between two scan databases.
//
// The comparison itself is the library's merge walk (CCompareDatabases); this part decides what counts
// as a change (the compared fields), pairs deletions with additions that are the same object (moves),
// leaves alone what a scan could not see (folders it could not list) and prints the report.

#ifndef FSDB_TOOLS_COMPARE_H_
#define FSDB_TOOLS_COMPARE_H_

#include <string>
#include <vector>

namespace fsdbtool {

struct CompareOptions {
  std::string previous, current;  // database files
  bool json = false, summaryOnly = false, moves = true, all = false;
  std::vector<std::string> fields;  // empty: the default set
};

// The names `--fields` accepts, in report order, and the default set (every one but atime).
const std::vector<std::string>& CompareFieldNames();
const std::vector<std::string>& DefaultCompareFields();

// Prints the report to stdout. Returns the exit status: 0 no differences, 1 differences, 2 error (one
// line on stderr, details with verbose).
int RunCompare(const CompareOptions& options, bool verbose);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_COMPARE_H_
