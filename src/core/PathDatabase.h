// The engine shared by both folder layouts.
//
// CPathDatabase owns the Files table, its unique index and its statements, the file operations, the
// bulk-insert machinery (file queue, batched flush, index dropped and re-created), the item queries,
// the folder-id cache, the performance counters and their logging thread, and the steps of the folder
// operations that both layouts share. The layouts (CFullPathDatabase, COptimizedPathDatabase) supply
// the Folders table, its views and statements, and the SQL in the middle of each folder operation
// through the virtual slots (WriteFolderRow, MoveFolderRows, AppendChildFolders, LookUpFolderId).
// The definitions are spread over PathDatabase*.cpp, one concern per file.
//
// Thread-safety: the engine is driven by one thread. AddFile and the layouts' AddFolder hold the
// engine lock (recursive) for their whole run; the other operations take no lock and must not run
// concurrently with writes. The logging thread touches only the counters and the cache, which guard
// themselves. Iterators handed out by the queries read cursors kept in the engine: they must not
// outlive it, and one walk of each kind (files, folders) runs at a time.

#ifndef FSDB_CORE_PATHDATABASE_H_
#define FSDB_CORE_PATHDATABASE_H_

#include <cstdint>
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/ScanDatabasePrivate.h"
#include "fsdb/ScanDatabase.h"
#include "platform/WdThread.h"
#include "support/DatabaseCache.h"
#include "support/DatabasePerformanceCounters.h"
#include "support/Locks.h"

namespace FSDB {

// The SQL texts, in one layout's terms, of the folder statements that the core runs for both layouts.
struct FolderStatementTexts {
  const char* selectFolderId;         // ?1 the path (full-path) or ?1 parent id, ?2 name (optimized)
  const char* upsertFolder;           // ?1 parent id, ?2 path or name, ?3.. the attributes
  const char* deleteFolder;           // ?1 folder id
  const char* updateFolder;           // ?1 parent id, ?2 path or name, ?3 folder id, ?4.. the attributes
  const char* selectChildFolders;     // ?1 parent id
  const char* selectSelectedFolders;  // every selected folder, in path order
};

class CPathDatabase : public CScanDatabasePrivate {
 public:
  CPathDatabase();
  CPathDatabase(const std::string& path, bool readOnly);
  // Closes the database (see Close); a failure is logged, never thrown.
  ~CPathDatabase() override;

  // On: drops the unique file index and recompiles the statements with the plain insert; files are
  // then queued. Off after on: 774, the mode stays on.
  CYaError SetBulkInsertMode(bool on) override;
  bool IsBulkInsertModeActive() override;
  // In bulk-insert mode flushes the queue and re-creates the unique index (keeping, for a (folder,
  // name) added twice, the row added last). Writes the final report, stops the logging thread.
  // Harmless when repeated. Must not be called from the logging thread.
  CYaError Close() override;
  // Writes every queued file, with the folders recorded since the last flush, in one transaction (the
  // batch). On failure the batch is rolled back: every file stays queued, and the batch's folders are
  // written again by the next one. Success at once when nothing is queued and no batch is open.
  CYaError FlushQueue() override;
  CYaError CreateTables() override;
  CYaError CreateStatements() override;
  CYaError DeleteStatements() override;
  CYaError AddFile(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError DeleteFile(const std::string& path, const CDatabaseItemPtr& item) override;
  CYaError RenameFile(const std::string& oldPath, const std::string& newPath, const CDatabaseItemPtr& oldItem,
                      const CDatabaseItemPtr& newItem) override;
  CYaError QueryItem(const std::string& path, CDatabaseItemPtr& item) override;
  CYaError QuerySelectedFiles(const std::string& folderPath, CDatabaseItemIteratorPtr& iterator) override;
  CYaError VisitSelectedFiles(const std::string& folderPath,
                              const std::function<void(const CDatabaseItem&)>& visit) override;
  CYaError CreateLoggingThread() override;

  // The folder operations of both layouts. The core runs the steps they share (checks, normalising,
  // the transaction, flushing queued files, the cache); the layout supplies the SQL in the middle
  // through the slots below (WriteFolderRow, MoveFolderRows, AppendChildFolders).
  //
  // Records the folder, adding missing ancestors first with empty items; an existing folder keeps its
  // id and gets the new attributes; "/" updates the root. Empty and relative paths: 87.
  CYaError AddFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Deletes the folder with every folder and file beneath it. The root cannot be deleted (87).
  CYaError DeleteFolder(const std::string& path, const CDatabaseItemPtr& item) override;
  // Moves the folder with its subtree under the parent and name of `newPath`, in one transaction. The
  // new parent must exist; a folder cannot move into its own subtree (87). An empty newItem keeps the
  // attributes.
  CYaError RenameFolder(const std::string& oldPath, const std::string& newPath,
                        const CDatabaseItemPtr& oldItem, const CDatabaseItemPtr& newItem) override;
  // The child folders, then the files, of the folder (looked up when `folderId` < 1).
  CYaError QueryFolderItems(const std::string& path, int64_t folderId,
                            std::list<CDatabaseItemPtr>& items) override;
  // The selected folders in path order, read through GetNextSelectedFolderItem.
  CYaError QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) override;
  // The generator of the selected-folders iterator; null at the end (and always in the base).
  virtual CDatabaseItemPtr GetNextSelectedFolderItem();

