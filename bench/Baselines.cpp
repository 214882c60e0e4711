#include "Baselines.h"

#include <vector>

#include "core/PathOrdering.h"

namespace bench {

namespace {

// The library's tables, column for column, with the case-sensitive path collation.
const char kFilesTable[] =
    "CREATE TABLE Files (FileId INTEGER NOT NULL PRIMARY KEY, FolderId INTEGER , FileName VARCHAR COLLATE "
    "PATH_COMPONENTS,Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,"
    "LastChangeTime BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT parent_folder "
    "FOREIGN "
    "KEY (FolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)";
const char kFullPathFoldersTable[] =
    "CREATE TABLE Folders (FolderId INTEGER NOT NULL PRIMARY KEY, ParentFolderId INTEGER, FullyQualifiedPath "
    "VARCHAR COLLATE PATH_COMPONENTS,Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime "
    "BIGINT,LastChangeTime BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT "
    "parent_folder "
    "FOREIGN KEY (ParentFolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)";
const char kOptimizedFoldersTable[] =
    "CREATE TABLE Folders (FolderId INTEGER NOT NULL PRIMARY KEY, ParentFolderId INTEGER, FolderName VARCHAR "
    "COLLATE PATH_COMPONENTS,Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,"
    "LastChangeTime BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT parent_folder "
    "FOREIGN "
    "KEY (ParentFolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)";

const char kFullPathFolderIndexes[] =
    "CREATE UNIQUE INDEX index_fullyqualifiedpath ON Folders(FullyQualifiedPath);"
    "CREATE INDEX index_parentfolderid ON Folders(ParentFolderId);";
const char kOptimizedFolderIndexes[] =
    "CREATE UNIQUE INDEX index_folders_parentidfoldername ON Folders(ParentFolderId,FolderName);";
const char kFileIndex[] = "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName);";

const char kInsertFile[] =
    "INSERT INTO Files(FolderId, FileName, Inode, FileSize, LastAccessTime, LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)";

const int kRowsPerTransaction = 3000;

void RegisterPathCollation(sqlite3* database) {
  CheckSqlite(
      database,
      sqlite3_create_collation(database, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, sqlite_collation_bypath),
      "create collation");
}

void BindText(sqlite3* database, sqlite3_stmt* statement, int index, const std::string& text) {
  CheckSqlite(
      database,
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT),
      "bind text");
}

void BindInt64(sqlite3* database, sqlite3_stmt* statement, int index, int64_t value) {
  CheckSqlite(database, sqlite3_bind_int64(statement, index, value), "bind int64");
}

void BindInt(sqlite3* database, sqlite3_stmt* statement, int index, int value) {
  CheckSqlite(database, sqlite3_bind_int(statement, index, value), "bind int");
}

void StepDone(sqlite3* database, sqlite3_stmt* statement, const char* what) {
  CheckSqlite(database, sqlite3_step(statement), what, SQLITE_DONE);
  CheckSqlite(database, sqlite3_reset(statement), what);
}

}  // namespace

