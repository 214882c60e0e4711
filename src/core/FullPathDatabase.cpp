#include "core/FullPathDatabase.h"

#include <cinttypes>

#include <functional>
#include <utility>

#include <boost/make_shared.hpp>

#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

const char kFolderTableHead[] =
    "(FolderId INTEGER NOT NULL PRIMARY KEY, ParentFolderId INTEGER, FullyQualifiedPath VARCHAR COLLATE ";
const char kFolderTableTail[] =
    ",Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,LastChangeTime "
    "BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT parent_folder FOREIGN KEY "
    "(ParentFolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)";

const char kCreatePathIndex[] =
    "CREATE UNIQUE INDEX IF NOT EXISTS index_fullyqualifiedpath ON Folders(FullyQualifiedPath);";
const char kCreateParentIndex[] =
    "CREATE INDEX IF NOT EXISTS index_parentfolderid ON Folders(ParentFolderId);";

const char kFilesystemView[] =
    "SELECT Id, ParentId, FullyQualifiedPath, Inode, FileSize, LastAccessTime, LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata FROM (SELECT FolderId as Id, ParentFolderId as ParentId, "
    "FullyQualifiedPath, Inode, FileSize, LastAccessTime, LastModificationTime, LastChangeTime, Dirchange, "
    "Collect, Metadata FROM Folders UNION SELECT FileId as Id, F.FolderId as ParentId, printf(\"%s%s\", "
    "SF.FullyQualifiedPath, F.FileName) as FullyQualifiedPath, F.Inode, F.FileSize, F.LastAccessTime, "
    "F.LastModificationTime, F.LastChangeTime, F.Dirchange, F.Collect, F.Metadata FROM Files F, Folders SF "
    "WHERE F.FolderId = SF.FolderId)ORDER BY FullyQualifiedPath COLLATE ";

const char kSelectFolderItem[] = "SELECT * from Folders WHERE Folders.FullyQualifiedPath=?1";
const char kSelectFolderId[] = "SELECT FolderId from Folders WHERE Folders.FullyQualifiedPath=?1";
const char kUpsertFolder[] =
    "INSERT INTO Folders (ParentFolderId, FullyQualifiedPath, Inode, FileSize, LastAccessTime, "
    "LastModificationTime, LastChangeTime, Dirchange, Collect, Metadata) VALUES "
    "(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10) "
    "ON CONFLICT (FullyQualifiedPath) DO UPDATE SET Inode=excluded.Inode, FileSize=excluded.FileSize,  "
    "LastAccessTime=excluded.LastAccessTime, LastModificationTime=excluded.LastModificationTime, "
    "LastChangeTime=excluded.LastChangeTime,  Dirchange=excluded.Dirchange, Collect=excluded.Collect, "
    "Metadata=excluded.Metadata ;";
const char kDeleteFolder[] = "DELETE FROM Folders WHERE Folders.FolderId = ?1";
const char kUpdateFolder[] =
    "UPDATE Folders SET ParentFolderId=?1, FullyQualifiedPath=?2, Inode=?4, FileSize=?5, LastAccessTime=?6, "
    "LastModificationTime=?7, LastChangeTime=?8, Dirchange=?9, Collect=?10, Metadata=?11 WHERE "
    "Folders.FolderId=?3";
// Rewrites the leading ?1 of every path that starts with ?1 (the old folder path, ending with the
// separator) into ?2. Only the leading part changes, and the match is exact under the column's
// collation: no wildcard, no second occurrence further down the path. The collation name follows.
const char kRenameFolderPaths[] =
    "UPDATE Folders SET FullyQualifiedPath = ?2 || substr(FullyQualifiedPath, length(?1) + 1) WHERE "
    "substr(FullyQualifiedPath, 1, length(?1)) = ?1 COLLATE ";
const char kSelectChildFolders[] = "SELECT * FROM Folders where ParentFolderId=?1";
const char kSelectSelectedFolders[] =
    "SELECT * FROM Folders WHERE Dirchange = 1 ORDER BY Folders.FullyQualifiedPath";

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Schema and statements

CYaError CFullPathDatabase::CreateFolderTable() {
  return CreateCollatedTable("Folders", kFolderTableHead, kFolderTableTail);
}

CYaError CFullPathDatabase::CreateIndexes() {
  FSDB_RETURN_IF_ERROR(Execute(kCreatePathIndex));
  FSDB_RETURN_IF_ERROR(Execute(kCreateParentIndex));
  FSDB_RETURN_IF_ERROR(CPathDatabase::CreateIndexes());
  return CYaError::Success();
}

CYaError CFullPathDatabase::CreateViews() {
  const std::string sql = std::string(kFilesystemView) + PathCollation();
  FSDB_LOG(2, "The Full Filesystem View is created with this Query %s", sql.c_str());
  FSDB_RETURN_IF_ERROR(CreateView("FilesystemView", sql));
  return CYaError::Success();
}

CYaError CFullPathDatabase::CreateFolderTableStatements() {
  FSDB_RETURN_IF_ERROR(CompileFolderStatements({kSelectFolderId, kUpsertFolder, kDeleteFolder, kUpdateFolder,
                                                kSelectChildFolders, kSelectSelectedFolders}));
  const std::string renamePaths = std::string(kRenameFolderPaths) + PathCollation();
  return CompileStatements({
      {kSelectFolderItem, &SelectFolderItemStatement},
      {renamePaths.c_str(), &RenameFolderPathsStatement},
  });
}

