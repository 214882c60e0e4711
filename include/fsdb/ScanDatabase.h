// The scan database: what a caller of the library sees.
//
// A scan database records, in one SQLite file, every folder and file that a scan of a file system
// reported. CScanDatabaseBase is the interface; CScanDatabase implements it by forwarding every call to
// an engine of the layout chosen by DatabaseType (1: folders stored by parent and name; anything
// else: folders stored by full path). GetDatabaseObject and DestroyDatabaseObject are exported under
// plain C names so that a program can load the library with dlopen.
//
// Expected call order: GetDatabaseObject (or the constructor), Open, optionally SetBulkInsertMode(true)
// before a large number of AddFile calls, adds/deletes/renames/queries, Flush when queued files must
// reach the file, Close, DestroyDatabaseObject. An operation before Open or after Close fails with 6
// (Close itself is harmless then); Open after Close opens the database again.
//
// Paths are absolute, '/'-separated; a folder may be given with or without its trailing '/'.
// Thread-safety: a database is driven by one thread. AddFile and AddFolder hold the engine's lock;
// the other operations must not run concurrently with writes on the same database.

#ifndef FSDB_SCANDATABASE_H_
#define FSDB_SCANDATABASE_H_

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "fsdb/DatabaseItem.h"
#include "fsdb/Error.h"

namespace FSDB {

class CScanDatabasePrivate;

enum DatabaseType : int32_t {
  DATABASE_TYPE_FULL_PATH = 0,
  DATABASE_TYPE_OPTIMIZED = 1,
};

class FSDB_EXPORT CScanDatabaseBase {
 public:
  virtual ~CScanDatabaseBase();

  // On: drops the unique file index and queues files, written in batches of 3000. Off after on fails
  // with 774: the mode can only be left by reopening the database.
  virtual CYaError SetBulkInsertMode(bool on) = 0;
  // Opens (creating it if needed) the file, its schema and statements; with startLoggingThread, also
  // a thread that writes performance reports.
  virtual CYaError Open(bool startLoggingThread) = 0;
  // Flushes queued files and re-creates the bulk-insert index; writes the final report and stops the
  // logging thread. Calling it twice is harmless.
  virtual CYaError Close() = 0;
  // Records a file (creating its folder and missing ancestors). Call item->FormMetadata() first.
  virtual CYaError AddFile(const std::string& path, const CDatabaseItemPtr& item) = 0;
  // Records a folder (creating missing ancestors with empty items), or updates its attributes.
  virtual CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item) = 0;
  virtual CYaError DeleteFile(const std::string& path, const CDatabaseItemPtr& item) = 0;
  // Deletes a folder with every folder and file beneath it.
  virtual CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) = 0;
  // Moves a file; an empty newItem keeps the row's attributes.
  virtual CYaError RenameFile(const std::string& oldPath, const std::string& newPath,
                              const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) = 0;
  // Moves a folder with its subtree; an empty newItem keeps the row's attributes.
  virtual CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                                const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) = 0;
  // Appends the folder's subfolders, then its files, to `items`. A folderId below 1 means: look the
  // folder up by `path`; otherwise `path` only serves to build the children's paths.
  virtual CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                                    std::list<CDatabaseItemPtr>& items) = 0;
  // The folder or file at `path` (tried as a folder first). 1168 when neither exists.
  virtual CYaError QueryItem(const std::string& path, CDatabaseItemPtr& item) = 0;
};

class FSDB_EXPORT CScanDatabase : public CScanDatabaseBase {
 public:
  // Not usable: there is no engine, and every operation fails with 6.
  CScanDatabase();
  // Makes the engine for `type` on the SQLite file `path`; opens nothing.
  CScanDatabase(const std::string& path, DatabaseType type, bool readOnly = false);
  ~CScanDatabase() override;

  CYaError SetBulkInsertMode(bool on) override;
  CYaError Open(bool startLoggingThread) override;
  CYaError Close() override;
  CYaError AddFile(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError DeleteFile(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError RenameFile(const std::string& oldPath, const std::string& newPath, const CDatabaseItemPtr& oldItem,
                      const CDatabaseItemPtr& newItem) override;
  CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                        const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) override;
  CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                            std::list<CDatabaseItemPtr>& items) override;
  CYaError QueryItem(const std::string& path, CDatabaseItemPtr& item) override;

  // A promise that this database is used by one thread at a time, as a scan that one thread writes
  // is: its connection then goes without SQLite's per-connection mutex, which every step, bind and
  // column read would take (the logging thread never touches the connection). Takes effect at the next
  // Open; off by default.
  void SetSingleThreaded(bool singleThreaded);
  // For a file that its caller throws away unless the work on it finishes, such as a new scan written
  // to a temporary file that replaces the real one only once complete: the rollback journal is kept in
  // memory instead of a write-ahead log beside the file, so every page is written once, into the file,
  // and Close leaves the file in rollback-journal mode. Transactions still roll back (a failed batch,
  // a full disk), but a crash of the process can leave the file corrupt. Takes effect at the next
  // writable Open; off by default.
  void SetJournalInMemory(bool inMemory);
  bool IsBulkInsertModeActive();
  // Writes the queued files now (success at once outside bulk-insert mode).
  CYaError Flush();
  // An iterator over every selected folder, in path order. One walk per database at a time.
  CYaError QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator);
  // An iterator over the selected files directly in `folderPath`, in name order; at its end at once
  // when the folder is not recorded. One walk per database at a time.
  CYaError QuerySelectedFiles(const std::string& folderPath, CDatabaseItemIteratorPtr& iterator);
  // Calls `visit` with each file that QuerySelectedFiles would give, in the same order and with the
  // same values, but through one item that each row overwrites: once its strings have grown, reading a
  // file allocates nothing. The item is valid only during the call; copy what must outlive it. Ends a
  // walk of QuerySelectedFiles in progress.
  CYaError VisitSelectedFiles(const std::string& folderPath,
                              const std::function<void(const CDatabaseItem&)>& visit);

 private:
  std::shared_ptr<CScanDatabasePrivate> engine_;
  DatabaseType type_;
};

}  // namespace FSDB

extern "C" {
// A new facade, usable as a CScanDatabaseBase; null when it cannot be allocated. Destroy it with
// DestroyDatabaseObject.
FSDB_EXPORT FSDB::CScanDatabaseBase* GetDatabaseObject(const std::string& path, FSDB::DatabaseType type,
                                                       bool readOnly);
// Destroys a database made by GetDatabaseObject (closing it if it is open); nothing for null.
FSDB_EXPORT void DestroyDatabaseObject(FSDB::CScanDatabaseBase* database);
}

#endif  // FSDB_SCANDATABASE_H_
