#include "core/OptimizedPathDatabase.h"

#include <cinttypes>

#include <algorithm>
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
    "(FolderId INTEGER NOT NULL PRIMARY KEY, ParentFolderId INTEGER, FolderName VARCHAR COLLATE ";
const char kFolderTableTail[] =
    ",Inode BIGINT,FileSize BIGINT,LastAccessTime BIGINT,LastModificationTime BIGINT,LastChangeTime "
    "BIGINT,Dirchange INTEGER,Collect INTEGER,Metadata VARCHAR,CONSTRAINT parent_folder FOREIGN KEY "
    "(ParentFolderId) REFERENCES Folders(FolderId) ON DELETE CASCADE)";

const char kCreateFolderIndex[] =
    "CREATE UNIQUE INDEX IF NOT EXISTS index_folders_parentidfoldername ON "
    "Folders(ParentFolderId,FolderName);";

// Both views are one recursive walk from the root (row 2, below row 1, given the empty name); each
// child is named "<parent's name>/<own name>". The pieces are joined with the separator, and the
// collation name ends each view.
const char kSearchFoldersHead[] =
    "WITH RECURSIVE search_folders(FolderId, ParentFolderId, FolderName, Inode, FileSize, LastAccessTime, "
    "LastModificationTime, LastChangeTime, Dirchange, Collect, Metadata) AS (  SELECT F.FolderId, "
    "F.ParentFolderId, '', F.Inode, F.FileSize, F.LastAccessTime, F.LastModificationTime, F.LastChangeTime, "
    "F.Dirchange, F.Collect, F.Metadata FROM Folders F WHERE F.ParentFolderId = 1 AND F.FolderId = 2 UNION "
    "ALL "
    "SELECT F.FolderId, F.ParentFolderId, printf('%s";
const char kSearchFoldersTail[] =
    "%s', SF.FolderName, F.FolderName), F.Inode, F.FileSize, F.LastAccessTime, F.LastModificationTime, "
    "F.LastChangeTime, F.Dirchange, F.Collect, F.Metadata FROM Folders F, search_folders SF  WHERE "
    "SF.FolderId = "
    "F.ParentFolderId ) ";
// A file's path is its folder's path, the separator and its name. The format is a quoted string: left
// bare, "%s/%s" is not SQL and the view could not be created.
const char kFilesystemSelectHead[] = "SELECT printf('%s";
const char kFilesystemSelectTail[] =
    "%s', search_folders.FolderName, Files.FileName) AS PATH, Files.FolderId, Files.Inode, Files.FileSize, "
    "Files.LastAccessTime, Files.LastModificationTime, Files.LastChangeTime, Files.Dirchange, Files.Collect, "
    "Files.Metadata FROM Files , search_folders WHERE search_folders.FolderId = Files.FolderId UNION  SELECT "
    "FolderName AS Path , FolderId , Inode, FileSize, LastAccessTime, LastModificationTime, LastChangeTime, "
    "Dirchange, Collect, Metadata FROM search_folders ORDER BY Path COLLATE ";
const char kFullyQualifiedFoldersSelect[] =
    "SELECT FolderName AS FullyQualifiedPath , FolderId , Inode, FileSize, LastAccessTime, "
    "LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata FROM search_folders ORDER BY FullyQualifiedPath COLLATE ";

const char kSelectFolderId[] =
    "SELECT FolderId from Folders WHERE Folders.ParentFolderId=?1 AND Folders.FolderName=?2";
const char kUpsertFolder[] =
    "INSERT INTO Folders (ParentFolderId, FolderName, Inode, FileSize, LastAccessTime, LastModificationTime, "
    "LastChangeTime, Dirchange, Collect, Metadata)  VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10) ON "
    "CONFLICT(ParentFolderId, FolderName) DO UPDATE SET Inode=excluded.Inode, FileSize=excluded.FileSize,  "
    "LastAccessTime=excluded.LastAccessTime, LastModificationTime=excluded.LastModificationTime, "
    "LastChangeTime=excluded.LastChangeTime,  Dirchange=excluded.Dirchange, Collect=excluded.Collect, "
    "Metadata=excluded.Metadata ;";
const char kDeleteFolder[] = "DELETE FROM Folders WHERE Folders.FolderId = ?1";
const char kUpdateFolder[] =
    "UPDATE Folders SET ParentFolderId=?1, FolderName=?2, Inode=?4, FileSize=?5, LastAccessTime=?6, "
    "LastModificationTime=?7, LastChangeTime=?8, Dirchange=?9, Collect=?10, Metadata=?11 WHERE "
    "Folders.FolderId=?3";
const char kSelectChildFolders[] = "SELECT * FROM Folders where ParentFolderId=?1";
// The view's paths are computed and carry no collation: without one named here SQLite would sort them
// in plain byte order (/a b before /a/b), and a comparison would see folders as new and deleted.
const char kSelectSelectedFolders[] =
    "SELECT * FROM FullyQualifiedFolders WHERE Dirchange = 1 ORDER BY FullyQualifiedPath COLLATE ";
