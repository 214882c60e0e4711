// The comparison of a previous and a current scan database.
//
// CCompareDatabases walks the selected folders of both databases in path order and reports each
// folder, and for the folders to examine each selected file, to a CCompareDatabasesCallback. In the
// callback's terms the previous database is index 1 and the current database index 2.
//
// The callback steers the walk through `processFolder`:
//   - OnFolderInIndex1 (only in the previous scan) receives false: left false, the folder's subtree is
//     skipped; set true, its files are compared (all reported as deleted) and its subfolders walked.
//   - OnFolderInIndex2 (only in the current scan) receives true: left true, its files are compared
//     (reported as new) and its subfolders walked; cleared, its subtree is skipped.
//   - OnFolderInBothIndexes receives true: cleared, its files are not compared (subfolders are still
//     walked).
// An error returned by a callback ends the comparison at once with that error.
//
// Not thread-safe: one CompareDatabases() at a time per object.

#ifndef FSDB_COMPAREDATABASES_H_
#define FSDB_COMPAREDATABASES_H_

#include <string>

#include <boost/shared_ptr.hpp>

#include "fsdb/DatabaseItem.h"
#include "fsdb/Error.h"
#include "fsdb/ScanDatabase.h"

namespace FSDB {

class CCompareDatabasesPrivate;

// Receives the results. Derive from it and override what you need; the defaults only log (at level 3).
class FSDB_EXPORT CCompareDatabasesCallback {
 public:
  virtual ~CCompareDatabasesCallback();

  virtual CYaError OnFolderInIndex1(const std::string& path, CDatabaseItemPtr item, bool& processFolder);
  virtual CYaError OnFolderInIndex2(const std::string& path, CDatabaseItemPtr item, bool& processFolder);
  virtual CYaError OnFolderInBothIndexes(const std::string& path, CDatabaseItemPtr previousItem,
                                         CDatabaseItemPtr currentItem, bool& processFolder);
  virtual CYaError OnFileInIndex1(const std::string& path, CDatabaseItemPtr item);
  virtual CYaError OnFileInIndex2(const std::string& path, CDatabaseItemPtr item);
  virtual CYaError OnFileInBothIndexes(const std::string& path, CDatabaseItemPtr previousItem,
                                       CDatabaseItemPtr currentItem);
};

class FSDB_EXPORT CCompareDatabases {
 public:
  // Stores the arguments; opens nothing.
  CCompareDatabases(const std::string& currentPath, const std::string& previousPath,
                    const boost::shared_ptr<CCompareDatabasesCallback>& callback, DatabaseType currentType,
                    DatabaseType previousType);
  ~CCompareDatabases();

  // By default the current database is opened writable (it may be the one a running scan keeps
  // up to date). With `readOnly`, it is opened read-only like the previous one, so the comparison writes
  // to neither file: two finished scans are compared without changing either, even on read-only media.
  void SetCurrentReadOnly(bool readOnly) { currentReadOnly_ = readOnly; }

  // Runs one comparison. Both database files must exist: a missing one fails with code 2 and nothing is
  // created; an empty path fails with 87. The previous database is opened read-only. May be called
  // again; each call opens the databases anew.
  CYaError CompareDatabases();

 private:
  DatabaseType currentType_;
  DatabaseType previousType_;
  std::string currentPath_;
  std::string previousPath_;
  boost::shared_ptr<CCompareDatabasesCallback> callback_;
  boost::shared_ptr<CCompareDatabasesPrivate> worker_;
  bool currentReadOnly_ = false;
};

}  // namespace FSDB

#endif  // FSDB_COMPAREDATABASES_H_
