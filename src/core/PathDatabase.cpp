// The engine shared by both layouts: construction, bulk-insert mode, closing, and the slots that the
// base leaves to the layouts.

#include "core/PathDatabase.h"

#include <memory>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace FSDB {

CPathDatabase::CPathDatabase()
    : CScanDatabasePrivate(),
      cache_(std::make_shared<CDatabaseCache>()),
      bulkInsertMode_(false),
      readOnly_(false) {}

CPathDatabase::CPathDatabase(const std::string& path, bool readOnly)
    : CScanDatabasePrivate(path, readOnly),
      cache_(std::make_shared<CDatabaseCache>()),
      bulkInsertMode_(false),
      readOnly_(readOnly) {}

CPathDatabase::~CPathDatabase() {
  try {
    CYaError error = CPathDatabase::Close();
    if (error.IsError())
      FSDB_LOG(0, "Error closing the database due to %s", error.AsString().c_str());
  } catch (const std::exception& exception) {
    FSDB_LOG(0, "Error closing the database due to %s", exception.what());
  }
  // A batch that Close could not write is rolled back now, while the members its end touches live.
  bulkTransaction_.reset();
  // A Close that failed before its last step leaves the logging thread running, and the thread
  // object's destructor would wait for it forever: stop it here.
  if (counters_ && loggingThread_) {
    counters_->SetStopLogging(true);
    (void)loggingThread_->joinThread(nullptr);  // cannot fail from this thread
    loggingThread_.reset();
  }
}

const char* CPathDatabase::PathCollation() const {
  return IsFilesystemCaseSensitive() ? "PATH_COMPONENTS" : "PATH_COMPONENTS_NOCASE";
}

CTimeCounter* CPathDatabase::Counter(CDatabasePerformanceCounters::DatabaseCounter counter) {
  return counter >= 0 && counter < CDatabasePerformanceCounters::COUNTER_COUNT ? counterTable_[counter]
                                                                               : nullptr;
}

CTimeCounter* CPathDatabase::PerRowCounter(CDatabasePerformanceCounters::DatabaseCounter counter) {
  return FsdbLogLevel() >= 0 ? Counter(counter) : nullptr;
}

bool CPathDatabase::IsBulkInsertModeActive() {
  return bulkInsertMode_;
}

CYaError CPathDatabase::SetBulkInsertMode(bool on) {
  if (!on && bulkInsertMode_) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorStateForbids,
                                   "Cannot change bulk insert mode once set from true to false. Please "
                                   "reopen the database and continue. ");
  }
  FSDB_LOG(0, "The Bulk insert mode is set to %s", on ? "True" : "False");
  if (!on)
    return CYaError::Success();
  // The mode starts once the index is gone: a drop that fails (a read-only file, a full disk) leaves
  // the database as it was, with its upsert.
  FSDB_RETURN_IF_ERROR(DropBulkInsertIndexes());
  bulkInsertMode_ = true;
  FSDB_RETURN_IF_ERROR(DeleteStatements());
  FSDB_RETURN_IF_ERROR(CreateStatements());
  return CYaError::Success();
}

CYaError CPathDatabase::Close() {
  if (IsBulkInsertModeActive()) {
    FSDB_RETURN_IF_ERROR(FlushQueue());
    FSDB_RETURN_IF_ERROR(CreateBulkInsertIndexes());
  }
  // The final report is written once, by the Close that stops the thread.
  if (counters_ && loggingThread_) {
    counters_->LogAllPerformanceCounters();
    std::string statistics;
    (void)cache_->GetCacheStatistics(statistics);  // cannot fail; an empty text is logged as such
    FSDB_LOG(0, "Cache Statistics : %s", statistics.c_str());
    counters_->SetStopLogging(true);  // also wakes the thread from its pause
    (void)loggingThread_->joinThread(nullptr);
    loggingThread_.reset();
  }
  ready_ = false;
  FSDB_LOG(2, "Closing the database.");
  return CYaError::Success();
}

// The slots that only a layout can fill (its Folders table, views, statements and folder lookups): the
// base refuses each one the same way, located at the slot.
CYaError CPathDatabase::NotSupportedByBase(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorWin32(location, FX::kErrorNotSupported,
                                 "Base class. This type of database is not supported.");
}

CYaError CPathDatabase::CreateFolderTable() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::CreateViews() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::CreateFolderTableStatements() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::LookUpFolderId(const std::string&, int64_t&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::QueryFolderItem(const std::string&, CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::WriteFolderRow(const std::string&, const CDatabaseItemPtr&, int64_t&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::MoveFolderRows(const FolderMove&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CPathDatabase::AppendChildFolders(const std::string&, int64_t, std::list<CDatabaseItemPtr>&) {
  return NotSupportedByBase(FX_LOCATION);
}
CDatabaseItemPtr CPathDatabase::GetNextSelectedFolderItem() {
  return CDatabaseItemPtr();
}

}  // namespace FSDB
