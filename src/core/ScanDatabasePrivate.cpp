#include "core/ScanDatabasePrivate.h"

#include "platform/FXPath.h"

namespace FSDB {

namespace {
const char kUnsupported[] = "Base class implementation. Unsupported operation.";
}  // namespace

CScanDatabasePrivate::CScanDatabasePrivate() : FX::CDatabaseBase(OPEN_READ_WRITE) {}

CScanDatabasePrivate::CScanDatabasePrivate(const std::string& path, bool readOnly)
    : FX::CDatabaseBase(readOnly ? OPEN_READ_ONLY : OPEN_READ_WRITE) {
  std::string folder;
  std::string name;
  // A bare file name splits into an empty folder, which the connection takes as the working folder.
  (void)FXPath::SplitParentPath(path, folder, name);
  SetDatabasePath(folder);
  SetDatabaseName(name);
}

CScanDatabasePrivate::~CScanDatabasePrivate() = default;

CYaError CScanDatabasePrivate::OpenDatabase() {
  if (IsOpen())
    return CYaError::Success();
  if (GetDatabaseName().empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "No database file given (path [%s])",
                                   GetDatabaseFile().c_str());
  }
  CYaError error = FX::CDatabaseBase::OpenDatabase();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CScanDatabasePrivate::Open(bool startLoggingThread) {
  // Each step runs through its virtual slot so that the engine's overrides take part.
  ready_ = false;
  CYaError error = OpenDatabase();
  if (error.IsError()) {
    const std::string text = error.AsString();
    return error.Push(FX_LOCATION, "OpenDatabase failed, error=%s", text.c_str());
  }
  error = CreateTables();
  if (error.IsError()) {
    const std::string text = error.AsString();
    return error.Push(FX_LOCATION, "CreateTables failed, error=%s", text.c_str());
  }
  error = CreateStatements();
  if (error.IsError()) {
    const std::string text = error.AsString();
    return error.Push(FX_LOCATION, "CreateStatements failed, error=%s", text.c_str());
  }
  if (startLoggingThread) {
    error = CreateLoggingThread();
    if (error.IsError()) {
      const std::string text = error.AsString();
      return error.Push(FX_LOCATION, "Create Logging thread failed, error=%s", text.c_str());
    }
  }
  ready_ = true;
  return CYaError::Success();
}

bool CScanDatabasePrivate::IsBulkInsertModeActive() {
  return false;
}

// Every operation that no engine overrides refuses in the same way, located at the operation itself.
#define FSDB_UNSUPPORTED() return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kUnsupported)

CYaError CScanDatabasePrivate::SetBulkInsertMode(bool) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::Close() {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::FlushQueue() {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::CreateTables() {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::CreateStatements() {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::DeleteStatements() {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::AddFile(const std::string&, const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::AddFolder(const std::string&, const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::DeleteFile(const std::string&, const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::DeleteFolder(const std::string&, const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::RenameFile(const std::string&, const std::string&, const CDatabaseItemPtr&,
                                          const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::RenameFolder(const std::string&, const std::string&, const CDatabaseItemPtr&,
                                            const CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::QueryFolderItems(const std::string&, int64_t, std::list<CDatabaseItemPtr>&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::QueryItem(const std::string&, CDatabaseItemPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::QuerySelectedFolders(CDatabaseItemIteratorPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::QuerySelectedFiles(const std::string&, CDatabaseItemIteratorPtr&) {
  FSDB_UNSUPPORTED();
}
CYaError CScanDatabasePrivate::CreateLoggingThread() {
  FSDB_UNSUPPORTED();
}

#undef FSDB_UNSUPPORTED

}  // namespace FSDB