  virtual CYaError QueryFolderItem(const std::string& folderPath, CDatabaseItemPtr& item);
  virtual CYaError QueryFileItem(const std::string& path, CDatabaseItemPtr& item);
  // The FolderId of a folder path: the cache first, then the layout's LookUpFolderId; 1168
  // "Folder : [path] not found" when it is not recorded.
  CYaError QueryFolderId(const std::string& folderPath, int64_t& folderId);
  virtual CYaError QueryFileId(const std::string& path, int64_t& fileId, int64_t& folderId);
  virtual CYaError RegisterCallbacks();
  virtual CYaError CreateFolderTable();
  virtual CYaError CreateFileTable();
  virtual CYaError CreateIndexes();
  virtual CYaError CreateViews();
  virtual CYaError CreateFileTableStatements();
  virtual CYaError CreateFolderTableStatements();
  virtual CYaError DropBulkInsertIndexes();
  virtual CYaError CreateBulkInsertIndexes();
  virtual CYaError SetDatabaseOptions();
  virtual CYaError CreatePerformanceCounters();
  // The column of Folders that names a folder: "FullyQualifiedPath" or "FolderName" ("" in the base).
  virtual const char* FolderNameColumn() const { return ""; }
  // Refuses, before anything is written, a file that holds a schema but not this layout's Folders and
  // Files tables (13, "... is not a scan database ..."); a read-only open also refuses a file without
  // any table. A file that is no SQLite database at all fails with SQLite's own error.
  CYaError CheckExistingSchema();

  bool IsFilesystemCaseSensitive() const { return true; }
  // Writes the base rows 1 ("-", its own parent) and 2 ("/", the root).
  CYaError CreateBaseFolders();
  // The generator of the selected-files iterator, through ReadSelectedFile.
  CDatabaseItemPtr GetNextSelectedFileItem();
  // The item of the selected-folders cursor's row, stepping past it; empty at the end. The columns are
  // the layout's: its id, its path, its first attribute, and its parent id (-1 where the layout's log
  // line leaves the parent out).
  CDatabaseItemPtr TakeSelectedFolderRow(int idColumn, int pathColumn, int attributesColumn,
                                         int parentColumn);
  // The walk of the selected files directly in a folder without an iterator, as the comparison reads
  // them: StartSelectedFiles runs the query for folder `folderId`, or for the folder `folderPath` names
  // when `folderId` < 1 (a folder that is not recorded has no selected files); `folderPath` gives the
  // files' paths in either case. ReadSelectedFile fills `item`, a new item, and `path` (the item's path)
  // from the current row and moves on; false at the end. It throws CSQLite3Exception. A new walk of
  // either kind ends the one in progress.
  CYaError StartSelectedFiles(const std::string& folderPath, int64_t folderId);
  bool ReadSelectedFile(CDatabaseItem& item, std::string& path);
  std::shared_ptr<CDatabaseCache> GetDatabaseCache() { return cache_; }
  std::shared_ptr<CDatabasePerformanceCounters> GetPerformanceCounters() { return counters_; }
  // The logging thread's body; `database` is the CPathDatabase.
  static void* PerformanceLoggingThread(void* database);

