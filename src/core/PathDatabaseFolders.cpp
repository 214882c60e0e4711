// The folder steps both layouts share: parents added on demand, deletion, the checks of a move.

#include "core/PathDatabase.h"

#include <cinttypes>
#include <functional>

#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

// Every folder of the subtree of ?1 with its depth below it (?1 itself at 0), through the parent links
// that both layouts keep. A statement is appended.
const char kSubtreeWalk[] =
    "WITH RECURSIVE subtree(id, depth) AS (SELECT ?1, 0 UNION ALL SELECT F.FolderId, subtree.depth + 1 FROM "
    "Folders F, subtree WHERE F.ParentFolderId = subtree.id) ";

}  // namespace

CYaError CPathDatabase::QueryFolderId(const std::string& path, int64_t& folderId) {
  CTimeCounter* const counter = Counter(CDatabasePerformanceCounters::QUERY_FOLDER);
  int64_t id = 0;
  // Anything but a hit (a miss, or no cache at all) goes to the table: the lookup never reports
  // success without an id.
  if (!cache_->GetFolderId(path, id).IsError()) {
    // A hit is counted but not timed: it takes about as long as one reading of the clock, and it
    // happens for every file a scan adds.
    if (counter != nullptr)
      *counter += CTimeInterval();
    folderId = id;
    FSDB_LOG(30, "Folder [%s] Found in Cache ID :  [%" PRId64 "]", path.c_str(), id);
    return CYaError::Success();
  }
  FSDB_LOG(30, "Folder [%s] Not Found in Cache", path.c_str());
  CAutoTimeCounter timer(counter);
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError { return LookUpFolderId(path, folderId); });
}

CYaError CPathDatabase::QueryOrAddParentFolder(std::string& parent, int64_t& parentId) {
  CYaError error = QueryFolderId(parent, parentId);
  if (!error.IsError()) {
    FSDB_LOG(3, "Retrieved Folder [%s] ID : [%" PRId64 "]", parent.c_str(), parentId);
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
    FSDB_RETURN_IF_ERROR(AddFolder(*folder, boost::make_shared<CDatabaseItem>()));
  }
  FSDB_RETURN_IF_ERROR(QueryFolderId(parent, parentId));
  FSDB_LOG(3, "Retrieved Folder [%s] ID : [%" PRId64 "]", parent.c_str(), parentId);
  return CYaError::Success();
}

CYaError CPathDatabase::UpsertFolderRow(std::string parent, const std::string& stored,
                                        const CDatabaseItem& item, int64_t& parentId,
                                        int64_t& lastInsertBefore, int& changes) {
  parentId = 1;
  if (!parent.empty())
    FSDB_RETURN_IF_ERROR(QueryOrAddParentFolder(parent, parentId));
  lastInsertBefore = GetLastInsertRowId();
  UpsertFolderStatement->Reset();
  UpsertFolderStatement->Bind(1, static_cast<long>(parentId));
  UpsertFolderStatement->Bind(2, stored);
  BindItemAttributes(*UpsertFolderStatement, 3, item);
  changes = UpsertFolderStatement->ExecDML();
  return CYaError::Success();
}

