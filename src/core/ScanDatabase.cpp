#include "fsdb/ScanDatabase.h"

#include <new>

#include "core/FullPathDatabase.h"
#include "core/OptimizedPathDatabase.h"
#include "platform/ErrorCodes.h"

namespace FSDB {

CScanDatabaseBase::~CScanDatabaseBase() = default;

CScanDatabase::CScanDatabase() : type_(DATABASE_TYPE_FULL_PATH) {}

std::shared_ptr<CPathDatabase> MakeScanEngine(const std::string& path, DatabaseType type, bool readOnly) {
  if (type == DATABASE_TYPE_OPTIMIZED)
    return std::make_shared<COptimizedPathDatabase>(path, readOnly);
  return std::make_shared<CFullPathDatabase>(path, readOnly);
}

CScanDatabase::CScanDatabase(const std::string& path, DatabaseType type, bool readOnly)
    : engine_(MakeScanEngine(path, type, readOnly)), type_(type) {}

// The engine's destructor closes the database.
CScanDatabase::~CScanDatabase() = default;

namespace {

// What an operation needs: an engine (a default-constructed facade has none) that Open made ready and
// no Close has closed since. Checked here, so that misuse fails instead of reaching a statement that
// does not exist.
CYaError CheckUsable(const std::shared_ptr<CScanDatabasePrivate>& engine, const FXCodeLocation& location) {
  if (!engine) {
    return FXErrorUtil::ErrorWin32(location, FX::kErrorInvalidHandle,
                                   "No database: the object was made without a database path and a layout");
  }
  if (!engine->IsReady()) {
    return FXErrorUtil::ErrorWin32(location, FX::kErrorInvalidHandle,
                                   "The database [%s] is not open: call Open first",
                                   engine->GetDatabaseFile().c_str());
  }
  return CYaError::Success();
}

}  // namespace

// Each operation checks the engine and forwards; FSDB_FORWARD stands for those two lines.
#define FSDB_FORWARD(call)                               \
  do {                                                   \
    CYaError usable = CheckUsable(engine_, FX_LOCATION); \
    if (usable.IsError())                                \
      return usable;                                     \
    return engine_->call;                                \
  } while (0)

CYaError CScanDatabase::SetBulkInsertMode(bool on) {
  FSDB_FORWARD(SetBulkInsertMode(on));
}
void CScanDatabase::SetSingleThreaded(bool singleThreaded) {
  if (engine_)
    engine_->SetNoMutex(singleThreaded);
}
void CScanDatabase::SetJournalInMemory(bool inMemory) {
  if (engine_)
    engine_->SetJournalInMemory(inMemory);
}

CYaError CScanDatabase::Open(bool startLoggingThread) {
  if (!engine_)
    return CheckUsable(engine_, FX_LOCATION);
  return engine_->Open(startLoggingThread);
}
// Closing what is not open is harmless, as closing twice is.
CYaError CScanDatabase::Close() {
  if (!engine_)
    return CheckUsable(engine_, FX_LOCATION);
  return engine_->Close();
}
CYaError CScanDatabase::AddFile(const std::string& path, const CDatabaseItemPtr& item) {
  FSDB_FORWARD(AddFile(path, item));
}
CYaError CScanDatabase::AddFolder(const std::string& path, const CDatabaseItemPtr& item) {
  FSDB_FORWARD(AddFolder(path, item));
}
CYaError CScanDatabase::DeleteFile(const std::string& path, const CDatabaseItemPtr& item) {
  FSDB_FORWARD(DeleteFile(path, item));
}
CYaError CScanDatabase::DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) {
  FSDB_FORWARD(DeleteFolder(path, item));
}
CYaError CScanDatabase::RenameFile(const std::string& oldPath, const std::string& newPath,
                                   const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) {
  FSDB_FORWARD(RenameFile(oldPath, newPath, oldItem, newItem));
}
CYaError CScanDatabase::RenameFolder(const std::string& oldPath, const std::string& newPath,
                                     const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) {
  FSDB_FORWARD(RenameFolder(oldPath, newPath, oldItem, newItem));
}
CYaError CScanDatabase::QueryFolderItems(const std::string& path, int64_t folderId,
                                         std::list<CDatabaseItemPtr>& items) {
  FSDB_FORWARD(QueryFolderItems(path, folderId, items));
}
CYaError CScanDatabase::QueryItem(const std::string& path, CDatabaseItemPtr& item) {
  FSDB_FORWARD(QueryItem(path, item));
}
bool CScanDatabase::IsBulkInsertModeActive() {
  return engine_ && engine_->IsBulkInsertModeActive();
}
CYaError CScanDatabase::Flush() {
  FSDB_FORWARD(FlushQueue());
}
CYaError CScanDatabase::QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) {
  FSDB_FORWARD(QuerySelectedFolders(iterator));
}
CYaError CScanDatabase::QuerySelectedFiles(const std::string& folderPath,
                                           CDatabaseItemIteratorPtr& iterator) {
  FSDB_FORWARD(QuerySelectedFiles(folderPath, iterator));
}

CYaError CScanDatabase::VisitSelectedFiles(const std::string& folderPath,
                                           const std::function<void(const CDatabaseItem&)>& visit) {
  FSDB_FORWARD(VisitSelectedFiles(folderPath, visit));
}

#undef FSDB_FORWARD

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