 protected:
  // "PATH_COMPONENTS" or "PATH_COMPONENTS_NOCASE", as the file system asks.
  const char* PathCollation() const;
  // Creates the table `name` (when missing) from its definition split around the path column's
  // collation: `head` + PathCollation() + `tail`.
  CYaError CreateCollatedTable(const char* name, const char* head, const char* tail);
  // The counter for an operation, or null before the counters exist.
  CTimeCounter* Counter(CDatabasePerformanceCounters::DatabaseCounter counter);
  // The counter of an operation that runs once per row (a file or folder added, a selected file read).
  // The counters are only ever seen in the report written at level 0: while no writer would write it,
  // this is null and the rows are spared two clock reads each.
  CTimeCounter* PerRowCounter(CDatabasePerformanceCounters::DatabaseCounter counter);
  // Binds the eight attribute columns (Inode .. Metadata) of `item` to ?first .. ?first+7. With
  // `metadata`, the Metadata text is bound without a copy, from the item itself (or, for a derived item,
  // from its GetMetadata stored in `metadata`): both must then be left alone until the statement has run.
  static void BindItemAttributes(FX::CSQLite3Statement& statement, int first, const CDatabaseItem& item,
                                 std::string* metadata = nullptr);
  // Binds the row's present attribute columns (`column` .. `column`+7 of the cursor, NULLs kept) to
  // ?first .. ?first+7: a rename without a new item keeps what the row holds.
  static void BindRowAttributes(FX::CSQLite3Statement& statement, int first, const FX::CSQLite3Query& row,
                                int column);
  // Fills an item from the attribute columns `column` .. `column`+7 of a row (Inode .. Metadata).
  static void DecodeAttributes(const FX::CSQLite3Query& row, int column, CDatabaseItem& item);
  // A new item from a Files row: Id, attributes, name; the caller sets the path.
  static CDatabaseItemPtr DecodeFileRow(const FX::CSQLite3Query& row);
  // The same into a new item the caller made.
  static void DecodeFileRow(const FX::CSQLite3Query& row, CDatabaseItem& item);
  // A new folder item with the given id: `path` without its trailing separator as the path, its last
  // component as the name, the attribute columns from `column` on.
  static CDatabaseItemPtr DecodeFolderRow(const FX::CSQLite3Query& row, int64_t id, std::string path,
                                          int column);
  // Appends the files of folder `folderId` to `items`, their paths built under `folderPath`.
  CYaError AppendFolderFiles(const std::string& folderPath, int64_t folderId,
                             std::list<CDatabaseItemPtr>& items);
  // In bulk-insert mode, opens (once) the transaction that the folders and files of a scan share until
  // the next flush: one commit per batch instead of one per new folder. A batch that can no longer
  // commit (a step of it failed) is rolled back first. A new batch starts by writing again the folders
  // of a batch that was rolled back, and points the queued files at their new ids. Outside bulk-insert
  // mode, does nothing.
  CYaError JoinBulkTransaction();
  // Commits the bulk-insert transaction, if one is open; on failure it is rolled back.
  CYaError CommitBulkTransaction();
  // Rolls the bulk-insert transaction back, if one is open: its folders are remembered to be written
  // again, the queued files stay queued.
  void RollbackBulkTransaction();
  // In bulk-insert mode, remembers a folder written inside the batch, so that a rolled-back batch can be
  // written again; `id` is its row, or -1 when not known (an existing row updated).
  void RecordBulkFolder(const std::string& folderPath, const CDatabaseItemPtr& item, int64_t id);
  // A rolled-back transaction leaves cached folder ids that name no row: they are all dropped.
  void OnTransactionEnded(bool committed) override;
  // Writes every queued file when files are queued, so that an operation on files or folders sees
  // them in the table (and a deleted folder never leaves queued files without their folder).
  CYaError FlushPendingFiles();
  // The id of the folder `parent` that a folder or file is added to. When it is not recorded it is
  // added first, with an empty item, after its missing ancestors (top down, one level at a time: no
  // recursion however deep the path), and looked up again; `parent` then ends with the separator.
  CYaError QueryOrAddParentFolder(std::string& parent, int64_t& parentId);
  // What deleting a folder does in both layouts, for a normalised path: flush queued files, look the
  // folder up, delete its row (the foreign keys remove everything beneath), forget its cached ids.
  // The root cannot be deleted (87).
  CYaError DeleteFolderRow(const std::string& folderPath);
  // Inside the caller's transaction, when folder `folderId`'s subtree is deeper than SQLite lets a
  // cascade go: deletes the deep parts first, in shallow slices. Throws CSQLite3Exception.
  CYaError CutDeepSubtree(int64_t folderId);
  // The checks and lookups of moving a folder, for normalised paths, inside the caller's transaction:
  // the root cannot move nor be replaced, and no folder moves into its own subtree (87); then the ids of
  // the folder and of its new parent, and the new name.
  CYaError PrepareFolderMove(const std::string& oldFolder, const std::string& newFolder, int64_t& folderId,
                             int64_t& newParentId, std::string& newName);
  // Binds UpdateFolderStatement for moving folder `folderId`: ?1 the new parent, ?2 the new name or
  // path, ?3 the folder; ?4..?11 the new item's attributes or, without one, the attributes the folder's
  // row holds now, read through `currentRow` (a statement bound to select that row).
  void BindFolderUpdate(int64_t newParentId, const std::string& nameOrPath, int64_t folderId,
                        const CDatabaseItemPtr& newItem, FX::CSQLite3Statement& currentRow);
  // Checks a folder path given for a change: absolute, not empty; normalised with its trailing
  // separator into `folderPath`.
  static CYaError NormalizeFolderPath(const std::string& path, std::string& folderPath);
  // The form a layout records and caches a changed folder under: NormalizeFolderPath in the base.
  virtual CYaError NormalizeChangedFolderPath(const std::string& path, std::string& folderPath);

