#include "compare/CompareDatabasesPrivate.h"

#include <utility>

#include <boost/make_shared.hpp>

#include "platform/ErrorCodes.h"
#include "platform/FXString.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

// One side of the file merge: the file it stands on, with its path and name. Every row becomes a new
// item, since a callback may keep the one it was given; the path's buffer is reused. At the end of the
// walk the item, path and name keep their last values; the merge looks at AtEnd() before it trusts them.
class FileCursor {
 public:
  explicit FileCursor(CPathDatabase& database) : database_(database) {}

  bool AtEnd() const { return atEnd_; }
  // Reads the current row and moves the walk on. Throws CSQLite3Exception.
  void Advance() {
    CDatabaseItemPtr next = boost::make_shared<CDatabaseItem>();
    atEnd_ = !database_.ReadSelectedFile(*next, path);
    if (atEnd_)
      return;
    item = std::move(next);
    name = item->GetFileName();
  }

  CDatabaseItemPtr item;
  std::string path;
  std::string name;

 private:
  CPathDatabase& database_;
  bool atEnd_ = false;
};

}  // namespace

CCompareDatabasesPrivate::CCompareDatabasesPrivate(
    const std::shared_ptr<CPathDatabase>& currentDatabase,
    const std::shared_ptr<CPathDatabase>& previousDatabase,
    const boost::shared_ptr<CCompareDatabasesCallback>& callback)
    : currentDatabase_(currentDatabase), previousDatabase_(previousDatabase), callback_(callback) {}

CCompareDatabasesPrivate::~CCompareDatabasesPrivate() = default;

CYaError CCompareDatabasesPrivate::CompareFolderItems(const std::string& folderPath, int64_t previousId,
                                                      int64_t currentId) {
  if (!previousDatabase_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                   "The Previous Database is not initalized");
  if (!currentDatabase_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                   "The Current Database is not initalized");

  FileCursor previous(*previousDatabase_);
  FileCursor current(*currentDatabase_);
  FSDB_RETURN_IF_ERROR(previousDatabase_->StartSelectedFiles(folderPath, previousId));
  FSDB_RETURN_IF_ERROR(currentDatabase_->StartSelectedFiles(folderPath, currentId));
  previous.Advance();
  current.Advance();

  // Both walks come in ascending name order; a name without a separator sorts under the path collation
  // exactly as in plain byte order, so a byte comparison keeps the two walks in step.
  while (!previous.AtEnd() || !current.AtEnd()) {
    const int order = FXString::CompareFSCase(previous.name, current.name);
    if ((order < 0 && !previous.AtEnd()) || current.AtEnd()) {
      FSDB_LOG(30, "Previous [Yes] Current [No] Folder [%s] File [%s]", folderPath.c_str(),
               previous.name.c_str());
      FSDB_RETURN_IF_ERROR(callback_->OnFileInIndex1(previous.path, previous.item));
      previous.Advance();
    } else if ((order > 0 && !current.AtEnd()) || previous.AtEnd()) {
      FSDB_LOG(30, "Previous [No] Current [Yes] Folder [%s] File [%s]", folderPath.c_str(),
               current.name.c_str());
      FSDB_RETURN_IF_ERROR(callback_->OnFileInIndex2(current.path, current.item));
      current.Advance();
    } else {
      FSDB_LOG(30, "Previous [Yes] Current [Yes] Folder [%s] File [%s]", folderPath.c_str(),
               current.name.c_str());
      FSDB_RETURN_IF_ERROR(callback_->OnFileInBothIndexes(current.path, previous.item, current.item));
      previous.Advance();
      current.Advance();
    }
  }
  return CYaError::Success();
}

}  // namespace FSDB