const char kSelectFolderById[] = "SELECT * FROM Folders WHERE FolderId=?1";

// In the view rows: 0 the path, 1 the id, 2.. the attributes. In Folders rows: 0 the id, 3.. the attributes.
const int kViewPathColumn = 0;
const int kViewIdColumn = 1;
const int kViewAttributesColumn = 2;
const int kRowAttributesColumn = 3;

std::string SearchFolders() {
  return std::string(kSearchFoldersHead) + "/" + kSearchFoldersTail;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Schema and statements

CYaError COptimizedPathDatabase::CreateFolderTable() {
  return CreateCollatedTable("Folders", kFolderTableHead, kFolderTableTail);
}

CYaError COptimizedPathDatabase::CreateIndexes() {
  FSDB_RETURN_IF_ERROR(Execute(kCreateFolderIndex));
  FSDB_RETURN_IF_ERROR(CPathDatabase::CreateIndexes());
  return CYaError::Success();
}

CYaError COptimizedPathDatabase::CreateViews() {
  const std::string filesystem =
      SearchFolders() + kFilesystemSelectHead + "/" + kFilesystemSelectTail + PathCollation();
  FSDB_LOG(2, "The Full Filesystem View is created with this Query %s", filesystem.c_str());
  FSDB_RETURN_IF_ERROR(CreateView("FilesystemView", filesystem));
  const std::string folders = SearchFolders() + kFullyQualifiedFoldersSelect + PathCollation();
  FSDB_LOG(2, "The FullyQualifiedFolders View is created with this Query %s", folders.c_str());
  FSDB_RETURN_IF_ERROR(CreateView("FullyQualifiedFolders", folders));
  return CYaError::Success();
}

CYaError COptimizedPathDatabase::CreateFolderTableStatements() {
  const std::string selectedFolders = std::string(kSelectSelectedFolders) + PathCollation();
  FSDB_RETURN_IF_ERROR(CompileFolderStatements({kSelectFolderId, kUpsertFolder, kDeleteFolder, kUpdateFolder,
                                                kSelectChildFolders, selectedFolders.c_str()}));
  return CompileStatements({{kSelectFolderById, &SelectFolderByIdStatement}});
}

// ---------------------------------------------------------------------------------------------------
// Folder-id lookup

CYaError COptimizedPathDatabase::LookUpFolderId(const std::string& path, int64_t& folderId) {
  // Walk the components once, from the root down: the leading folders' ids come from the cache while it
  // knows them (under their separator-terminated form), the rest from one indexed lookup each, and the
  // walk stops at the first folder that is not recorded. Linear in the depth, whatever the depth.
  std::string prefix = "/";
  bool probing = true;
  int64_t id = 1;
  auto step = [&](const std::string& name) {
    if (probing) {
      int64_t cached = 0;
      if (!cache_->GetFolderId(prefix, cached).IsError()) {
        id = cached;
        return true;
      }
      probing = false;  // deeper folders are not cached either, as a rule: stop asking
    }
    FSDB_LOG(30, "Searching Folders with ParentFolderId [%" PRId64 "] and Name [%s]", id, name.c_str());
    SelectFolderIdStatement->Reset();
    SelectFolderIdStatement->Bind(1, static_cast<long>(id));
    SelectFolderIdStatement->Bind(2, name);
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderIdStatement->ExecQuery();
    if (row->Eof())
      return false;
    id = row->GetInt64Field(0, -1);
    (void)cache_->PutFolderId(prefix, id);  // without a cache the next lookup walks again
    return true;
  };
  // The root is the row named "/" below row 1.
  if (!step("/"))
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFolderNotFound, path.c_str());
  size_t begin = 0;
  while (begin < path.size()) {
    const size_t end = std::min(path.find('/', begin), path.size());
    if (end > begin) {
      const std::string name = path.substr(begin, end - begin);
      prefix.append(name).push_back('/');
      if (!step(name))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFolderNotFound,
                                       path.c_str());
    }
    begin = end + 1;
  }
  folderId = id;
  // Other spellings (relative, repeated separators) are walked like the plain path but not cached: a
  // deleted or moved folder drops only the plain paths at and below it, so such an entry would go on
  // answering with the old id.
  const bool plain = path.empty() || (path[0] == '/' && path.find("//") == std::string::npos);
  if (plain)
    (void)cache_->PutFolderId(path, id);  // without a cache the next lookup walks again
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// Folder changes

CYaError COptimizedPathDatabase::NormalizeChangedFolderPath(const std::string& path,
                                                            std::string& folderPath) {
  return NormalizePath(path, folderPath);
}

