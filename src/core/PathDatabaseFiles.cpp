// The file operations: add (or queue), delete, rename, look up.

#include "core/PathDatabase.h"

#include <cinttypes>

#include <string>

#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"
#include "platform/Log.h"

namespace FSDB {

CYaError CPathDatabase::FlushPendingFiles() {
  // The batch's transaction is committed too, so that the caller's change is a transaction of its own
  // that persists, or fails, alone.
  if (!IsBulkInsertModeActive() ||
      (cache_->GetFileQueueSize() == 0 && !bulkTransaction_ && replayFolders_.empty()))
    return CYaError::Success();
  FSDB_RETURN_IF_ERROR(FlushQueue());
  return CYaError::Success();
}

CYaError CPathDatabase::AddFile(const std::string& path, const CDatabaseItemPtr& item) {
  auto_lock lock(&engineLock_, true);
  CAutoTimeCounter timer(PerRowCounter(CDatabasePerformanceCounters::ADD_FILE));
  std::string& parent = addFileParent_;
  std::string& name = addFileName_;
  FSDB_RETURN_IF_ERROR(NormalizeFilePath(path, addFilePath_, parent, name));
  if (!item)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter, "No item given for the file [%s]",
                                   path.c_str());

  FSDB_RETURN_IF_ERROR(JoinBulkTransaction());
  const bool bulk = IsBulkInsertModeActive();
  int64_t folderId = 0;
  CYaError error = FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // The missing parents and the file persist together or not at all. In bulk-insert mode this joins
    // the batch's transaction, and the file is queued instead.
    FX::CDatabaseTransaction transaction(this, 0);
    CYaError step = QueryOrAddParentFolder(parent, folderId);
    if (step.IsError())
      return step;
    if (!bulk) {
      InsertFileStatement->Reset();
      InsertFileStatement->Bind(1, static_cast<long>(folderId));
      InsertFileStatement->Bind(2, name);
      BindItemAttributes(*InsertFileStatement, 3, *item);
      if (InsertFileStatement->ExecDML() > 0) {
        FSDB_LOG(4, "Inserted File [%s] ID : [%" PRId64 "]", path.c_str(), GetLastInsertRowId());
      }
    }
    return transaction.Commit();
  });
  if (error.IsError()) {
    RollbackBulkTransaction();  // a batch with a failed step cannot commit; its folders are written again
    return error.Push(FX_LOCATION);
  }
  if (!bulk)
    return CYaError::Success();
  bool full = false;
  FSDB_RETURN_IF_ERROR(cache_->InsertIntoFileQueue(folderId, name, item, &full));
  if (full) {
    error = FlushQueue();
    if (error.IsError()) {
      return error.Push(FX_LOCATION,
                        "The batch of queued files was not written; the files stay queued for the next "
                        "Flush or Close");
    }
  }
  return CYaError::Success();
}