CYaError CPathDatabase::DeleteFolderRow(const std::string& folderPath) {
  if (folderPath == "/")
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "The root folder cannot be deleted");
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // Queued files must reach the table first: a queued file whose folder is gone could never be written.
    FSDB_RETURN_IF_ERROR(FlushPendingFiles());
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = 0;
    FSDB_RETURN_IF_ERROR(QueryFolderId(folderPath, folderId));
    FSDB_LOG(3, "Folder [%s] ID : [%" PRId64 "]", folderPath.c_str(), folderId);
    DeleteFolderStatement->Reset();
    DeleteFolderStatement->Bind(1, static_cast<long>(folderId));
    // SQLite nests each cascaded delete one level deeper and refuses past 1000 levels, leaving what it
    // deleted until then: the attempt runs inside a savepoint. A subtree that deep is then cut into
    // shallow slices first.
    int deleted = 0;
    FSDB_RETURN_IF_ERROR(Execute("SAVEPOINT delete_folder;"));
    CYaError attempt = FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
      deleted = DeleteFolderStatement->ExecDML();
      return CYaError::Success();
    });
    int code = 0;
    if (FXErrorUtil::IsSQLite(attempt, &code) && (code & 0xFF) == 1 /* SQLITE_ERROR */ &&
        attempt.GetMessage().find("too many levels of trigger recursion") != std::string::npos) {
      FSDB_RETURN_IF_ERROR(Execute("ROLLBACK TO delete_folder;"));
      FSDB_RETURN_IF_ERROR(CutDeepSubtree(folderId));
      deleted = DeleteFolderStatement->ExecDML();
    } else if (attempt.IsError()) {
      return attempt;
    }
    FSDB_RETURN_IF_ERROR(Execute("RELEASE delete_folder;"));
    if (deleted > 0)
      FSDB_LOG(4, "Successfully Deleted Folder [%s]", folderPath.c_str());
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    ForgetCachedFolderTree(folderPath);
    return CYaError::Success();
  });
}

CYaError CPathDatabase::CutDeepSubtree(int64_t folderId) {
  // Deleting the folders at every kCutLevels-th level first, the deepest first, keeps each cascade
  // well below SQLite's 1000 levels (a file row adds one).
  const int kCutLevels = 400;
  boost::shared_ptr<FX::CSQLite3Statement> height;
  FSDB_RETURN_IF_ERROR(
      CompileStatement(std::string(kSubtreeWalk) + "SELECT MAX(depth) FROM subtree", height));
  height->Bind(1, static_cast<long>(folderId));
  const int deepest = height->ExecQuery()->GetIntField(0, 0);
  height.reset();
  if (deepest < kCutLevels)
    return CYaError::Success();
  boost::shared_ptr<FX::CSQLite3Statement> cut;
  FSDB_RETURN_IF_ERROR(
      CompileStatement(std::string(kSubtreeWalk) +
                           "DELETE FROM Folders WHERE FolderId IN (SELECT id FROM subtree WHERE depth=?2)",
                       cut));
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
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "The root folder cannot be renamed, nor replaced ([%s] to [%s])",
                                   oldFolder.c_str(), newFolder.c_str());
  }
  // A folder moved below itself would leave its subtree in a cycle that no path reaches.
  if (FXPath::IsAncestorOf(oldFolder, newFolder, false)) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Cannot move the folder [%s] into its own subtree [%s]", oldFolder.c_str(),
                                   newFolder.c_str());
  }
  FSDB_RETURN_IF_ERROR(QueryFolderId(oldFolder, folderId));
  std::string newParent;
  (void)FXPath::SplitParentPath(newFolder, newParent, newName);  // an absolute path always splits
  FSDB_RETURN_IF_ERROR(QueryFolderId(newParent, newParentId));
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
  FSDB_RETURN_IF_ERROR(NormalizePath(path, folderPath));
  (void)FXPath::AppendTrailingDelimiter(folderPath);  // cannot fail
  return CYaError::Success();
}

CYaError CPathDatabase::NormalizeListedFolderPath(const std::string& path, std::string& folderPath) {
  FSDB_RETURN_IF_ERROR(NormalizeFolderPath(path.empty() ? "/" : path, folderPath));
  return CYaError::Success();
}

void CPathDatabase::ForgetCachedFolderTree(const std::string& folderPath) {
  (void)cache_->RemoveFolderTree(folderPath);  // fails only without a cache, which then holds nothing
}

CYaError CPathDatabase::NormalizeChangedFolderPath(const std::string& path, std::string& folderPath) {
  return NormalizeFolderPath(path, folderPath);
}