Timing RawBulkInsert(const std::string& file, const ScanTree& tree, FSDB::DatabaseType layout) {
  const bool optimized = layout == FSDB::DATABASE_TYPE_OPTIMIZED;
  SqliteHandle database = OpenSqlite(file, true);
  sqlite3* db = database.get();
  ExecSqlite(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=off; PRAGMA foreign_keys=ON;");
  RegisterPathCollation(db);
  ExecSqlite(db, optimized ? kOptimizedFoldersTable : kFullPathFoldersTable);
  ExecSqlite(db, kFilesTable);
  const std::string nameColumn = optimized ? "FolderName" : "FullyQualifiedPath";
  // The two base rows every scan database holds: "-" (its own parent) and the root "/".
  ExecSqlite(db, "INSERT INTO Folders(ParentFolderId, " + nameColumn + ") VALUES (1, '-'), (1, '/');");
  const int64_t kRootId = 2;
  StatementHandle insertFolder = PrepareSqlite(
      db, "INSERT INTO Folders(ParentFolderId, " + nameColumn +
              ", Inode, FileSize, LastAccessTime, LastModificationTime, LastChangeTime, Dirchange, Collect, "
              "Metadata) VALUES (?1,?2,0,0,0,0,0,0,0,'')");
  StatementHandle insertFile = PrepareSqlite(db, kInsertFile);
  sqlite3_stmt* folderStatement = insertFolder.get();
  sqlite3_stmt* fileStatement = insertFile.get();

  Stopwatch watch;
  std::vector<int64_t> folderIds(tree.folders.size(), 0);
  std::vector<int32_t> missing;
  ExecSqlite(db, "BEGIN");
  for (size_t i = 0; i < tree.files.size(); ++i) {
    if (i != 0 && i % kRowsPerTransaction == 0)
      ExecSqlite(db, "COMMIT; BEGIN");
    const FileEntry& entry = tree.files[i];
    if (folderIds[entry.folder] == 0) {
      // The folder and its missing ancestors, top down, as a scan records them (with empty items).
      missing.clear();
      for (int32_t f = entry.folder; f >= 0 && folderIds[f] == 0; f = tree.folders[f].parent)
        missing.push_back(f);
      for (auto f = missing.rbegin(); f != missing.rend(); ++f) {
        const FolderEntry& folder = tree.folders[*f];
        BindInt64(db, folderStatement, 1, folder.parent < 0 ? kRootId : folderIds[folder.parent]);
        BindText(db, folderStatement, 2, optimized ? folder.name : folder.path);
        StepDone(db, folderStatement, "insert folder");
        folderIds[*f] = sqlite3_last_insert_rowid(db);
      }
    }
    const FSDB::CDatabaseItem& item = *entry.item;
    BindInt64(db, fileStatement, 1, folderIds[entry.folder]);
    BindText(db, fileStatement, 2, entry.name);
    BindInt64(db, fileStatement, 3, item.GetFileId());
    BindInt64(db, fileStatement, 4, item.GetFileSize());
    BindInt64(db, fileStatement, 5, item.GetAccessTime());
    BindInt64(db, fileStatement, 6, item.GetModificationTime());
    BindInt64(db, fileStatement, 7, item.GetChangeTime());
    BindInt(db, fileStatement, 8, item.IsSelected() ? 1 : 0);
    BindInt(db, fileStatement, 9, item.IsCollect() ? 1 : 0);
    BindText(db, fileStatement, 10, item.GetMetadata());
    StepDone(db, fileStatement, "insert file");
  }
  ExecSqlite(db, "COMMIT");
  ExecSqlite(db, optimized ? kOptimizedFolderIndexes : kFullPathFolderIndexes);
  ExecSqlite(db, kFileIndex);
  insertFolder.reset();
  insertFile.reset();
  database.reset();
  return Elapsed(watch);
}

ChangeCounts SqlCompare(const std::string& current, const std::string& previous, Timing& timing) {
  Stopwatch watch;
  SqliteHandle database = OpenSqlite(current, false);
  sqlite3* db = database.get();
  RegisterPathCollation(db);
  StatementHandle attach = PrepareSqlite(db, "ATTACH DATABASE ?1 AS prev");
  BindText(db, attach.get(), 1, previous);
  StepDone(db, attach.get(), "attach");
  attach.reset();

  // Every selected current file with its previous twin, if any: no twin means added, another size
  // means changed. CROSS JOIN fixes the join order, folders first: the planner would otherwise scan the
  // files and probe the other side's path index once per file instead of once per folder (a third
  // slower on a million files).
  StatementHandle currentSide = PrepareSqlite(
      db,
      "SELECT cf.FullyQualifiedPath, c.FileName, p.FileId IS NULL FROM main.Folders cf "
      "LEFT JOIN prev.Folders pf ON pf.FullyQualifiedPath = cf.FullyQualifiedPath AND pf.Dirchange = 1 "
      "CROSS JOIN main.Files c ON c.FolderId = cf.FolderId "
      "LEFT JOIN prev.Files p ON p.FolderId = pf.FolderId AND p.FileName = c.FileName AND p.Dirchange = 1 "
      "WHERE cf.Dirchange = 1 AND c.Dirchange = 1 AND (p.FileId IS NULL OR p.FileSize IS NOT c.FileSize)");
  // Every selected previous file without a current twin: deleted.
  StatementHandle previousSide = PrepareSqlite(
      db,
      "SELECT pf.FullyQualifiedPath, p.FileName FROM prev.Folders pf "
      "LEFT JOIN main.Folders cf ON cf.FullyQualifiedPath = pf.FullyQualifiedPath AND cf.Dirchange = 1 "
      "CROSS JOIN prev.Files p ON p.FolderId = pf.FolderId "
      "LEFT JOIN main.Files c ON c.FolderId = cf.FolderId AND c.FileName = p.FileName AND c.Dirchange = 1 "
      "WHERE pf.Dirchange = 1 AND p.Dirchange = 1 AND c.FileId IS NULL");

  ChangeCounts counts;
  uint64_t bytes = 0;  // the lists' text is read, as a consumer of the lists would
  int result = SQLITE_ROW;
  while ((result = sqlite3_step(currentSide.get())) == SQLITE_ROW) {
    bytes += static_cast<uint64_t>(sqlite3_column_bytes(currentSide.get(), 0)) +
             static_cast<uint64_t>(sqlite3_column_bytes(currentSide.get(), 1));
    if (sqlite3_column_int(currentSide.get(), 2) != 0) {
      ++counts.added;
    } else {
      ++counts.changed;
    }
  }
  CheckSqlite(db, result, "current side", SQLITE_DONE);
  while ((result = sqlite3_step(previousSide.get())) == SQLITE_ROW) {
    bytes += static_cast<uint64_t>(sqlite3_column_bytes(previousSide.get(), 0)) +
             static_cast<uint64_t>(sqlite3_column_bytes(previousSide.get(), 1));
    ++counts.deleted;
  }
  CheckSqlite(db, result, "previous side", SQLITE_DONE);
  currentSide.reset();
  previousSide.reset();
  database.reset();
  timing = Elapsed(watch);
  if (bytes == 0 && counts.added + counts.deleted + counts.changed != 0)
    throw BenchError("empty paths in lists");
  return counts;
}

void CountRows(const std::string& file, uint64_t& files, uint64_t& folders) {
  SqliteHandle database = OpenSqlite(file, false);
  sqlite3* db = database.get();
  RegisterPathCollation(db);
  const char* const queries[] = {"SELECT COUNT(*) FROM Files", "SELECT COUNT(*) FROM Folders"};
  uint64_t* const results[] = {&files, &folders};
  for (int i = 0; i < 2; ++i) {
    StatementHandle statement = PrepareSqlite(db, queries[i]);
    CheckSqlite(db, sqlite3_step(statement.get()), queries[i], SQLITE_ROW);
    *results[i] = static_cast<uint64_t>(sqlite3_column_int64(statement.get(), 0));
  }
}

}  // namespace bench
