// `fsdb scan`: records a folder tree in a scan database.

#ifndef FSDB_TOOLS_SCAN_H_
#define FSDB_TOOLS_SCAN_H_

#include <cstdint>
#include <string>

#include "fsdb/Error.h"

namespace fsdbtool {

struct ScanOptions {
  std::string folder;    // the tree to walk; made canonical before use
  std::string database;  // the scan database file; created when missing
  bool optimized = false;
  bool select = true;  // the selection flag given to every recorded item
};

struct ScanSummary {
  std::string root;  // the canonical path that was walked
  uint64_t folders = 0;
  uint64_t files = 0;
  uint64_t skipped = 0;  // entries that could not be read (each reported on stderr)
  double seconds = 0;
};

// Walks `options.folder` without following symbolic links and records every folder with AddFolder
// and every other entry with AddFile, each with its absolute path. Unreadable entries are skipped
// with a warning on stderr. Returns success, or the first error of the library (or of the walk's
// root, with Win32 code 3); `summary` is filled as far as the walk got.
CYaError ScanTree(const ScanOptions& options, ScanSummary& summary);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_SCAN_H_
