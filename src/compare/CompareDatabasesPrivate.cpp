#include "compare/CompareDatabasesPrivate.h"

#include "platform/ErrorCodes.h"
#include "platform/FXString.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

// One side of the file merge. At the end of the walk the item and name keep their last values; the
// merge looks at Eof() before it trusts them.
struct FileCursor {
  CDatabaseItemIteratorPtr iterator;
  CDatabaseItemPtr item;
  std::string name;

  bool AtEnd() const { return iterator->Eof(); }
  void Read() {
    if (AtEnd())
      return;
    item = iterator->GetItem();
    name = item->GetFileName();
  }
  void Advance() {
    iterator->NextItem();
    Read();
  }
};

}  // namespace

CCompareDatabasesPrivate::CCompareDatabasesPrivate(
    const std::shared_ptr<CScanDatabasePrivate>& currentDatabase,
    const std::shared_ptr<CScanDatabasePrivate>& previousDatabase,
    const boost::shared_ptr<CCompareDatabasesCallback>& callback)
    : currentDatabase_(currentDatabase), previousDatabase_(previousDatabase), callback_(callback) {}

CCompareDatabasesPrivate::~CCompareDatabasesPrivate() = default;

CYaError CCompareDatabasesPrivate::CompareFolderItems(const std::string& folderPath) {
  if (!previousDatabase_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                   "The Previous Database is not initalized");
  if (!currentDatabase_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                   "The Current Database is not initalized");

  FileCursor previous;
  FileCursor current;
  FSDB_RETURN_IF_ERROR(previousDatabase_->QuerySelectedFiles(folderPath, previous.iterator));
  FSDB_RETURN_IF_ERROR(currentDatabase_->QuerySelectedFiles(folderPath, current.iterator));
  previous.Read();
  current.Read();

  // Both walks come in ascending name order; a name without a separator sorts under the path collation
  // exactly as in plain byte order, so a byte comparison keeps the two walks in step.
  while (!previous.AtEnd() || !current.AtEnd()) {
    const int order = FXString::CompareFSCase(previous.name, current.name);
    if ((order < 0 && !previous.AtEnd()) || current.AtEnd()) {
      FSDB_LOG(30, "Previous [Yes] Current [No] Folder [%s] File [%s]", folderPath.c_str(),
               previous.name.c_str());
      FSDB_RETURN_IF_ERROR(callback_->OnFileInIndex1(previous.item->GetFullyQualifiedPath(), previous.item));
      previous.Advance();
    } else if ((order > 0 && !current.AtEnd()) || previous.AtEnd()) {
      FSDB_LOG(30, "Previous [No] Current [Yes] Folder [%s] File [%s]", folderPath.c_str(),
               current.name.c_str());
      FSDB_RETURN_IF_ERROR(callback_->OnFileInIndex2(current.item->GetFullyQualifiedPath(), current.item));
      current.Advance();
    } else {
      FSDB_LOG(30, "Previous [Yes] Current [Yes] Folder [%s] File [%s]", folderPath.c_str(),
               current.name.c_str());
      FSDB_RETURN_IF_ERROR(
          callback_->OnFileInBothIndexes(current.item->GetFullyQualifiedPath(), previous.item, current.item));
      previous.Advance();
      current.Advance();
    }
  }
  return CYaError::Success();
}

}  // namespace FSDB
