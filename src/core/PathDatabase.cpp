#include "core/PathDatabase.h"

#include <functional>
#include <memory>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "core/PathOrdering.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

const char kNotSupported[] = "Base class. This type of database is not supported.";

const char kFileTableHead[] =
    "(FileId INTEGER NOT NULL PRIMARY KEY, FolderId INTEGER , FileName VARCHAR COLLATE ";
const char kFileTableTail[] =
    ",Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,LastChangeTime "
    "BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT parent_folder FOREIGN KEY "
    "(FolderId) "
    "REFERENCES Folders(FolderId) ON DELETE CASCADE)";

const char kCreateFileIndex[] =
    "CREATE UNIQUE INDEX IF NOT EXISTS index_files_folderidfilename ON Files(FolderId,FileName);";
const char kDropFileIndex[] = "DROP INDEX IF EXISTS index_files_folderidfilename;";
// Keeps, for each (folder, name), the row added last: rows get ever larger ids, so the largest wins.
const char kDeleteDuplicateFiles[] =
    "DELETE FROM Files WHERE FileId NOT IN (SELECT MAX(FileId) FROM Files GROUP BY FolderId, FileName);";

const char kSelectFileItem[] = "SELECT * FROM Files WHERE FolderId=?1 AND FileName=?2";
const char kSelectFileId[] = "SELECT FileId FROM Files WHERE FolderId=?1 AND FileName=?2";
const char kInsertFile[] =
    "INSERT INTO Files(FolderId, FileName, Inode, FileSize, LastAccessTime, LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10);";
const char kUpsertFile[] =
    "INSERT INTO Files(FolderId, FileName, Inode, FileSize, LastAccessTime, LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10) ON CONFLICT "
    "(FolderId, FileName) DO UPDATE SET Inode=excluded.Inode, FileSize=excluded.FileSize,  "
    "LastAccessTime=excluded.LastAccessTime, LastModificationTime=excluded.LastModificationTime, "
    "LastChangeTime=excluded.LastChangeTime,  Dirchange=excluded.Dirchange, Collect=excluded.Collect, "
    "Metadata=excluded.Metadata ;";
const char kDeleteFile[] = "DELETE FROM Files WHERE Files.FolderId=?1 AND Files.FileName=?2";
const char kUpdateFile[] =
    "UPDATE Files SET FolderId=?1, FileName=?2, Inode=?4, FileSize=?5, LastAccessTime=?6, "
    "LastModificationTime=?7, LastChangeTime=?8, Dirchange=?9, Collect=?10, Metadata=?11 WHERE "
    "Files.FileId=?3";
const char kSelectFolderFiles[] = "SELECT * FROM Files where FolderId=?1";
const char kSelectSelectedFiles[] =
    "SELECT * FROM Files WHERE FolderId=?1 AND DIRCHANGE = 1 ORDER BY FileName";

const char kCountSchemaObjects[] = "SELECT COUNT(*) FROM sqlite_master";
const char kSelectColumns[] = "SELECT name FROM pragma_table_info(?1)";
// The attribute columns that both tables share, after their first three.
const char* const kAttributeColumns[] = {
    "Inode",          "FileSize",  "LastAccessTime", "LastModificationTime",
    "LastChangeTime", "Dirchange", "Collect",        "Metadata"};

// Every folder of the subtree of ?1 with its depth below it (?1 itself at 0), through the parent links
// that both layouts keep. A statement is appended.
const char kSubtreeWalk[] =
    "WITH RECURSIVE subtree(id, depth) AS (SELECT ?1, 0 UNION ALL SELECT F.FolderId, subtree.depth + 1 FROM "
    "Folders F, subtree WHERE F.ParentFolderId = subtree.id) ";

const char kCountBaseFolders[] = "SELECT COUNT(*) FROM Folders WHERE FolderId IN (1, 2)";

// The two rows every writable database holds: "-" (row 1, its own parent) and the root "/" (row 2).
const char* const kBaseFolderNames[] = {"-", "/"};

const int kLoggingPauseMilliseconds = 10000;
const int kLoggingPauseSeconds = 10;

}  // namespace

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

// ---------------------------------------------------------------------------------------------------
// Schema and statements