  // A folder move as the core has prepared it: the paths as given and normalised, the ids looked up.
  struct FolderMove {
    const std::string& oldPath;
    const std::string& newPath;
    const std::string& oldFolder;
    const std::string& newFolder;
    int64_t folderId;
    int64_t newParentId;
    const std::string& newName;
    const CDatabaseItemPtr& newItem;
  };
  // The layouts' middles, run inside the core's transaction (they may throw CSQLite3Exception); each
  // answers 50 in the base.
  //
  // Adds the missing parents of `folderPath` and upserts its row with `item`'s attributes; `folderId` is
  // the row's id when known, else -1.
  virtual CYaError WriteFolderRow(const std::string& folderPath, const CDatabaseItemPtr& item,
                                  int64_t& folderId);
  // Finds the id of folder `path` in the table (the cache missed) and caches it.
  virtual CYaError LookUpFolderId(const std::string& path, int64_t& folderId);
  // For WriteFolderRow: adds the missing ancestors up to `parent` (none when empty: the root hangs below
  // row 1) and upserts the folder's row, ?1 its parent's id, ?2 `stored` (its path or name), then its
  // attributes. `lastInsertBefore` is the connection's last insert id before the upsert, `changes` the
  // rows it changed. Throws CSQLite3Exception.
  CYaError UpsertFolderRow(std::string parent, const std::string& stored, const CDatabaseItem& item,
                           int64_t& parentId, int64_t& lastInsertBefore, int& changes);
  // Gives the folder its new parent and name (and its descendants their new stored paths).
  virtual CYaError MoveFolderRows(const FolderMove& move);
  // Appends the child folders of folder `folderId` to `items`, their paths built under `folderPath`.
  virtual CYaError AppendChildFolders(const std::string& folderPath, int64_t folderId,
                                      std::list<CDatabaseItemPtr>& items);
  // The same for a folder a query lists, where "" also names the root (as the selected-folders walk
  // calls it).
  static CYaError NormalizeListedFolderPath(const std::string& path, std::string& folderPath);
  // One SQL text and the member that receives its compiled statement.
  typedef std::pair<const char*, boost::shared_ptr<FX::CSQLite3Statement>*> StatementSource;
  // Compiles a layout's folder statements into the members the core runs them from.
  CYaError CompileFolderStatements(const FolderStatementTexts& texts);
  // Compiles the statements in order; the first failure is returned. Each member named here is
  // remembered, and DeleteStatements drops them all: a layout's own statements need no slot of their own.
  CYaError CompileStatements(std::initializer_list<StatementSource> statements);
  // Checks a file path given for a change (see NormalizePath) and splits its normalised form; a path
  // that names no file ("/") is refused with 87.
  static CYaError NormalizeFilePath(const std::string& path, std::string& filePath, std::string& parent,
                                    std::string& name);
  // Looks the folder of file `path` up and runs `statement` (?1 folder id, ?2 name) for the file's row.
  // Throws CSQLite3Exception.
  CYaError FindFileRow(const std::string& path, FX::CSQLite3Statement& statement, std::string& parent,
                       int64_t& folderId, boost::shared_ptr<FX::CSQLite3Query>& row);
  // After a folder was deleted or renamed: forget the cached ids of `folderPath` and of every path
  // beneath it, so that no lookup answers with a stale id.
  void ForgetCachedFolderTree(const std::string& folderPath);

