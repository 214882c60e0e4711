// The item queries: one item by path, and the walk of a folder's selected files.

#include "core/PathDatabase.h"

#include <cinttypes>

#include <functional>
#include <string>

#include <boost/make_shared.hpp>

#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"
#include "platform/Log.h"

namespace FSDB {

CYaError CPathDatabase::QueryItem(const std::string& path, CDatabaseItemPtr& item) {
  // One path, one spelling: what a change records as "/a/b" is found as "//a//b/" too.
  std::string filePath;
  FSDB_RETURN_IF_ERROR(NormalizePath(path, filePath));
  (void)FXPath::RemoveTrailingDelimiter(filePath);  // cannot fail; "/" stays the root
  std::string folderPath = filePath;
  (void)FXPath::AppendTrailingDelimiter(folderPath);  // cannot fail
  CYaError error = QueryFolderItem(folderPath, item);
  if (!FXErrorUtil::IsWin32(error, FX::kErrorNotFound))
    return error;
  FSDB_RETURN_IF_ERROR(QueryFileItem(filePath, item));
  return CYaError::Success();
}

CYaError CPathDatabase::QueryFileItem(const std::string& path, CDatabaseItemPtr& item) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::QUERY_FILE));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    std::string parent;
    int64_t folderId = 0;
    boost::shared_ptr<FX::CSQLite3Query> row;
    FSDB_RETURN_IF_ERROR(FindFileRow(path, *SelectFileItemStatement, parent, folderId, row));
    if (row->Eof())
      return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFileNotFound, path.c_str());
    item = DecodeFileRow(*row);
    item->SetFullyQualifiedPath(path);
    // An item whose document is empty or unreadable is still returned, with those four values at 0.
    (void)item->PopulateFromMetadata();
    FSDB_LOG(30,
             " Got File ID [%" PRId64 "] Parent Folder ID [%" PRId64
             "] FileName [%s] Folder [%s] Item Information : %s",
             item->GetId(), row->GetInt64Field(1, -1), item->GetFileName().c_str(), parent.c_str(),
             item->AsString().c_str());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::QuerySelectedFiles(const std::string& folderPath,
                                           CDatabaseItemIteratorPtr& iterator) {
  FSDB_RETURN_IF_ERROR(StartSelectedFiles(folderPath, 0));
  const CDatabaseItemIterator::Generator generator = std::bind(&CPathDatabase::GetNextSelectedFileItem, this);
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // A folder that is not recorded has no selected files.
    iterator = boost::make_shared<CDatabaseItemIterator>(
        generator, selectedFilesQuery_ ? GetNextSelectedFileItem() : CDatabaseItemPtr());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::StartSelectedFiles(const std::string& folderPath, int64_t folderId) {
  selectedFilesQuery_.reset();  // a walk in progress ends here
  FSDB_RETURN_IF_ERROR(NormalizeListedFolderPath(folderPath, selectedFilesFolder_));
  if (folderId < 1) {
    CYaError error = QueryFolderId(selectedFilesFolder_, folderId);
    if (FXErrorUtil::IsWin32(error, FX::kErrorNotFound))
      return CYaError::Success();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  }
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    SelectSelectedFilesStatement->Reset();
    SelectSelectedFilesStatement->Bind(1, static_cast<long>(folderId));
    selectedFilesQuery_ = SelectSelectedFilesStatement->ExecQuery();
    return CYaError::Success();
  });
}

bool CPathDatabase::ReadSelectedFile(CDatabaseItem& item, std::string& path) {
  CAutoTimeCounter timer(PerRowCounter(CDatabasePerformanceCounters::SELECTED_FILE));
  if (!selectedFilesQuery_ || selectedFilesQuery_->Eof())
    return false;
  const FX::CSQLite3Query& row = *selectedFilesQuery_;
  DecodeFileRow(row, item);
  path = selectedFilesFolder_;
  (void)FXPath::Append(path, item.GetFileName(), 0);  // cannot fail
  item.SetFullyQualifiedPath(path);
  FSDB_LOG(30,
           " Got File ID [%" PRId64 "] Parent Folder ID [%" PRId64
           "] FileName [%s] Folder [%s] Item Information : %s",
           item.GetId(), row.GetInt64Field(1, -1), item.GetFileName().c_str(), selectedFilesFolder_.c_str(),
           item.AsString().c_str());
  selectedFilesQuery_->NextRow();
  return true;
}

CYaError CPathDatabase::VisitSelectedFiles(const std::string& folderPath,
                                           const std::function<void(const CDatabaseItem&)>& visit) {
  FSDB_RETURN_IF_ERROR(StartSelectedFiles(folderPath, 0));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // Each row starts from a blank item whose strings keep their buffers, so that what one row set
    // and the next does not (nothing, today) can never carry over.
    static const CDatabaseItem kBlank;
    CDatabaseItem item;
    std::string path;
    for (;;) {
      item = kBlank;
      if (!ReadSelectedFile(item, path))
        return CYaError::Success();
      visit(item);
    }
  });
}

CDatabaseItemPtr CPathDatabase::GetNextSelectedFileItem() {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  std::string path;
  if (!ReadSelectedFile(*item, path))
    return CDatabaseItemPtr();
  return item;
}

CDatabaseItemPtr CPathDatabase::TakeSelectedFolderRow(int idColumn, int pathColumn, int attributesColumn,
                                                      int parentColumn) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::SELECTED_FOLDER));
  if (!SelectedFoldersQuery || SelectedFoldersQuery->Eof())
    return CDatabaseItemPtr();
  const FX::CSQLite3Query& row = *SelectedFoldersQuery;
  CDatabaseItemPtr item = DecodeFolderRow(row, row.GetInt64Field(idColumn, -1),
                                          row.GetStringField(pathColumn, ""), attributesColumn);
  if (parentColumn < 0) {
    FSDB_LOG(30, " Got Folder ID [%" PRId64 "] FullyQualifiedPath [%s] Item Information : %s", item->GetId(),
             item->GetFullyQualifiedPath().c_str(), item->AsString().c_str());
  } else {
    FSDB_LOG(30,
             " Got Folder ID [%" PRId64 "] Parent Folder ID [%" PRId64
             "] FullyQualifiedPath [%s] Item Information : %s",
             item->GetId(), row.GetInt64Field(parentColumn, -1), item->GetFullyQualifiedPath().c_str(),
             item->AsString().c_str());
  }
  SelectedFoldersQuery->NextRow();
  return item;
}

}  // namespace FSDB