CYaError CPathDatabase::CreateTables() {
  // Another program's file must be refused before the journal mode or a table changes it.
  CYaError error = CheckExistingSchema();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  error = SetDatabaseOptions();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  error = RegisterCallbacks();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  try {
    // One transaction for the whole schema: a process killed half-way leaves no file with Folders but
    // without Files, which the check above would then refuse for good.
    FX::CDatabaseTransaction transaction(this, 0);
    error = CreateFolderTable();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = CreateFileTable();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = CreateIndexes();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = CreateViews();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = transaction.Commit();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  error = CreatePerformanceCounters();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::CheckExistingSchema() {
  const std::string file = GetDatabaseFile();
  try {
    boost::shared_ptr<FX::CSQLite3Statement> statement;
    CYaError error = CompileStatement(kCountSchemaObjects, statement);
    if (error.IsError())
      return error.Push(FX_LOCATION, "cannot read the schema of %s", file.c_str());
    if (statement->ExecQuery()->GetIntField(0, 0) == 0) {
      if (!readOnly_)
        return CYaError::Success();  // a new (or empty) file: the schema is created next
      return FXErrorUtil::ErrorWin32(FX_LOCATION, 13, "[%s] is not a scan database: it holds no tables",
                                     file.c_str());
    }
    error = CompileStatement(kSelectColumns, statement);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    const std::pair<const char*, std::vector<std::string>> tables[] = {
        {"Folders", {"FolderId", "ParentFolderId", FolderNameColumn()}},
        {"Files", {"FileId", "FolderId", "FileName"}},
    };
    for (const auto& table : tables) {
      std::vector<std::string> expected = table.second;
      expected.insert(expected.end(), std::begin(kAttributeColumns), std::end(kAttributeColumns));
      std::vector<std::string> columns;
      statement->Reset();
      statement->Bind(1, table.first);
      for (auto row = statement->ExecQuery(); !row->Eof(); row->NextRow())
        columns.push_back(row->GetStringField(0, ""));
      if (columns != expected) {
        std::string found;
        for (const std::string& column : columns)
          found += (found.empty() ? "" : ",") + column;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, 13,
                                       "[%s] is not a scan database of this layout: table %s has the columns "
                                       "(%s)",
                                       file.c_str(), table.first, found.c_str());
      }
    }
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION, "cannot read %s", file.c_str());
  }
  return CYaError::Success();
}

CYaError CPathDatabase::SetDatabaseOptions() {
  // Switching the journal mode writes the file header: a read-only open keeps the mode the file has (and
  // works on a file it may not write). A file kept in rollback-journal mode is so read without leaving
  // -wal and -shm files beside it.
  if (!readOnly_) {
    CYaError error = Execute("PRAGMA journal_mode=WAL;");
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FSDB_LOG(2, "Setting Database journal mode to WAL");
  }
  CYaError error = Execute("PRAGMA synchronous=off;");
  if (error.IsError())
    return error.Push(FX_LOCATION);
  FSDB_LOG(2, "Setting Database synchronous mode to off");
  error = Execute("PRAGMA foreign_keys=ON;");
  if (error.IsError())
    return error.Push(FX_LOCATION);
  FSDB_LOG(2, "Setting Database Foreign keys mode to on");
  return CYaError::Success();
}

CYaError CPathDatabase::RegisterCallbacks() {
  // The handler lives in the connection, which this engine owns, so `this` outlives it.
  RegisterCollationNeededHandler([this](int encoding, const std::string& name) {
    if (FXString::MatchesNoCase(name, "PATH_COMPONENTS")) {
      FSDB_LOG(2, "Registering PATH_COMPONENTS");
      (void)RegisterCollationHandler(encoding, name, sqlite_collation_bypath);  // SQLite reports the miss
    } else if (FXString::MatchesNoCase(name, "PATH_COMPONENTS_NOCASE")) {
      FSDB_LOG(2, "Registering PATH_COMPONENTS_NOCASE");
      (void)RegisterCollationHandler(encoding, name, sqlite_collation_bypath_nocase);  // likewise
    }
  });
  return CYaError::Success();
}

CYaError CPathDatabase::CreateFolderTable() {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kNotSupported);
}
CYaError CPathDatabase::CreateViews() {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kNotSupported);
}
CYaError CPathDatabase::CreateFolderTableStatements() {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kNotSupported);
}