CYaError CPathDatabase::DeleteFile(const std::string& path, const CDatabaseItemPtr&) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::DELETE_FILE));
  std::string filePath;
  std::string parent;
  std::string name;
  FSDB_RETURN_IF_ERROR(NormalizeFilePath(path, filePath, parent, name));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // A file still queued must reach the table first, or it would come back at the next flush.
    FSDB_RETURN_IF_ERROR(FlushPendingFiles());
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = 0;
    FSDB_RETURN_IF_ERROR(QueryFolderId(parent, folderId));
    FSDB_LOG(3, "Recieved Folder [%s] ID : [%" PRId64 "]", parent.c_str(), folderId);
    DeleteFileStatement->Reset();
    DeleteFileStatement->Bind(1, static_cast<long>(folderId));
    DeleteFileStatement->Bind(2, name);
    if (DeleteFileStatement->ExecDML() > 0)
      FSDB_LOG(3, "Successfully Deleted File [%s]", path.c_str());
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::RenameFile(const std::string& oldPath, const std::string& newPath,
                                   const CDatabaseItemPtr&, const CDatabaseItemPtr& newItem) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::RENAME_FILE));
  std::string oldFile;
  std::string newFile;
  std::string newParent;
  std::string newName;
  FSDB_RETURN_IF_ERROR(NormalizePath(oldPath, oldFile));
  FSDB_RETURN_IF_ERROR(NormalizeFilePath(newPath, newFile, newParent, newName));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    FSDB_RETURN_IF_ERROR(FlushPendingFiles());  // a queued file must be in the table to be renamed
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t fileId = 0;
    int64_t oldFolderId = 0;
    FSDB_RETURN_IF_ERROR(QueryFileId(oldFile, fileId, oldFolderId));
    int64_t newFolderId = 0;
    FSDB_RETURN_IF_ERROR(QueryFolderId(newParent, newFolderId));
    if (IsBulkInsertModeActive()) {
      // Without the unique index the update would record the name twice, and the clean-up at closing
      // would keep whichever row is newer. Refuse as the index refuses outside bulk-insert mode.
      SelectFileIdStatement->Reset();
      SelectFileIdStatement->Bind(1, static_cast<long>(newFolderId));
      SelectFileIdStatement->Bind(2, newName);
      boost::shared_ptr<FX::CSQLite3Query> target = SelectFileIdStatement->ExecQuery();
      if (!target->Eof() && target->GetInt64Field(0, -1) != fileId) {
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, 19 /* SQLITE_CONSTRAINT */, "SQLite Exception%s%s", ", ",
                                        "UNIQUE constraint failed: Files.FolderId, Files.FileName");
      }
    }

    UpdateFileStatement->Reset();
    UpdateFileStatement->Bind(1, static_cast<long>(newFolderId));
    UpdateFileStatement->Bind(2, newName);
    UpdateFileStatement->Bind(3, static_cast<long>(fileId));
    if (newItem) {
      BindItemAttributes(*UpdateFileStatement, 4, *newItem);
    } else {
      // Without a new item the row keeps its attributes: bind what it holds now, never what an earlier
      // use of the statement left bound.
      std::string oldParent;
      std::string oldName;
      (void)FXPath::SplitParentPath(oldFile, oldParent, oldName);
      SelectFileItemStatement->Reset();
      SelectFileItemStatement->Bind(1, static_cast<long>(oldFolderId));
      SelectFileItemStatement->Bind(2, oldName);
      boost::shared_ptr<FX::CSQLite3Query> row = SelectFileItemStatement->ExecQuery();
      if (!row->Eof())
        BindRowAttributes(*UpdateFileStatement, 4, *row, 3);
    }
    if (UpdateFileStatement->ExecDML() > 0) {
      FSDB_LOG(4, "Successfully Renamed File [%s] to [%s] ID : [%" PRId64 "]", oldPath.c_str(),
               newPath.c_str(), fileId);
    }
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::NormalizeFilePath(const std::string& path, std::string& filePath, std::string& parent,
                                          std::string& name) {
  FSDB_RETURN_IF_ERROR(NormalizePath(path, filePath));
  // A normalised path starts with the separator and has no run of them: the name is its last
  // component (before one trailing separator, if any) and the folder everything up to it. Assigning
  // reuses the buffers of the caller's strings.
  const size_t end = filePath.size() - (filePath.size() > 1 && filePath.back() == '/' ? 1 : 0);
  const size_t slash = filePath.rfind('/', end - 1);
  name.assign(filePath, slash + 1, end - slash - 1);
  parent.assign(filePath, 0, slash + 1);
  // "/" names no file: refused whatever the layout makes of its empty parent.
  if (name.empty())
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter, FX::kMessageNotAFilePath,
                                   path.c_str());
  return CYaError::Success();
}

CYaError CPathDatabase::FindFileRow(const std::string& path, FX::CSQLite3Statement& statement,
                                    std::string& parent, int64_t& folderId,
                                    boost::shared_ptr<FX::CSQLite3Query>& row) {
  std::string name;
  (void)FXPath::SplitParentPath(path, parent, name);  // an empty path finds no folder below
  CYaError error = QueryFolderId(parent, folderId);
  if (error.IsError())
    return error;  // the caller's location follows the lookup's, as when it looked the folder up itself
  FSDB_LOG(3, "Folder [%s] ID : [%" PRId64 "]", parent.c_str(), folderId);
  statement.Reset();
  statement.Bind(1, static_cast<long>(folderId));
  statement.Bind(2, name);
  row = statement.ExecQuery();
  return CYaError::Success();
}

CYaError CPathDatabase::QueryFileId(const std::string& path, int64_t& fileId, int64_t& folderId) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::QUERY_FILE));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    std::string parent;
    int64_t localFolderId = 0;
    boost::shared_ptr<FX::CSQLite3Query> row;
    FSDB_RETURN_IF_ERROR(FindFileRow(path, *SelectFileIdStatement, parent, localFolderId, row));
    if (!row->Eof()) {
      fileId = row->GetInt64Field(0, -1);
      folderId = localFolderId;
      return CYaError::Success();
    }
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFileNotFound, path.c_str());
  });
}

}  // namespace FSDB
