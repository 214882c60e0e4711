// Path ordering: the collations PATH_COMPONENTS and PATH_COMPONENTS_NOCASE, and the path helpers the
// engines share.
//
// Paths compare byte by byte (unsigned), except that the separator '/' sorts before every other byte.
// So a folder is followed directly by everything beneath it, before any sibling whose name merely
// extends the folder's name: /, /a, /a/b, /a/c, /a b, /a-b, /a.txt, /ab.

#ifndef FSDB_CORE_PATHORDERING_H_
#define FSDB_CORE_PATHORDERING_H_

#include <cstddef>
#include <string>

#include "fsdb/Error.h"

// Case-sensitive path comparison of at most `n` bytes (stops at a NUL of `a`).
int path_strcmp(const char* a, const char* b, int n);
// The same with A-Z folded to a-z; no other byte changes.
int path_stricmp(const char* a, const char* b, int n);

// SQLite collation functions: compare min(lengthA, lengthB) bytes, then the lengths. `context` is unused.
// They allocate nothing and stop at the first difference: they run for every index probe and sort step.
int sqlite_collation_bypath(void* context, int lengthA, const void* a, int lengthB, const void* b);
int sqlite_collation_bypath_nocase(void* context, int lengthA, const void* a, int lengthB, const void* b);

namespace FSDB {

// The collation's order for two whole paths (PATH_COMPONENTS when caseSensitive).
int ComparePaths(const std::string& a, const std::string& b, bool caseSensitive);

// The longest path, in bytes, that can be recorded or looked up: PATH_MAX of Linux. A folder may carry
// one trailing separator beyond it.
constexpr size_t kMaxPathLength = 4096;

// Checks that `path` can be recorded (absolute, not empty, no NUL byte, no "." or ".." component, at
// most kMaxPathLength bytes once runs of separators became one) and writes that normalised form into
// `normalized`. Fails with 87 and a message naming the path (cut to its first 200 bytes).
CYaError NormalizePath(const std::string& path, std::string& normalized);

}  // namespace FSDB

#endif  // FSDB_CORE_PATHORDERING_H_