CYaError CPathDatabase::CreateFileTable() {
  std::string definition = kFileTableHead;
  definition += PathCollation();
  definition += kFileTableTail;
  CYaError error = CreateTable("Files", definition);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::CreateIndexes() {
  CYaError error = CreateFileIndexKeepingLatest();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::DropBulkInsertIndexes() {
  CYaError error = Execute(kDropFileIndex);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::CreateBulkInsertIndexes() {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::CREATE_INDEX));
  CYaError error = CreateFileIndexKeepingLatest();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::CreateFileIndexKeepingLatest() {
  CYaError error = Execute(kCreateFileIndex);
  int code = 0;
  // A read-only connection cannot build the index that a scan cut short in bulk-insert mode left
  // missing; the database still reads correctly without it, only slower.
  if (readOnly_ && FXErrorUtil::IsSQLite(error, &code) && (code & 0xFF) == 8 /* SQLITE_READONLY */) {
    FSDB_LOG(0, "The file index of %s is missing and cannot be created read-only; reading without it",
             GetDatabaseName().c_str());
    return CYaError::Success();
  }
  // A file recorded twice during a bulk scan (the index is absent then) would make the index, and so
  // every later open, fail. Keep what the upsert would have kept: the row added last. This costs
  // nothing when there are no duplicates.
  if (!error.IsError() || !FXErrorUtil::IsSQLite(error, &code) ||
      (code & 0xFF) != 19 /* SQLITE_CONSTRAINT */) {
    if (error.IsError())
      return error.Push(FX_LOCATION);
    return CYaError::Success();
  }
  boost::shared_ptr<FX::CSQLite3Statement> deleteDuplicates;
  error = CompileStatement(kDeleteDuplicateFiles, deleteDuplicates);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  try {
    const int removed = deleteDuplicates->ExecDML();
    FSDB_LOG(0, "Removed %d duplicate file rows (the same folder and name added twice in bulk-insert mode)",
             removed);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  error = Execute(kCreateFileIndex);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::CreateStatements() {
  CYaError error = CreateFolderTableStatements();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  error = CreateFileTableStatements();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  if (!readOnly_) {
    error = CreateBaseFolders();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::CreateFileTableStatements() {
  const std::pair<const char*, boost::shared_ptr<FX::CSQLite3Statement>*> statements[] = {
      {kSelectFileItem, &SelectFileItemStatement},
      {kSelectFileId, &SelectFileIdStatement},
      // The plain insert while the unique index that the upsert's conflict target needs is dropped, and
      // on a read-only connection, which writes nothing and may find the index missing (a bulk scan cut
      // short leaves it so).
      {bulkInsertMode_ || readOnly_ ? kInsertFile : kUpsertFile, &InsertFileStatement},
      {kDeleteFile, &DeleteFileStatement},
      {kUpdateFile, &UpdateFileStatement},
      {kSelectFolderFiles, &SelectFolderFilesStatement},
      {kSelectSelectedFiles, &SelectSelectedFilesStatement},
  };
  for (const auto& statement : statements) {
    CYaError error = CompileStatement(statement.first, *statement.second);
    if (error.IsError())
      return error.Push(FX_LOCATION);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::DeleteStatements() {
  boost::shared_ptr<FX::CSQLite3Statement>* const statements[] = {&SelectFolderItemStatement,
                                                                  &SelectFolderIdStatement,
                                                                  &UpsertFolderStatement,
                                                                  &DeleteFolderStatement,
                                                                  &UpdateFolderStatement,
                                                                  &SelectChildFoldersStatement,
                                                                  &SelectSelectedFoldersStatement,
                                                                  &SelectFileItemStatement,
                                                                  &SelectFileIdStatement,
                                                                  &InsertFileStatement,
                                                                  &DeleteFileStatement,
                                                                  &UpdateFileStatement,
                                                                  &SelectFolderFilesStatement,
                                                                  &SelectSelectedFilesStatement};
  for (auto* statement : statements)
    statement->reset();
  return CYaError::Success();
}

CYaError CPathDatabase::CreateBaseFolders() {
  try {
    // The base rows are written only when missing: rewriting them through the upsert would reset the
    // root's attributes (its selection among them) at every open.
    boost::shared_ptr<FX::CSQLite3Statement> count;
    CYaError error = CompileStatement(kCountBaseFolders, count);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    boost::shared_ptr<FX::CSQLite3Query> rows = count->ExecQuery();
    if (!rows->Eof() && rows->GetIntField(0, 0) == 2)
      return CYaError::Success();
    rows.reset();
    FX::CDatabaseTransaction transaction(this, 0);
    for (const char* name : kBaseFolderNames) {
      UpsertFolderStatement->Reset();
      UpsertFolderStatement->ClearBindings();
      UpsertFolderStatement->Bind(1, 1);
      UpsertFolderStatement->Bind(2, name);
      UpsertFolderStatement->ExecDML();
    }
    error = transaction.Commit();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// Lifecycle and bulk-insert mode

bool CPathDatabase::IsBulkInsertModeActive() {
  return bulkInsertMode_;
}

CYaError CPathDatabase::SetBulkInsertMode(bool on) {
  if (!on && bulkInsertMode_) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 774,
                                   "Cannot change bulk insert mode once set from true to false. Please "
                                   "reopen the database and continue. ");
  }
  FSDB_LOG(0, "The Bulk insert mode is set to %s", on ? "True" : "False");
  if (!on)
    return CYaError::Success();
  // The mode starts once the index is gone: a drop that fails (a read-only file, a full disk) leaves
  // the database as it was, with its upsert.
  CYaError error = DropBulkInsertIndexes();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  bulkInsertMode_ = true;
  error = DeleteStatements();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  error = CreateStatements();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::Close() {
  if (IsBulkInsertModeActive()) {
    CYaError error = FlushQueue();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = CreateBulkInsertIndexes();
    if (error.IsError())
      return error.Push(FX_LOCATION);
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

// ---------------------------------------------------------------------------------------------------
// Performance counters and the logging thread

CYaError CPathDatabase::CreatePerformanceCounters() {
  // A second Open keeps the counters: a running logging thread holds them and waits on their stop flag,
  // so replacing them would leave that thread beyond the reach of Close, which would then wait forever.
  if (!counters_)
    counters_ = std::make_shared<CDatabasePerformanceCounters>();
  counters_->SetDatabase(GetDatabaseName());
  for (int counter = 0; counter < CDatabasePerformanceCounters::COUNTER_COUNT; ++counter) {
    counterTable_[counter] =
        counters_->GetCounter(static_cast<CDatabasePerformanceCounters::DatabaseCounter>(counter));
  }
  return CYaError::Success();
}

CYaError CPathDatabase::CreateLoggingThread() {
  if (loggingThread_)
    return CYaError::Success();  // one thread per open database
  // After a Close the flag is still set; a thread started on it would stop after its first report.
  if (counters_)
    counters_->SetStopLogging(false);
  loggingThread_ = std::make_shared<WdThread>();
  // Only fails when the system cannot start a thread; the database works on without reports.
  (void)loggingThread_->createThread(&CPathDatabase::PerformanceLoggingThread, static_cast<void*>(this));
  return CYaError::Success();
}

void* CPathDatabase::PerformanceLoggingThread(void* database) {
  if (database == nullptr) {
    FSDB_LOG(-1, "Cannot start Database performance logging thread. Incorrect arguments. ");
    return nullptr;
  }
  CPathDatabase* engine = static_cast<CPathDatabase*>(database);
  // Own references: the counters and the cache stay alive until the thread ends.
  std::shared_ptr<CDatabasePerformanceCounters> counters = engine->GetPerformanceCounters();
  std::shared_ptr<CDatabaseCache> cache = engine->GetDatabaseCache();
  if (!counters || !cache) {
    FSDB_LOG(-1, "Cannot start Database performance logging thread. Incorrect arguments. ");
    return nullptr;
  }
  const int interval = counters->GetLoggingInterval();
  int64_t elapsed = 0;
  for (;;) {
    if (interval > 0 && elapsed % interval == 0) {
      counters->LogAllPerformanceCounters();
      std::string statistics;
      (void)cache->GetCacheStatistics(statistics);  // cannot fail
      FSDB_LOG(0, "Cache Statistics : %s", statistics.c_str());
    }
    // Close sets the stop flag and wakes this wait at once, so closing never waits for the pause.
    (void)counters->WaitForStop(kLoggingPauseMilliseconds);
    if (counters->GetStopLogging()) {
      FSDB_LOG(0, "Stopped Database Performance Logging Thread");
      break;
    }
    elapsed += kLoggingPauseSeconds;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------------
// Row binding and decoding

void CPathDatabase::BindItemAttributes(FX::CSQLite3Statement& statement, int first,
                                       const CDatabaseItem& item) {
  statement.Bind(first, static_cast<long>(item.GetFileId()));
  statement.Bind(first + 1, static_cast<long>(item.GetFileSize()));
  statement.Bind(first + 2, static_cast<long>(item.GetAccessTime()));
  statement.Bind(first + 3, static_cast<long>(item.GetModificationTime()));
  statement.Bind(first + 4, static_cast<long>(item.GetChangeTime()));
  statement.Bind(first + 5, item.IsSelected() ? 1 : 0);
  statement.Bind(first + 6, item.IsCollect() ? 1 : 0);
  statement.Bind(first + 7, item.GetMetadata());
}

void CPathDatabase::BindRowAttributes(FX::CSQLite3Statement& statement, int first,
                                      const FX::CSQLite3Query& row, int column) {
  const int kAttributeColumns = 8;  // Inode .. Metadata; the last one is text
  for (int i = 0; i < kAttributeColumns; ++i) {
    if (row.IsNull(column + i)) {
      statement.BindNull(first + i);
    } else if (i == kAttributeColumns - 1) {
      statement.Bind(first + i, row.GetStringField(column + i, ""));
    } else {
      statement.Bind(first + i, static_cast<long>(row.GetInt64Field(column + i, 0)));
    }
  }
}

void CPathDatabase::DecodeAttributes(const FX::CSQLite3Query& row, int column, CDatabaseItem& item) {
  item.SetFileId(row.GetInt64Field(column, 0));
  item.SetFileSize(row.GetInt64Field(column + 1, 0));
  item.SetAccessTime(row.GetInt64Field(column + 2, 0));
  item.SetModificationTime(row.GetInt64Field(column + 3, 0));
  item.SetChangeTime(row.GetInt64Field(column + 4, 0));
  item.SetAsSelected(row.GetIntField(column + 5, 0) != 0);
  item.SetAsCollect(row.GetIntField(column + 6, 0) != 0);
  item.SetMetadata(row.GetStringField(column + 7, ""));
}

CDatabaseItemPtr CPathDatabase::DecodeFileRow(const FX::CSQLite3Query& row) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  // Ids are read with all 64 bits: a row id above 2^31 comes back intact.
  item->SetId(row.GetInt64Field(0, -1));
  DecodeAttributes(row, 3, *item);
  item->SetAsDirectory(false);
  item->SetFileName(row.GetStringField(2, ""));
  return item;
}

CDatabaseItemPtr CPathDatabase::DecodeFolderRow(const FX::CSQLite3Query& row, int64_t id, std::string path,
                                                int column) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetId(id);
  (void)FXPath::RemoveTrailingDelimiter(path);  // cannot fail
  std::string parent;
  std::string name;
  (void)SplitPath(path, parent, name);  // the root's empty path has an empty name
  item->SetFileName(name);
  item->SetFullyQualifiedPath(path);
  DecodeAttributes(row, column, *item);
  item->SetAsDirectory(true);
  return item;
}

CYaError CPathDatabase::AppendFolderFiles(const std::string& folderPath, int64_t folderId,
                                          std::list<CDatabaseItemPtr>& items) {
  try {
    SelectFolderFilesStatement->Reset();
    SelectFolderFilesStatement->Bind(1, static_cast<long>(folderId));
    for (boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderFilesStatement->ExecQuery(); !row->Eof();
         row->NextRow()) {
      CDatabaseItemPtr item = DecodeFileRow(*row);
      std::string filePath = folderPath;
      (void)FXPath::Append(filePath, item->GetFileName(), 0);  // cannot fail
      item->SetFullyQualifiedPath(filePath);
      (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
      FSDB_LOG(3, " Got File ID [%ld] Parent Folder ID [%ld] FileName [%s] Item Information : %s",
               item->GetId(), row->GetInt64Field(1, -1), item->GetFileName().c_str(),
               item->AsString().c_str());
      items.push_back(item);
    }
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::FlushPendingFiles() {
  // The batch's transaction is committed too, so that the caller's change is a transaction of its own
  // that persists, or fails, alone.
  if (!IsBulkInsertModeActive() ||
      (cache_->GetFileQueueSize() == 0 && !bulkTransaction_ && replayFolders_.empty()))
    return CYaError::Success();
  CYaError error = FlushQueue();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::QueryOrAddParentFolder(std::string& parent, int64_t& parentId) {
  CYaError error = QueryFolderId(parent, parentId);
  if (!error.IsError()) {
    FSDB_LOG(3, "Retrieved Folder [%s] ID : [%ld]", parent.c_str(), parentId);
    return CYaError::Success();
  }
  (void)FXPath::AppendTrailingDelimiter(parent);  // cannot fail
  // The recorded ancestors of a folder are a leading run of its components (a folder's row needs its
  // parent's), so the deepest recorded one is found by bisection: a handful of lookups however deep the
  // path. The missing folders are then added top down: each one's parent is recorded (and cached) by
  // then, so no AddFolder has to add another, and nothing recurses.
  std::vector<size_t> ends;  // ends[k]: the length of the (k+1)-th ancestor's path, separator included
  for (size_t at = parent.find('/', 1); at != std::string::npos; at = parent.find('/', at + 1))
    ends.push_back(at + 1);
  if (ends.empty())
    ends.push_back(parent.size());       // the root itself is missing (a read-only file without base rows)
  size_t recorded = 0;                   // leading ancestors known to be recorded
  size_t missingFrom = ends.size() - 1;  // `parent` itself is not recorded
  while (recorded < missingFrom) {
    const size_t middle = (recorded + missingFrom) / 2;  // < missingFrom
    int64_t id = 0;
    if (QueryFolderId(parent.substr(0, ends[middle]), id).IsError())
      missingFrom = middle;
    else
      recorded = middle + 1;
  }
  std::vector<std::string> missing;
  for (size_t k = ends.size(); k-- > recorded;)
    missing.push_back(parent.substr(0, ends[k]));
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    FSDB_LOG(2,
             "Could not find %s in the database, so we are adding the parent folder to the database with "
             "empty item information",
             folder->c_str());
    error = AddFolder(*folder, boost::make_shared<CDatabaseItem>());
    if (error.IsError())
      return error.Push(FX_LOCATION);
  }
  error = QueryFolderId(parent, parentId);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  FSDB_LOG(3, "Retrieved Folder [%s] ID : [%ld]", parent.c_str(), parentId);
  return CYaError::Success();
}

CYaError CPathDatabase::DeleteFolderRow(const std::string& folderPath) {
  if (folderPath == "/")
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "The root folder cannot be deleted");
  try {
    // Queued files must reach the table first: a queued file whose folder is gone could never be written.
    CYaError error = FlushPendingFiles();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = 0;
    error = QueryFolderId(folderPath, folderId);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FSDB_LOG(3, "Folder [%s] ID : [%ld]", folderPath.c_str(), folderId);
    DeleteFolderStatement->Reset();
    DeleteFolderStatement->Bind(1, static_cast<long>(folderId));
    // SQLite nests each cascaded delete one level deeper and refuses past 1000 levels, leaving what it
    // deleted until then: the attempt runs inside a savepoint. A subtree that deep is then cut into
    // shallow slices first.
    int deleted = 0;
    error = Execute("SAVEPOINT delete_folder;");
    if (error.IsError())
      return error.Push(FX_LOCATION);
    try {
      deleted = DeleteFolderStatement->ExecDML();
    } catch (const FX::CSQLite3Exception& exception) {
      const char* message = exception.errorMessage();
      if ((exception.errorCode() & 0xFF) != 1 /* SQLITE_ERROR */ || message == nullptr ||
          std::string(message).find("too many levels of trigger recursion") == std::string::npos)
        throw;
      error = Execute("ROLLBACK TO delete_folder;");
      if (error.IsError())
        return error.Push(FX_LOCATION);
      error = CutDeepSubtree(folderId);
      if (error.IsError())
        return error.Push(FX_LOCATION);
      deleted = DeleteFolderStatement->ExecDML();
    }
    error = Execute("RELEASE delete_folder;");
    if (error.IsError())
      return error.Push(FX_LOCATION);
    if (deleted > 0)
      FSDB_LOG(4, "Successfully Deleted Folder [%s]", folderPath.c_str());
    error = transaction.Commit();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    ForgetCachedFolderTree(folderPath);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::CutDeepSubtree(int64_t folderId) {
  // Deleting the folders at every kCutLevels-th level first, the deepest first, keeps each cascade
  // well below SQLite's 1000 levels (a file row adds one).
  const int kCutLevels = 400;
  boost::shared_ptr<FX::CSQLite3Statement> height;
  CYaError error = CompileStatement(std::string(kSubtreeWalk) + "SELECT MAX(depth) FROM subtree", height);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  height->Bind(1, static_cast<long>(folderId));
  const int deepest = height->ExecQuery()->GetIntField(0, 0);
  height.reset();
  if (deepest < kCutLevels)
    return CYaError::Success();
  boost::shared_ptr<FX::CSQLite3Statement> cut;
  error =
      CompileStatement(std::string(kSubtreeWalk) +
                           "DELETE FROM Folders WHERE FolderId IN (SELECT id FROM subtree WHERE depth=?2)",
                       cut);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  for (int level = deepest / kCutLevels * kCutLevels; level > 0; level -= kCutLevels) {
    cut->Reset();
    cut->Bind(1, static_cast<long>(folderId));
    cut->Bind(2, level);
    cut->ExecDML();
  }
  FSDB_LOG(2, "Deleted a subtree %d levels deep in steps of %d levels", deepest, kCutLevels);
  return CYaError::Success();
}

CYaError CPathDatabase::PrepareFolderMove(const std::string& oldFolder, const std::string& newFolder,
                                          int64_t& folderId, int64_t& newParentId, std::string& newName) {
  if (oldFolder == "/" || newFolder == "/") {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87,
                                   "The root folder cannot be renamed, nor replaced ([%s] to [%s])",
                                   oldFolder.c_str(), newFolder.c_str());
  }
  // A folder moved below itself would leave its subtree in a cycle that no path reaches.
  if (FXPath::IsAncestorOf(oldFolder, newFolder, false)) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "Cannot move the folder [%s] into its own subtree [%s]",
                                   oldFolder.c_str(), newFolder.c_str());
  }
  CYaError error = QueryFolderId(oldFolder, folderId);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  std::string newParent;
  (void)SplitPath(newFolder, newParent, newName);  // an absolute path always splits
  error = QueryFolderId(newParent, newParentId);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

void CPathDatabase::BindFolderUpdate(int64_t newParentId, const std::string& nameOrPath, int64_t folderId,
                                     const CDatabaseItemPtr& newItem, FX::CSQLite3Statement& currentRow) {
  UpdateFolderStatement->Reset();
  UpdateFolderStatement->Bind(1, static_cast<long>(newParentId));
  UpdateFolderStatement->Bind(2, nameOrPath);
  UpdateFolderStatement->Bind(3, static_cast<long>(folderId));
  if (newItem) {
    BindItemAttributes(*UpdateFolderStatement, 4, *newItem);
    return;
  }
  // Without a new item the row keeps its attributes: bind what it holds now, never what an earlier use
  // of the statement left bound.
  boost::shared_ptr<FX::CSQLite3Query> row = currentRow.ExecQuery();
  if (!row->Eof())
    BindRowAttributes(*UpdateFolderStatement, 4, *row, 3);
}

CYaError CPathDatabase::NormalizeFolderPath(const std::string& path, std::string& folderPath) {
  CYaError error = NormalizePath(path, folderPath);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  (void)FXPath::AppendTrailingDelimiter(folderPath);  // cannot fail
  return CYaError::Success();
}

CYaError CPathDatabase::NormalizeListedFolderPath(const std::string& path, std::string& folderPath) {
  CYaError error = NormalizeFolderPath(path.empty() ? "/" : path, folderPath);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

void CPathDatabase::ForgetCachedFolderTree(const std::string& folderPath) {
  (void)cache_->RemoveFolderTree(folderPath);  // fails only without a cache, which then holds nothing
}

// ---------------------------------------------------------------------------------------------------
// File operations

CYaError CPathDatabase::QueryFolderId(const std::string&, int64_t&) {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kNotSupported);
}

CYaError CPathDatabase::AddFile(const std::string& path, const CDatabaseItemPtr& item) {
  auto_lock lock(&engineLock_, true);
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::ADD_FILE));
  std::string filePath;
  CYaError error = NormalizePath(path, filePath);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  std::string parent;
  std::string name;
  (void)SplitPath(filePath, parent, name);  // an absolute path always splits
  if (name.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "Invalid file path [%s]: it names no file", path.c_str());
  }
  if (!item)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "No item given for the file [%s]", path.c_str());

  error = JoinBulkTransaction();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  const bool bulk = IsBulkInsertModeActive();
  int64_t folderId = 0;
  try {
    // The missing parents and the file persist together or not at all. In bulk-insert mode this joins
    // the batch's transaction, and the file is queued instead.
    FX::CDatabaseTransaction transaction(this, 0);
    error = QueryOrAddParentFolder(parent, folderId);
    if (!error.IsError() && !bulk) {
      InsertFileStatement->Reset();
      InsertFileStatement->Bind(1, static_cast<long>(folderId));
      InsertFileStatement->Bind(2, name);
      BindItemAttributes(*InsertFileStatement, 3, *item);
      if (InsertFileStatement->ExecDML() > 0) {
        FSDB_LOG(4, "Inserted File [%s] ID : [%lld]", path.c_str(),
                 static_cast<long long>(GetLastInsertRowId()));
      }
    }
    if (!error.IsError())
      error = transaction.Commit();
  } catch (const FX::CSQLite3Exception& exception) {
    error = FX::ErrorFromException(FX_LOCATION, exception);
  }
  if (error.IsError()) {
    RollbackBulkTransaction();  // a batch with a failed step cannot commit; its folders are written again
    return error.Push(FX_LOCATION);
  }
  if (!bulk)
    return CYaError::Success();
  error = cache_->InsertIntoFileQueue(folderId, name, item);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  if (cache_->IsFileQueueFull()) {
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
  CYaError error = NormalizePath(path, filePath);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  std::string parent;
  std::string name;
  (void)SplitPath(filePath, parent, name);  // an absolute path always splits
  // "/" names no file: refused as AddFile refuses it, whatever the layout makes of its empty parent.
  if (name.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "Invalid file path [%s]: it names no file", path.c_str());
  }
  try {
    // A file still queued must reach the table first, or it would come back at the next flush.
    error = FlushPendingFiles();
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = 0;
    error = QueryFolderId(parent, folderId);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FSDB_LOG(3, "Recieved Folder [%s] ID : [%ld]", parent.c_str(), folderId);
    DeleteFileStatement->Reset();
    DeleteFileStatement->Bind(1, static_cast<long>(folderId));
    DeleteFileStatement->Bind(2, name);
    if (DeleteFileStatement->ExecDML() > 0)
      FSDB_LOG(3, "Successfully Deleted File [%s]", path.c_str());
    error = transaction.Commit();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::RenameFile(const std::string& oldPath, const std::string& newPath,
                                   const CDatabaseItemPtr&, const CDatabaseItemPtr& newItem) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::RENAME_FILE));
  std::string oldFile;
  std::string newFile;
  CYaError error = NormalizePath(oldPath, oldFile);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  error = NormalizePath(newPath, newFile);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  std::string newParent;
  std::string newName;
  (void)SplitPath(newFile, newParent, newName);  // an absolute path always splits
  if (newName.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, 87, "Invalid file path [%s]: it names no file",
                                   newPath.c_str());
  }
  try {
    error = FlushPendingFiles();  // a queued file must be in the table to be renamed
    if (error.IsError())
      return error.Push(FX_LOCATION);
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t fileId = 0;
    int64_t oldFolderId = 0;
    error = QueryFileId(oldFile, fileId, oldFolderId);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    int64_t newFolderId = 0;
    error = QueryFolderId(newParent, newFolderId);
    if (error.IsError())
      return error.Push(FX_LOCATION);
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
      (void)SplitPath(oldFile, oldParent, oldName);
      SelectFileItemStatement->Reset();
      SelectFileItemStatement->Bind(1, static_cast<long>(oldFolderId));
      SelectFileItemStatement->Bind(2, oldName);
      boost::shared_ptr<FX::CSQLite3Query> row = SelectFileItemStatement->ExecQuery();
      if (!row->Eof())
        BindRowAttributes(*UpdateFileStatement, 4, *row, 3);
    }
    if (UpdateFileStatement->ExecDML() > 0) {
      FSDB_LOG(4, "Successfully Renamed File [%s] to [%s] ID : [%ld]", oldPath.c_str(), newPath.c_str(),
               fileId);
    }
    error = transaction.Commit();
    if (error.IsError())
      return error.Push(FX_LOCATION);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::QueryFileId(const std::string& path, int64_t& fileId, int64_t& folderId) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::QUERY_FILE));
  std::string parent;
  std::string name;
  (void)SplitPath(path, parent, name);  // an empty path finds no folder below
  int64_t localFolderId = 0;
  CYaError error = QueryFolderId(parent, localFolderId);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  FSDB_LOG(3, "Folder [%s] ID : [%ld]", parent.c_str(), localFolderId);
  try {
    SelectFileIdStatement->Reset();
    SelectFileIdStatement->Bind(1, static_cast<long>(localFolderId));
    SelectFileIdStatement->Bind(2, name);
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFileIdStatement->ExecQuery();
    if (!row->Eof()) {
      fileId = row->GetInt64Field(0, -1);
      folderId = localFolderId;
      return CYaError::Success();
    }
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "File : [%s] not found", path.c_str());
}

// ---------------------------------------------------------------------------------------------------
// File queue flush

CYaError CPathDatabase::FlushQueue() {
  // A batch is all or nothing: the queued files and the folders recorded since the last flush are
  // committed together. When anything fails, the batch is rolled back, every file stays queued, and
  // its folders are written again by the next batch; so a retried flush never writes a file twice,
  // and never points a file at a folder row that was rolled back.
  FileQueue& queue = cache_->GetFileQueue();
  if (queue.empty() && !bulkTransaction_ && replayFolders_.empty())
    return CYaError::Success();
  CYaError error = JoinBulkTransaction();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  try {
    for (const FileQueueEntry& entry : queue) {
      const int64_t folderId = std::get<0>(entry);
      const std::string& name = std::get<1>(entry);
      InsertFileStatement->Reset();
      InsertFileStatement->Bind(1, static_cast<long>(folderId));
      InsertFileStatement->Bind(2, name);
      BindItemAttributes(*InsertFileStatement, 3, *std::get<2>(entry));
      if (InsertFileStatement->ExecDML() > 0) {
        FSDB_LOG(4, "Inserted File [%s] ID : [%lld] Parent ID : [%ld]", name.c_str(),
                 static_cast<long long>(GetLastInsertRowId()), folderId);
      }
    }
  } catch (const FX::CSQLite3Exception& exception) {
    error = FX::ErrorFromException(FX_LOCATION, exception);
  }
  if (error.IsError()) {
    RollbackBulkTransaction();
    return error;
  }
  error = CommitBulkTransaction();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  (void)cache_->ClearFileQueue();  // cannot fail
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
  try {
    bulkTransaction_ = std::make_unique<FX::CDatabaseTransaction>(this, 0);
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  CYaError error = ReplayRolledBackFolders();
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
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
  for (FileQueueEntry& entry : cache_->GetFileQueue()) {
    const auto found = moved.find(std::get<0>(entry));
    if (found != moved.end())
      std::get<0>(entry) = found->second;
  }
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

// ---------------------------------------------------------------------------------------------------
// Item queries

CYaError CPathDatabase::QueryFolderItem(const std::string&, CDatabaseItemPtr&) {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, 50, kNotSupported);
}

CYaError CPathDatabase::QueryItem(const std::string& path, CDatabaseItemPtr& item) {
  // One path, one spelling: what a change records as "/a/b" is found as "//a//b/" too.
  std::string filePath;
  CYaError error = NormalizePath(path, filePath);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  (void)FXPath::RemoveTrailingDelimiter(filePath);  // cannot fail; "/" stays the root
  std::string folderPath = filePath;
  (void)FXPath::AppendTrailingDelimiter(folderPath);  // cannot fail
  error = QueryFolderItem(folderPath, item);
  if (!FXErrorUtil::IsWin32(error, 1168))
    return error;
  error = QueryFileItem(filePath, item);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  return CYaError::Success();
}

CYaError CPathDatabase::QueryFileItem(const std::string& path, CDatabaseItemPtr& item) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::QUERY_FILE));
  std::string parent;
  std::string name;
  (void)SplitPath(path, parent, name);  // an empty path finds no folder below
  int64_t folderId = 0;
  CYaError error = QueryFolderId(parent, folderId);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  FSDB_LOG(3, "Folder [%s] ID : [%ld]", parent.c_str(), folderId);
  try {
    SelectFileItemStatement->Reset();
    SelectFileItemStatement->Bind(1, static_cast<long>(folderId));
    SelectFileItemStatement->Bind(2, name);
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFileItemStatement->ExecQuery();
    if (row->Eof())
      return FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "File : [%s] not found", path.c_str());
    item = DecodeFileRow(*row);
    item->SetFullyQualifiedPath(path);
    // An item whose document is empty or unreadable is still returned, with those four values at 0.
    (void)item->PopulateFromMetadata();
    FSDB_LOG(30, " Got File ID [%ld] Parent Folder ID [%ld] FileName [%s] Folder [%s] Item Information : %s",
             item->GetId(), row->GetInt64Field(1, -1), item->GetFileName().c_str(), parent.c_str(),
             item->AsString().c_str());
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::QuerySelectedFiles(const std::string& folderPath,
                                           CDatabaseItemIteratorPtr& iterator) {
  selectedFilesQuery_.reset();  // a walk in progress ends here
  std::string folder;
  CYaError error = NormalizeListedFolderPath(folderPath, folder);
  if (error.IsError())
    return error.Push(FX_LOCATION);
  const CDatabaseItemIterator::Generator generator = std::bind(&CPathDatabase::GetNextSelectedFileItem, this);
  int64_t folderId = 0;
  error = QueryFolderId(folder, folderId);
  if (FXErrorUtil::IsWin32(error, 1168)) {
    // A folder that is not recorded has no selected files.
    iterator = boost::make_shared<CDatabaseItemIterator>(generator, CDatabaseItemPtr());
    return CYaError::Success();
  }
  if (error.IsError())
    return error.Push(FX_LOCATION);
  try {
    SelectSelectedFilesStatement->Reset();
    SelectSelectedFilesStatement->Bind(1, static_cast<long>(folderId));
    selectedFilesQuery_ = SelectSelectedFilesStatement->ExecQuery();
    selectedFilesFolder_ = folder;
    iterator = boost::make_shared<CDatabaseItemIterator>(generator, GetNextSelectedFileItem());
  } catch (const FX::CSQLite3Exception& exception) {
    return FX::ErrorFromException(FX_LOCATION, exception);
  }
  return CYaError::Success();
}

CDatabaseItemPtr CPathDatabase::GetNextSelectedFileItem() {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::SELECTED_FILE));
  if (!selectedFilesQuery_ || selectedFilesQuery_->Eof())
    return CDatabaseItemPtr();
  CDatabaseItemPtr item = DecodeFileRow(*selectedFilesQuery_);
  std::string path = selectedFilesFolder_;
  (void)FXPath::Append(path, item->GetFileName(), 0);  // cannot fail
  item->SetFullyQualifiedPath(path);
  FSDB_LOG(30, " Got File ID [%ld] Parent Folder ID [%ld] FileName [%s] Folder [%s] Item Information : %s",
           item->GetId(), selectedFilesQuery_->GetInt64Field(1, -1), item->GetFileName().c_str(),
           selectedFilesFolder_.c_str(), item->AsString().c_str());
  selectedFilesQuery_->NextRow();
  return item;
}

}  // namespace FSDB
