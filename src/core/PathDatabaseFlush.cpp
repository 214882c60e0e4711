// The bulk-insert batch: the file queue written with its folders in one transaction, all or nothing.

#include "core/PathDatabase.h"

#include <cinttypes>

#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace FSDB {

CYaError CPathDatabase::FlushQueue() {
  // A batch is all or nothing: the queued files and the folders recorded since the last flush are
  // committed together. When anything fails, the batch is rolled back, every file stays queued, and
  // its folders are written again by the next batch; so a retried flush never writes a file twice,
  // and never points a file at a folder row that was rolled back.
  if (cache_->GetFileQueueSize() == 0 && !bulkTransaction_ && replayFolders_.empty())
    return CYaError::Success();
  FSDB_RETURN_IF_ERROR(JoinBulkTransaction());  // may point queued files at folders written again
  // The batch is taken out under the queue's lock and written without it; a batch that is not
  // committed goes back to the front of the queue.
  FileQueue batch = cache_->TakeFileQueue();
  CYaError error = FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // The texts are bound without a copy: the name and the item live in the batch until the row is
    // written. The bindings are cleared once the batch is done.
    std::string metadata;
    for (const FileQueueEntry& entry : batch) {
      const int64_t folderId = std::get<0>(entry);
      const std::string& name = std::get<1>(entry);
      InsertFileStatement->Reset();
      InsertFileStatement->Bind(1, static_cast<long>(folderId));
      InsertFileStatement->BindStatic(2, name);
      BindItemAttributes(*InsertFileStatement, 3, *std::get<2>(entry), &metadata);
      if (InsertFileStatement->ExecDML() > 0) {
        FSDB_LOG(4, "Inserted File [%s] ID : [%" PRId64 "] Parent ID : [%" PRId64 "]", name.c_str(),
                 GetLastInsertRowId(), folderId);
      }
    }
    return CYaError::Success();
  });
  // No binding may point into the batch once it is gone (also when a row failed half-way).
  if (!batch.empty()) {
    InsertFileStatement->Reset();
    InsertFileStatement->ClearBindings();  // cannot fail
  }
  if (error.IsError()) {
    RollbackBulkTransaction();
    cache_->RestoreFileQueue(std::move(batch));
    return error;
  }
  error = CommitBulkTransaction();
  if (error.IsError()) {
    cache_->RestoreFileQueue(std::move(batch));
    return error.Push(FX_LOCATION);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::JoinBulkTransaction() {
  if (!IsBulkInsertModeActive())
    return CYaError::Success();
  // Only when no step of this engine is under way: the batch is then this engine's only transaction.
  if (bulkTransaction_ && GetTransactionDepth() == 1 && IsTransactionDoomed())
    RollbackBulkTransaction();
  if (bulkTransaction_)
    return CYaError::Success();
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    bulkTransaction_ = std::make_unique<FX::CDatabaseTransaction>(this, 0);
    FSDB_RETURN_IF_ERROR(ReplayRolledBackFolders());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::ReplayRolledBackFolders() {
  if (replayFolders_.empty())
    return CYaError::Success();
  std::vector<FolderWrite> pending;
  pending.swap(replayFolders_);
  std::unordered_map<int64_t, int64_t> moved;
  for (const FolderWrite& folder : pending) {
    int64_t id = 0;
    CYaError error = AddFolder(folder.path, folder.item);
    if (!error.IsError())
      error = QueryFolderId(folder.path, id);
    if (error.IsError()) {
      RollbackBulkTransaction();
      replayFolders_ = std::move(pending);  // the queue still names the ids these folders had
      return error.Push(FX_LOCATION);
    }
    if (folder.id > 0 && folder.id != id)
      moved[folder.id] = id;
  }
  FSDB_LOG(0, "Wrote again %zu folders of a batch that was rolled back", pending.size());
  if (moved.empty())
    return CYaError::Success();
  cache_->MoveQueuedFiles(moved);
  return CYaError::Success();
}

CYaError CPathDatabase::CommitBulkTransaction() {
  if (!bulkTransaction_)
    return CYaError::Success();
  CYaError error = bulkTransaction_->Commit();  // rolls back when it fails
  bulkTransaction_.reset();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

void CPathDatabase::RollbackBulkTransaction() {
  bulkTransaction_.reset();  // the guard rolls back, and OnTransactionEnded keeps the folders to replay
}

void CPathDatabase::RecordBulkFolder(const std::string& folderPath, const CDatabaseItemPtr& item,
                                     int64_t id) {
  if (bulkTransaction_)
    bulkFolders_.push_back(FolderWrite{folderPath, item, id});
}

void CPathDatabase::OnTransactionEnded(bool committed) {
  if (!committed) {
    // Ids cached while the transaction ran may name rows that are gone: drop them all (a rollback is
    // rare, a wrong id costly). The batch's folders are written again by the next one.
    cache_->ClearFolderIds();
    replayFolders_.insert(replayFolders_.end(), std::make_move_iterator(bulkFolders_.begin()),
                          std::make_move_iterator(bulkFolders_.end()));
  }
  bulkFolders_.clear();
}

}  // namespace FSDB