// ---------------------------------------------------------------------------------------------------
// Folder-id lookup

CYaError CFullPathDatabase::LookUpFolderId(const std::string& path, int64_t& folderId) {
  SelectFolderIdStatement->Reset();
  SelectFolderIdStatement->Bind(1, path);
  boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderIdStatement->ExecQuery();
  const int64_t id = row->Eof() ? -1 : row->GetInt64Field(0, -1);
  if (id == -1)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFolderNotFound, path.c_str());
  folderId = id;
  (void)cache_->PutFolderId(path, id);  // without a cache the next lookup reads the table again
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// Folder changes

CYaError CFullPathDatabase::WriteFolderRow(const std::string& folderPath, const CDatabaseItemPtr& item,
                                           int64_t& folderId) {
  // The root has no parent (it hangs below the base row "-"); any other path splits into a shorter
  // parent.
  std::string parent;
  std::string name;
  if (folderPath != "/")
    (void)FXPath::SplitParentPath(folderPath, parent, name);
  int64_t parentId = 1;
  int64_t lastInsertBefore = 0;
  int changes = 0;
  FSDB_RETURN_IF_ERROR(UpsertFolderRow(parent, folderPath, *item, parentId, lastInsertBefore, changes));
  folderId = -1;
  if (changes > 0) {
    folderId = GetLastInsertRowId();
    FSDB_LOG(4, "Inserted Folder [%s] ID : [%" PRId64 "]", folderPath.c_str(), folderId);
    // A new row's id is known here; caching it spares the lookup that the file being added next needs.
    // (An update of an existing row leaves the last insert id alone; its id is cached by lookups.)
    if (folderId != lastInsertBefore)
      (void)cache_->PutFolderId(folderPath, folderId);  // a cache miss later reads the table
    else
      folderId = -1;
  }
  return CYaError::Success();
}

CYaError CFullPathDatabase::MoveFolderRows(const FolderMove& move) {
  SelectFolderItemStatement->Reset();
  SelectFolderItemStatement->Bind(1, move.oldFolder);
  BindFolderUpdate(move.newParentId, move.newFolder, move.folderId, move.newItem, *SelectFolderItemStatement);
  if (UpdateFolderStatement->ExecDML() > 0) {
    FSDB_LOG(4,
             "Successfully Renamed ParentFolderID Folder [%s] to [%s] ID : [%" PRId64
             "] ParentFolderId [%" PRId64 "]",
             move.oldFolder.c_str(), move.newFolder.c_str(), move.folderId, move.newParentId);
  }
  RenameFolderPathsStatement->Reset();
  RenameFolderPathsStatement->Bind(1, move.oldFolder);
  RenameFolderPathsStatement->Bind(2, move.newFolder);
  if (RenameFolderPathsStatement->ExecDML() > 0) {
    FSDB_LOG(4, "Successfully Renamed FullyQualifiedPaths from Old Folder [%s] to New Folder [%s]",
             move.oldFolder.c_str(), move.newFolder.c_str());
  }
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// Folder queries

CYaError CFullPathDatabase::AppendChildFolders(const std::string&, int64_t folderId,
                                               std::list<CDatabaseItemPtr>& items) {
  SelectChildFoldersStatement->Reset();
  SelectChildFoldersStatement->Bind(1, static_cast<long>(folderId));
  for (boost::shared_ptr<FX::CSQLite3Query> row = SelectChildFoldersStatement->ExecQuery(); !row->Eof();
       row->NextRow()) {
    const int64_t childId = row->GetInt64Field(0, -1);
    const std::string stored = row->GetStringField(2, "");
    CDatabaseItemPtr item = DecodeFolderRow(*row, childId, stored, 3);
    (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
    FSDB_LOG(3, " Got Folder ID [%" PRId64 "] Parent Folder ID [%" PRId64 "] FolderName [%s] %s", childId,
             row->GetInt64Field(1, -1), item->GetFullyQualifiedPath().c_str(), item->AsString().c_str());
    // Cached under the stored form, the one lookups use, so the cache and the table always agree.
    FSDB_RETURN_IF_ERROR(cache_->PutFolderId(stored, childId));
    items.push_back(item);
  }
  return CYaError::Success();
}

CYaError CFullPathDatabase::QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) {
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    SelectFolderItemStatement->Reset();
    SelectFolderItemStatement->Bind(1, path);
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderItemStatement->ExecQuery();
    if (row->Eof())
      return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFolderNotFound,
                                     path.c_str());
    item = DecodeFolderRow(*row, row->GetInt64Field(0, -1), row->GetStringField(2, ""), 3);
    item->SetFullyQualifiedPath(path);   // the path as asked, with its separator
    (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
    FSDB_LOG(30,
             " Got Folder ID [%" PRId64 "] Parent Folder ID [%" PRId64
             "] FullyQualifiedPath [%s] Item Information : %s",
             item->GetId(), row->GetInt64Field(1, -1), path.c_str(), item->AsString().c_str());
    return CYaError::Success();
  });
}

CDatabaseItemPtr CFullPathDatabase::GetNextSelectedFolderItem() {
  // Folders rows: 0 the id, 1 the parent's id, 2 the path, 3.. the attributes.
  return TakeSelectedFolderRow(0, 2, 3, 1);
}

}  // namespace FSDB
