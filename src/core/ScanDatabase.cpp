#include "fsdb/ScanDatabase.h"

#include <new>

#include "core/FullPathDatabase.h"
#include "core/OptimizedPathDatabase.h"

namespace FSDB {

CScanDatabaseBase::~CScanDatabaseBase() = default;

CScanDatabase::CScanDatabase() : type_(DATABASE_TYPE_FULL_PATH) {}

CScanDatabase::CScanDatabase(const std::string& path, DatabaseType type, bool readOnly) : type_(type) {
  if (type == DATABASE_TYPE_OPTIMIZED) {
    engine_ = std::make_shared<COptimizedPathDatabase>(path, readOnly);
  } else {
    engine_ = std::make_shared<CFullPathDatabase>(path, readOnly);
  }
}

// The engine's destructor closes the database.
CScanDatabase::~CScanDatabase() = default;

CYaError CScanDatabase::SetBulkInsertMode(bool on) {
  return engine_->SetBulkInsertMode(on);
}
CYaError CScanDatabase::Open(bool startLoggingThread) {
  return engine_->Open(startLoggingThread);
}
CYaError CScanDatabase::Close() {
  return engine_->Close();
}
CYaError CScanDatabase::AddFile(const std::string& path, const CDatabaseItemPtr& item) {
  return engine_->AddFile(path, item);
}
CYaError CScanDatabase::AddFolder(const std::string& path, const CDatabaseItemPtr& item) {
  return engine_->AddFolder(path, item);
}
CYaError CScanDatabase::DeleteFile(const std::string& path, const CDatabaseItemPtr& item) {
  return engine_->DeleteFile(path, item);
}
CYaError CScanDatabase::DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) {
  return engine_->DeleteFolder(path, item);
}
CYaError CScanDatabase::RenameFile(const std::string& oldPath, const std::string& newPath,
                                   const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) {
  return engine_->RenameFile(oldPath, newPath, oldItem, newItem);
}
CYaError CScanDatabase::RenameFolder(const std::string& oldPath, const std::string& newPath,
                                     const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) {
  return engine_->RenameFolder(oldPath, newPath, oldItem, newItem);
}
CYaError CScanDatabase::QueryFolderItems(const std::string& path, int64_t folderId,
                                         std::list<CDatabaseItemPtr>& items) {
  return engine_->QueryFolderItems(path, folderId, items);
}
CYaError CScanDatabase::QueryItem(const std::string& path, CDatabaseItemPtr& item) {
  return engine_->QueryItem(path, item);
}
bool CScanDatabase::IsBulkInsertModeActive() {
  return engine_->IsBulkInsertModeActive();
}
CYaError CScanDatabase::Flush() {
  return engine_->FlushQueue();
}
CYaError CScanDatabase::QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) {
  return engine_->QuerySelectedFolders(iterator);
}
CYaError CScanDatabase::QuerySelectedFiles(const std::string& folderPath,
                                           CDatabaseItemIteratorPtr& iterator) {
  return engine_->QuerySelectedFiles(folderPath, iterator);
}

}  // namespace FSDB

extern "C" {

FSDB::CScanDatabaseBase* GetDatabaseObject(const std::string& path, FSDB::DatabaseType type, bool readOnly) {
  // The factory is the one place that allocates by hand: callers across a dlopen boundary hold a plain
  // pointer and give it back to DestroyDatabaseObject.
  return new (std::nothrow) FSDB::CScanDatabase(path, type, readOnly);
}

void DestroyDatabaseObject(FSDB::CScanDatabaseBase* database) {
  delete database;
}

}  // extern "C"
