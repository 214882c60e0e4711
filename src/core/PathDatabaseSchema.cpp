// The Files table, its unique index, the schema check of an existing file, and the statements.

#include "core/PathDatabase.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXString.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

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

// The attribute columns that both tables share, after their first three.
const char* const kAttributeColumns[] = {
    "Inode",          "FileSize",  "LastAccessTime", "LastModificationTime",
    "LastChangeTime", "Dirchange", "Collect",        "Metadata"};

// The two rows every writable database holds: "-" (row 1, its own parent) and the root "/" (row 2).
const char* const kBaseFolderNames[] = {"-", "/"};

}  // namespace

CYaError CPathDatabase::CreateTables() {
  // Another program's file must be refused before the journal mode or a table changes it.
  FSDB_RETURN_IF_ERROR(CheckExistingSchema());
  FSDB_RETURN_IF_ERROR(SetDatabaseOptions());
  FSDB_RETURN_IF_ERROR(RegisterCallbacks());
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // One transaction for the whole schema: a process killed half-way leaves no file with Folders but
    // without Files, which the check above would then refuse for good.
    FX::CDatabaseTransaction transaction(this, 0);
    FSDB_RETURN_IF_ERROR(CreateFolderTable());
    FSDB_RETURN_IF_ERROR(CreateFileTable());
    FSDB_RETURN_IF_ERROR(CreateIndexes());
    FSDB_RETURN_IF_ERROR(CreateViews());
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    FSDB_RETURN_IF_ERROR(CreatePerformanceCounters());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::CheckExistingSchema() {
  const std::string file = GetDatabaseFile();
  CYaError error = FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    boost::shared_ptr<FX::CSQLite3Statement> statement;
    CYaError error = CompileStatement("SELECT COUNT(*) FROM sqlite_master", statement);
    if (error.IsError())
      return error.Push(FX_LOCATION, "cannot read the schema of %s", file.c_str());
    if (statement->ExecQuery()->GetIntField(0, 0) == 0) {
      if (!readOnly_)
        return CYaError::Success();  // a new (or empty) file: the schema is created next
      return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                     "[%s] is not a scan database: it holds no tables", file.c_str());
    }
    FSDB_RETURN_IF_ERROR(CompileStatement("SELECT name FROM pragma_table_info(?1)", statement));
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
        return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData,
                                       "[%s] is not a scan database of this layout: table %s has the columns "
                                       "(%s)",
                                       file.c_str(), table.first, found.c_str());
      }
    }
    return CYaError::Success();
  });
  if (FXErrorUtil::IsSQLite(error))
    return error.Push(FX_LOCATION, "cannot read %s", file.c_str());
  return error;
}

CYaError CPathDatabase::SetDatabaseOptions() {
  // Switching the journal mode writes the file header: a read-only open keeps the mode the file has (and
  // works on a file it may not write). A file kept in rollback-journal mode is so read without leaving
  // -wal and -shm files beside it.
  if (!readOnly_ && journalInMemory_) {
    // The caller discards the file unless it finishes it: no log beside it, each page written once.
    FSDB_RETURN_IF_ERROR(Execute("PRAGMA journal_mode=MEMORY;"));
    FSDB_LOG(2, "Setting Database journal mode to MEMORY");
  } else if (!readOnly_) {
    FSDB_RETURN_IF_ERROR(Execute("PRAGMA journal_mode=WAL;"));
    FSDB_LOG(2, "Setting Database journal mode to WAL");
  }
  FSDB_RETURN_IF_ERROR(Execute("PRAGMA synchronous=off;"));
  FSDB_LOG(2, "Setting Database synchronous mode to off");
  FSDB_RETURN_IF_ERROR(Execute("PRAGMA foreign_keys=ON;"));
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

CYaError CPathDatabase::CreateCollatedTable(const char* name, const char* head, const char* tail) {
  FSDB_RETURN_IF_ERROR(CreateTable(name, std::string(head) + PathCollation() + tail));
  return CYaError::Success();
}

CYaError CPathDatabase::CreateFileTable() {
  return CreateCollatedTable("Files", kFileTableHead, kFileTableTail);
}

CYaError CPathDatabase::CreateIndexes() {
  FSDB_RETURN_IF_ERROR(CreateFileIndexKeepingLatest());
  return CYaError::Success();
}

CYaError CPathDatabase::DropBulkInsertIndexes() {
  FSDB_RETURN_IF_ERROR(Execute(kDropFileIndex));
  return CYaError::Success();
}

CYaError CPathDatabase::CreateBulkInsertIndexes() {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::CREATE_INDEX));
  FSDB_RETURN_IF_ERROR(CreateFileIndexKeepingLatest());
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
  FSDB_RETURN_IF_ERROR(CompileStatement(kDeleteDuplicateFiles, deleteDuplicates));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    const int removed = deleteDuplicates->ExecDML();
    FSDB_LOG(0, "Removed %d duplicate file rows (the same folder and name added twice in bulk-insert mode)",
             removed);
    FSDB_RETURN_IF_ERROR(Execute(kCreateFileIndex));
    return CYaError::Success();
  });
}

CYaError CPathDatabase::CreateStatements() {
  FSDB_RETURN_IF_ERROR(CreateFolderTableStatements());
  FSDB_RETURN_IF_ERROR(CreateFileTableStatements());
  if (!readOnly_) {
    FSDB_RETURN_IF_ERROR(CreateBaseFolders());
  }
  return CYaError::Success();
}

CYaError CPathDatabase::CreateFileTableStatements() {
  return CompileStatements({
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
  });
}

CYaError CPathDatabase::CompileFolderStatements(const FolderStatementTexts& texts) {
  return CompileStatements({
      {texts.selectFolderId, &SelectFolderIdStatement},
      {texts.upsertFolder, &UpsertFolderStatement},
      {texts.deleteFolder, &DeleteFolderStatement},
      {texts.updateFolder, &UpdateFolderStatement},
      {texts.selectChildFolders, &SelectChildFoldersStatement},
      {texts.selectSelectedFolders, &SelectSelectedFoldersStatement},
  });
}

CYaError CPathDatabase::CompileStatements(std::initializer_list<StatementSource> statements) {
  for (const StatementSource& statement : statements) {
    FSDB_RETURN_IF_ERROR(CompileStatement(statement.first, *statement.second));
    if (std::find(compiledStatements_.begin(), compiledStatements_.end(), statement.second) ==
        compiledStatements_.end())
      compiledStatements_.push_back(statement.second);
  }
  return CYaError::Success();
}

CYaError CPathDatabase::DeleteStatements() {
  for (auto statement = compiledStatements_.rbegin(); statement != compiledStatements_.rend(); ++statement)
    (*statement)->reset();
  compiledStatements_.clear();
  return CYaError::Success();
}

CYaError CPathDatabase::CreateBaseFolders() {
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // The base rows are written only when missing: rewriting them through the upsert would reset the
    // root's attributes (its selection among them) at every open.
    boost::shared_ptr<FX::CSQLite3Statement> count;
    FSDB_RETURN_IF_ERROR(CompileStatement("SELECT COUNT(*) FROM Folders WHERE FolderId IN (1, 2)", count));
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
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    return CYaError::Success();
  });
}

}  // namespace FSDB