CYaError CPathDatabase::AddFolder(const std::string& path, const CDatabaseItemPtr& item) {
  auto_lock lock(&engineLock_, true);
  CAutoTimeCounter timer(PerRowCounter(CDatabasePerformanceCounters::ADD_FOLDER));
  std::string folderPath;
  FSDB_RETURN_IF_ERROR(NormalizeChangedFolderPath(path, folderPath));
  if (!item)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter, FX::kMessageNoFolderItem,
                                   path.c_str());
  FSDB_RETURN_IF_ERROR(JoinBulkTransaction());
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    // The missing parents and the folder persist together or not at all.
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = -1;
    FSDB_RETURN_IF_ERROR(WriteFolderRow(folderPath, item, folderId));
    RecordBulkFolder(folderPath, item, folderId);
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    return CYaError::Success();
  });
}

CYaError CPathDatabase::DeleteFolder(const std::string& path, const CDatabaseItemPtr&) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::DELETE_FOLDER));
  std::string folderPath;
  FSDB_RETURN_IF_ERROR(NormalizeChangedFolderPath(path, folderPath));
  FSDB_RETURN_IF_ERROR(DeleteFolderRow(folderPath));
  return CYaError::Success();
}

CYaError CPathDatabase::RenameFolder(const std::string& oldPath, const std::string& newPath,
                                     const CDatabaseItemPtr&, const CDatabaseItemPtr& newItem) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::RENAME_FOLDER));
  std::string oldFolder;
  std::string newFolder;
  FSDB_RETURN_IF_ERROR(NormalizeChangedFolderPath(oldPath, oldFolder));
  FSDB_RETURN_IF_ERROR(NormalizeChangedFolderPath(newPath, newFolder));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    FSDB_RETURN_IF_ERROR(FlushPendingFiles());  // the move is a transaction of its own
    // Every row of the move or none: a failure half-way must not leave the folder moved without its
    // descendants.
    FX::CDatabaseTransaction transaction(this, 0);
    int64_t folderId = 0;
    int64_t newParentId = 0;
    std::string newName;
    FSDB_RETURN_IF_ERROR(PrepareFolderMove(oldFolder, newFolder, folderId, newParentId, newName));
    FSDB_RETURN_IF_ERROR(MoveFolderRows(
        FolderMove{oldPath, newPath, oldFolder, newFolder, folderId, newParentId, newName, newItem}));
    FSDB_RETURN_IF_ERROR(transaction.Commit());
    // The old paths now name nothing (or, later, other folders): their cached ids must go.
    ForgetCachedFolderTree(oldFolder);
    return CYaError::Success();
  });
}

CYaError CPathDatabase::QueryFolderItems(const std::string& path, int64_t folderId,
                                         std::list<CDatabaseItemPtr>& items) {
  CAutoTimeCounter timer(Counter(CDatabasePerformanceCounters::GET_FOLDER_ITEMS));
  // The children are named below the folder's separator-terminated form in both layouts: the root,
  // which the walk and the views call "", lists /x, not x.
  std::string folderPath;
  FSDB_RETURN_IF_ERROR(NormalizeListedFolderPath(path, folderPath));
  int64_t id = folderId;
  if (id < 1)
    FSDB_RETURN_IF_ERROR(QueryFolderId(folderPath, id));
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    FSDB_RETURN_IF_ERROR(AppendChildFolders(folderPath, id, items));
    FSDB_RETURN_IF_ERROR(AppendFolderFiles(folderPath, id, items));
    return CYaError::Success();
  });
}

CYaError CPathDatabase::QuerySelectedFolders(CDatabaseItemIteratorPtr& iterator) {
  return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
    SelectSelectedFoldersStatement->Reset();
    SelectedFoldersQuery = SelectSelectedFoldersStatement->ExecQuery();
    const CDatabaseItemIterator::Generator generator =
        std::bind(&CPathDatabase::GetNextSelectedFolderItem, this);
    iterator = boost::make_shared<CDatabaseItemIterator>(generator, GetNextSelectedFolderItem());
    return CYaError::Success();
  });
}

}  // namespace FSDB