  // Folder statements; a layout compiles those it uses.
  boost::shared_ptr<FX::CSQLite3Statement> SelectFolderItemStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectFolderIdStatement;
  boost::shared_ptr<FX::CSQLite3Statement> UpsertFolderStatement;
  boost::shared_ptr<FX::CSQLite3Statement> DeleteFolderStatement;
  boost::shared_ptr<FX::CSQLite3Statement> UpdateFolderStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectChildFoldersStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectSelectedFoldersStatement;
  // File statements.
  boost::shared_ptr<FX::CSQLite3Statement> SelectFileItemStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectFileIdStatement;
  // The plain insert in bulk-insert mode, the upsert otherwise.
  boost::shared_ptr<FX::CSQLite3Statement> InsertFileStatement;
  boost::shared_ptr<FX::CSQLite3Statement> DeleteFileStatement;
  boost::shared_ptr<FX::CSQLite3Statement> UpdateFileStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectFolderFilesStatement;
  boost::shared_ptr<FX::CSQLite3Statement> SelectSelectedFilesStatement;
  // Every member CompileStatements has filled, in the order first filled.
  std::vector<boost::shared_ptr<FX::CSQLite3Statement>*> compiledStatements_;

  boost::shared_ptr<FX::CSQLite3Query> SelectedFoldersQuery;  // the selected-folders walk in progress
  boost::shared_ptr<FX::CSQLite3Query> selectedFilesQuery_;
  std::string selectedFilesFolder_;  // ends with the separator
  std::shared_ptr<CDatabaseCache> cache_;
  std::shared_ptr<CDatabasePerformanceCounters> counters_;
  // The counters' table, looked up once: every timed operation needs its counter, and asking the
  // counters object takes a process-wide lock.
  CTimeCounter* counterTable_[CDatabasePerformanceCounters::COUNTER_COUNT] = {};
  std::shared_ptr<WdThread> loggingThread_;
  bool bulkInsertMode_;
  // Open from the first addition in bulk-insert mode until the next flush (see JoinBulkTransaction).
  std::unique_ptr<FX::CDatabaseTransaction> bulkTransaction_;
  bool readOnly_;
  FXCriticalSection engineLock_;
  // AddFile's working strings (the normalised path, its folder and name), kept so that their buffers
  // serve file after file instead of being allocated for each: AddFile runs under the engine lock and
  // never calls itself.
  std::string addFilePath_;
  std::string addFileParent_;
  std::string addFileName_;

 private:
  // What every slot that only a layout fills answers in the base: 50, "Base class. This type of
  // database is not supported.", made at `location`.
  static CYaError NotSupportedByBase(const FXCodeLocation& location);
  // Creates the unique file index; when duplicate (folder, name) rows prevent it, keeps the row added
  // last of each and tries again.
  CYaError CreateFileIndexKeepingLatest();
  // Writes again the folders of a rolled-back batch, inside the new one, and moves the queued files of
  // those folders to the new ids.
  CYaError ReplayRolledBackFolders();

  struct FolderWrite {
    std::string path;
    CDatabaseItemPtr item;
    int64_t id;
  };
  std::vector<FolderWrite> bulkFolders_;    // written in the open bulk-insert transaction, in order
  std::vector<FolderWrite> replayFolders_;  // of a rolled-back batch, to be written again
};

// The engine of the layout `type` (1: folders by parent and name; anything else: by full path) on the
// SQLite file `path`; opens nothing. The facade makes its engine here, and so does the comparison, which
// keeps its engines to itself.
std::shared_ptr<CPathDatabase> MakeScanEngine(const std::string& path, DatabaseType type, bool readOnly);

}  // namespace FSDB

#endif  // FSDB_CORE_PATHDATABASE_H_
