// The root of the engine classes.
//
// An engine is itself the SQLite connection (it derives from FX::CDatabaseBase). This class fixes how
// the database file's location is handed to the connection, the open sequence every engine runs, and
// the list of engine operations, each refusing with code 50 until an engine overrides it.
//
// Thread-safety: an engine is driven by one thread (see CPathDatabase for the locks it takes).

#ifndef FSDB_CORE_SCANDATABASEPRIVATE_H_
#define FSDB_CORE_SCANDATABASEPRIVATE_H_

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "fsdb/DatabaseItem.h"
#include "fsdb/Error.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {

class CScanDatabasePrivate : public FX::CDatabaseBase {
 public:
  CScanDatabasePrivate();
  // Splits `path` into folder and file name for the connection; read-only opens with flags 16.
  CScanDatabasePrivate(const std::string& path, bool readOnly);
  ~CScanDatabasePrivate() override;

  // Opens the file unless it is open already. A path without a file name is refused (87): SQLite would
  // open a temporary database, and the data would vanish with it.
  CYaError OpenDatabase() override;
  // Whether Open succeeded and no Close came after it: only then may the operations run.
  bool IsReady() const { return ready_; }
  virtual CYaError SetBulkInsertMode(bool on);
  virtual bool IsBulkInsertModeActive();
  // OpenDatabase, CreateTables, CreateStatements and, when asked, CreateLoggingThread, through the
  // virtual slots; stops at the first failure with the step's message pushed.
  virtual CYaError Open(bool startLoggingThread);
  virtual CYaError Close();
  virtual CYaError FlushQueue();
  virtual CYaError CreateTables();
  virtual CYaError CreateStatements();
  virtual CYaError DeleteStatements();
  virtual CYaError AddFile(const std::string& path, const CDatabaseItemPtr& item);
  virtual CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item);
  virtual CYaError DeleteFile(const std::string& path, const CDatabaseItemPtr& item);
  virtual CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item);
  virtual CYaError RenameFile(const std::string& oldPath, const std::string& newPath,
                              const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem);
  virtual CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                                const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem);
  virtual CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                                    std::list<CDatabaseItemPtr>& items);
  virtual CYaError QueryItem(const std::string& path, CDatabaseItemPtr& item);
  virtual CYaError QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator);
  virtual CYaError QuerySelectedFiles(const std::string& folderPath, CDatabaseItemIteratorPtr& iterator);
  virtual CYaError VisitSelectedFiles(const std::string& folderPath,
                                      const std::function<void(const CDatabaseItem&)>& visit);
  virtual CYaError CreateLoggingThread();
  // See CScanDatabase::SetJournalInMemory; read when a writable Open sets the journal mode.
  void SetJournalInMemory(bool inMemory) { journalInMemory_ = inMemory; }

 protected:
  // Set by a successful Open; an engine's Close clears it once it has succeeded.
  bool ready_ = false;
  bool journalInMemory_ = false;
};

}  // namespace FSDB

#endif  // FSDB_CORE_SCANDATABASEPRIVATE_H_
