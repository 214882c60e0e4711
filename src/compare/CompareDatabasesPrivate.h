// The worker of one comparison: holds both opened databases and the callback, and compares the selected
// files of one folder.
//
// Not thread-safe: it drives the file walks of both databases, which keep their cursors in the engines.

#ifndef FSDB_COMPARE_COMPAREDATABASESPRIVATE_H_
#define FSDB_COMPARE_COMPAREDATABASESPRIVATE_H_

#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/PathDatabase.h"
#include "fsdb/CompareDatabases.h"
#include "fsdb/Error.h"

namespace FSDB {

class CCompareDatabasesPrivate {
 public:
  // The databases are expected to be open; the worker keeps them open as long as it lives.
  CCompareDatabasesPrivate(const std::shared_ptr<CPathDatabase>& currentDatabase,
                           const std::shared_ptr<CPathDatabase>& previousDatabase,
                           const boost::shared_ptr<CCompareDatabasesCallback>& callback);
  virtual ~CCompareDatabasesPrivate();

  CCompareDatabasesPrivate(const CCompareDatabasesPrivate&) = delete;
  CCompareDatabasesPrivate& operator=(const CCompareDatabasesPrivate&) = delete;

  // Merges the selected files directly in `folderPath` of both databases by name and reports each one
  // as only previous (OnFileInIndex1), only current (OnFileInIndex2) or in both (OnFileInBothIndexes).
  // `previousId` and `currentId` are the folder's row ids where the folder walks gave them; below 1 the
  // folder is looked up by path. A folder that a database does not hold counts as empty there. Fails
  // with 13 when a database is missing; a failing query or callback ends the merge at once with its
  // error. Reading a row may throw CSQLite3Exception.
  CYaError CompareFolderItems(const std::string& folderPath, int64_t previousId, int64_t currentId);

 private:
  std::shared_ptr<CPathDatabase> currentDatabase_;
  std::shared_ptr<CPathDatabase> previousDatabase_;
  boost::shared_ptr<CCompareDatabasesCallback> callback_;
};

}  // namespace FSDB

#endif  // FSDB_COMPARE_COMPAREDATABASESPRIVATE_H_
