// fsdb_collation: a SQLite loadable extension that registers the collations PATH_COMPONENTS and
// PATH_COMPONENTS_NOCASE, so that any SQLite client (the sqlite3 shell, a script, a report tool) can read
// a scan database: every name and path column, and the views' ORDER BY, name one of them.
//
//   sqlite3 scan.db -cmd '.load /usr/lib/x86_64-linux-gnu/fsdb/fsdb_collation' 'SELECT * FROM FilesystemView'
//
// The comparison functions are the library's own (core/PathOrdering), linked in from its objects, so the
// shell orders paths exactly as the library does. SQLite derives the entry point's name from the file
// name: fsdb_collation.so -> sqlite3_fsdbcollation_init.

#include <sqlite3ext.h>

#include "core/PathOrdering.h"

SQLITE_EXTENSION_INIT1

namespace {

struct Collation {
  const char* name;
  int (*compare)(void*, int, const void*, int, const void*);
};

constexpr Collation kCollations[] = {
    {"PATH_COMPONENTS", sqlite_collation_bypath},
    {"PATH_COMPONENTS_NOCASE", sqlite_collation_bypath_nocase},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_fsdbcollation_init(
    sqlite3* db, char** errorMessage, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  for (const Collation& collation : kCollations) {
    const int rc =
        sqlite3_create_collation_v2(db, collation.name, SQLITE_UTF8, nullptr, collation.compare, nullptr);
    if (rc != SQLITE_OK) {
      if (errorMessage != nullptr)
        *errorMessage =
            sqlite3_mprintf("fsdb_collation: cannot register %s: %s", collation.name, sqlite3_errstr(rc));
      return rc;
    }
  }
  return SQLITE_OK;
}
