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
  // Names among type, size, mode, owner, group, links, inode, mtime, ctime, atime, content; an element may
  // hold a comma-separated list. Empty: every one but atime. content compares only when both scans hold
  // digests of the same algorithm.
  std::vector<std::string> fields;
};

// Compares the scan `previous` with the scan `current` (both only read) and prints the report to stdout:
// text, or JSON lines with `json`, or only the counts with `summaryOnly`. Returns the exit status: 0 no
// differences, 1 differences (a folder the current scan could not list is one), 2 error: a file that is
// no scan database, an unknown field, a failed comparison or a report that could not be written, said
// in one line on stderr (the library's details follow with `verbose`).
int RunCompare(const CompareOptions& options, bool verbose);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_COMPARE_H_