CYaError COptimizedPathDatabase::WriteFolderRow(const std::string& folderPath, const CDatabaseItemPtr& item,
                                                int64_t& folderId) {
  std::string trimmed = folderPath;
  (void)FXPath::RemoveTrailingDelimiter(trimmed);  // cannot fail
  // The root is the row named "/" below row 1; adding it updates its attributes.
  std::string parent;
  std::string name = "/";
  if (!trimmed.empty())
    (void)FXPath::SplitParentPath(trimmed, parent, name);  // an absolute path splits, into a shorter parent
  int64_t parentId = 1;
  int64_t lastInsertBefore = 0;
  int changes = 0;
  FSDB_RETURN_IF_ERROR(UpsertFolderRow(parent, name, *item, parentId, lastInsertBefore, changes));
  // The upsert inserted a row (the last insert id moved) or updated an existing one, whose id the
  // connection does not report: then read it back. An insert that reused the very same id is
  // answered correctly by the read too.
  folderId = GetLastInsertRowId();
  if (folderId == lastInsertBefore) {
    SelectFolderIdStatement->Reset();
    SelectFolderIdStatement->Bind(1, static_cast<long>(parentId));
    SelectFolderIdStatement->Bind(2, name);
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderIdStatement->ExecQuery();
    folderId = row->Eof() ? -1 : row->GetInt64Field(0, -1);
  }
  FSDB_LOG(4, "Inserted Folder [%s] ID : [%" PRId64 "]", trimmed.c_str(), folderId);
  if (folderId != -1)
    FSDB_RETURN_IF_ERROR(cache_->PutFolderId(folderPath, folderId));
  return CYaError::Success();
}

CYaError COptimizedPathDatabase::MoveFolderRows(const FolderMove& move) {
  // One row, whatever the subtree: the descendants name their parents by id.
  SelectFolderByIdStatement->Reset();
  SelectFolderByIdStatement->Bind(1, static_cast<long>(move.folderId));
  BindFolderUpdate(move.newParentId, move.newName, move.folderId, move.newItem, *SelectFolderByIdStatement);
  if (UpdateFolderStatement->ExecDML() > 0) {
    FSDB_LOG(4, "Successfully Renamed Folder [%s] to [%s] ID : [%" PRId64 "]", move.oldPath.c_str(),
             move.newPath.c_str(), move.folderId);
  }
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// Folder queries

CYaError COptimizedPathDatabase::AppendChildFolders(const std::string& folderPath, int64_t folderId,
                                                    std::list<CDatabaseItemPtr>& items) {
  SelectChildFoldersStatement->Reset();
  SelectChildFoldersStatement->Bind(1, static_cast<long>(folderId));
  for (boost::shared_ptr<FX::CSQLite3Query> row = SelectChildFoldersStatement->ExecQuery(); !row->Eof();
       row->NextRow()) {
    std::string childPath = folderPath;
    (void)FXPath::Append(childPath, row->GetStringField(2, ""), 0);  // cannot fail
    CDatabaseItemPtr item = DecodeFolderRow(*row, row->GetInt64Field(0, -1), childPath, kRowAttributesColumn);
    (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
    FSDB_LOG(3, " Got Folder ID [%" PRId64 "] Parent Folder ID [%" PRId64 "] FolderName [%s] %s",
             item->GetId(), row->GetInt64Field(1, -1), childPath.c_str(), item->AsString().c_str());
    items.push_back(item);
  }
  return CYaError::Success();
}

CYaError COptimizedPathDatabase::QueryFolderItem(const std::string& path, CDatabaseItemPtr& item) {
  int64_t folderId = 0;
  FSDB_RETURN_IF_ERROR(QueryFolderId(path, folderId));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    SelectFolderByIdStatement->Reset();
    SelectFolderByIdStatement->Bind(1, static_cast<long>(folderId));
    boost::shared_ptr<FX::CSQLite3Query> row = SelectFolderByIdStatement->ExecQuery();
    if (row->Eof())
      return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, FX::kMessageFolderNotFound,
                                     path.c_str());
    // The same item as the full-path layout gives: the path as asked, the last component as the name.
    item = DecodeFolderRow(*row, folderId, path, kRowAttributesColumn);
    item->SetFullyQualifiedPath(path);
    (void)item->PopulateFromMetadata();  // an empty or unreadable document leaves those values at 0
    FSDB_LOG(30,
             " Got Folder ID [%" PRId64 "] Parent Folder ID [%" PRId64
             "] FullyQualifiedPath [%s] Item Information : %s",
             folderId, row->GetInt64Field(1, -1), path.c_str(), item->AsString().c_str());
    return CYaError::Success();
  });
}

CDatabaseItemPtr COptimizedPathDatabase::GetNextSelectedFolderItem() {
  return TakeSelectedFolderRow(kViewIdColumn, kViewPathColumn, kViewAttributesColumn, -1);
}

}  // namespace FSDB
