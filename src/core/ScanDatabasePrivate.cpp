#include "core/ScanDatabasePrivate.h"

#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"

namespace FSDB {

namespace {
// Every slot that the engines fill refuses in the base the same way, located at the slot itself.
CYaError NotSupportedByBase(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorWin32(location, FX::kErrorNotSupported,
                                 "Base class implementation. Unsupported operation.");
}
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
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "No database file given (path [%s])", GetDatabaseFile().c_str());
  }
  FSDB_RETURN_IF_ERROR(FX::CDatabaseBase::OpenDatabase());
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

CYaError CScanDatabasePrivate::SetBulkInsertMode(bool) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::Close() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::FlushQueue() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::CreateTables() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::CreateStatements() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::DeleteStatements() {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::AddFile(const std::string&, const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::AddFolder(const std::string&, const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::DeleteFile(const std::string&, const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::DeleteFolder(const std::string&, const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::RenameFile(const std::string&, const std::string&, const CDatabaseItemPtr&,
                                          const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::RenameFolder(const std::string&, const std::string&, const CDatabaseItemPtr&,
                                            const CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::QueryFolderItems(const std::string&, int64_t, std::list<CDatabaseItemPtr>&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::QueryItem(const std::string&, CDatabaseItemPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::QuerySelectedFolders(CDatabaseItemIteratorPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::QuerySelectedFiles(const std::string&, CDatabaseItemIteratorPtr&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::VisitSelectedFiles(const std::string&,
                                                  const std::function<void(const CDatabaseItem&)>&) {
  return NotSupportedByBase(FX_LOCATION);
}
CYaError CScanDatabasePrivate::CreateLoggingThread() {
  return NotSupportedByBase(FX_LOCATION);
}

}  // namespace FSDB
