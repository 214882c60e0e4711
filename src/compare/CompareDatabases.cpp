#include "fsdb/CompareDatabases.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include <boost/make_shared.hpp>

#include "compare/CompareDatabasesPrivate.h"
#include "core/PathDatabase.h"
#include "core/PathOrdering.h"
#include "platform/ErrorCodes.h"
#include "platform/FXPath.h"
#include "platform/Log.h"
#include "platform/SQLiteDatabase.h"

namespace FSDB {

// ---------------------------------------------------------------------------------------------------
// Default callbacks: they only log and leave processFolder as it came, so by default a deleted folder's
// subtree is skipped, a new folder is walked completely and a common folder has its files compared.

CCompareDatabasesCallback::~CCompareDatabasesCallback() = default;

CYaError CCompareDatabasesCallback::OnFolderInIndex1(const std::string& path, CDatabaseItemPtr, bool&) {
  FSDB_LOG(3, "Deleted Folder [%s]", path.c_str());
  return CYaError::Success();
}

CYaError CCompareDatabasesCallback::OnFolderInIndex2(const std::string& path, CDatabaseItemPtr, bool&) {
  FSDB_LOG(3, "New Folder [%s]", path.c_str());
  return CYaError::Success();
}

CYaError CCompareDatabasesCallback::OnFolderInBothIndexes(const std::string&, CDatabaseItemPtr,
                                                          CDatabaseItemPtr, bool&) {
  return CYaError::Success();
}

CYaError CCompareDatabasesCallback::OnFileInIndex1(const std::string& path, CDatabaseItemPtr) {
  FSDB_LOG(3, "Deleted File [%s]", path.c_str());
  return CYaError::Success();
}

CYaError CCompareDatabasesCallback::OnFileInIndex2(const std::string& path, CDatabaseItemPtr) {
  FSDB_LOG(3, "New File [%s]", path.c_str());
  return CYaError::Success();
}

CYaError CCompareDatabasesCallback::OnFileInBothIndexes(const std::string&, CDatabaseItemPtr,
                                                        CDatabaseItemPtr) {
  return CYaError::Success();
}

// ---------------------------------------------------------------------------------------------------
// The comparison driver

namespace {

// One side of the folder merge: the walk over a database's selected folders, the folder it stands on
// (its path and row id are kept apart from the item, which the callbacks may change) and how many
// folders were taken from it. At the end the item, path and id keep their last values.
struct FolderCursor {
  CDatabaseItemIteratorPtr iterator;
  CDatabaseItemPtr item;
  std::string path;
  int64_t id = 0;
  uint64_t index = 0;

  bool AtEnd() const { return iterator->Eof(); }
  void Read() {
    if (AtEnd())
      return;
    item = iterator->GetItem();
    path = item->GetFullyQualifiedPath();
    id = item->GetId();
  }
  void Advance() {
    iterator->NextItem();
    ++index;
    Read();
  }
  // Moves past every folder beneath the one just reported. Both walks come in path order, where a
  // folder's subtree directly follows it, so the subtree ends at the first folder not beneath it.
  void SkipSubtree(bool previousSide) {
    const std::string top = path;
    for (;;) {
      Advance();
      if (AtEnd() || !FXPath::IsDescendantOf(path, top, false))
        return;
      if (previousSide)
        FSDB_LOG(30, "Previous [Yes] Current [No] Folder [%s] Skipping [Yes]", path.c_str());
      else
        FSDB_LOG(30, "Previous [No] Current [Yes] Folder [%s] Skipping [Yes]", path.c_str());
    }
  }
};

// Releases the worker, and with it both databases, whenever a comparison returns: their logging
// threads and file handles must not outlive the call.
class WorkerRelease {
 public:
  explicit WorkerRelease(boost::shared_ptr<CCompareDatabasesPrivate>& worker) : worker_(worker) {}
  ~WorkerRelease() { worker_.reset(); }
  WorkerRelease(const WorkerRelease&) = delete;
  WorkerRelease& operator=(const WorkerRelease&) = delete;

 private:
  boost::shared_ptr<CCompareDatabasesPrivate>& worker_;
};

// The comparison's engines are its own: no other code is handed them and the merge drives both from the
// calling thread, so their connections go without SQLite's per-connection mutex, which every step and
// column read would take. The logging thread that Open starts reads only the counters and the cache.
CYaError OpenEngine(const std::string& path, DatabaseType type, bool readOnly,
                    std::shared_ptr<CPathDatabase>& engine) {
  engine = MakeScanEngine(path, type, readOnly);
  engine->SetNoMutex(true);
  return engine->Open(true);
}

bool FileIsMissing(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

void LogProgress(const FolderCursor& current, const FolderCursor& previous) {
  FSDB_LOG(0, "Current Item Index : [%llu] PreviousItemIndex : [%llu]",
           static_cast<unsigned long long>(current.index), static_cast<unsigned long long>(previous.index));
}

}  // namespace

CCompareDatabases::CCompareDatabases(const std::string& currentPath, const std::string& previousPath,
                                     const boost::shared_ptr<CCompareDatabasesCallback>& callback,
                                     DatabaseType currentType, DatabaseType previousType)
    : currentType_(currentType),
      previousType_(previousType),
      currentPath_(currentPath),
      previousPath_(previousPath),
      callback_(callback) {}

CCompareDatabases::~CCompareDatabases() = default;

CYaError CCompareDatabases::CompareDatabases() {
  // Declared first so that its closing line comes after the databases have been released.
  std::optional<WDDebugFunction> trace;
  if (FsdbLogLevel() >= 0)
    trace.emplace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 0, 0ULL, 0, nullptr);
  WorkerRelease release(worker_);

  if (previousPath_.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Previous database not specified, Previous Database Name = [%s], Current "
                                   "Database Name = [%s]",
                                   previousPath_.c_str(), currentPath_.c_str());
  }
  if (currentPath_.empty()) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidParameter,
                                   "Current database not specified, Previous Database Name = [%s], Current "
                                   "Database Name = [%s]",
                                   previousPath_.c_str(), currentPath_.c_str());
  }
  // The current database is opened writable, and SQLite would create a missing file as an empty scan
  // that then reads as "everything deleted". A missing file is the caller's mistake: report it and
  // leave no file behind.
  if (FileIsMissing(previousPath_))
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorFileNotFound,
                                   "Previous database [%s] does not exist", previousPath_.c_str());
  if (FileIsMissing(currentPath_))
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorFileNotFound,
                                   "Current database [%s] does not exist", currentPath_.c_str());
  if (!callback_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData, "Comparison callback not specified");

  // Declared before the walks so that the iterators, whose generators are bound to the engines, go first.
  std::shared_ptr<CPathDatabase> previousDatabase;
  std::shared_ptr<CPathDatabase> currentDatabase;
  FolderCursor previous;
  FolderCursor current;
  // The folder and file walks read their cursors without catching; this is the operation's edge.
  try {
    return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
      FSDB_RETURN_IF_ERROR(OpenEngine(previousPath_, previousType_, true, previousDatabase));
      // A writable open would give a file without tables the whole schema (and read as "everything
      // deleted"). A read-only open first proves that it is a scan database of its layout, and writes
      // nothing when it is not. The probe closes as it goes; a read-only comparison needs none.
      if (!currentReadOnly_) {
        CScanDatabase probe(currentPath_, currentType_, true);
        CYaError error = probe.Open(false);
        if (error.IsError())
          return error.Push(FX_LOCATION, "Current database [%s] is not a scan database",
                            currentPath_.c_str());
      }
      FSDB_RETURN_IF_ERROR(OpenEngine(currentPath_, currentType_, currentReadOnly_, currentDatabase));
      worker_ = boost::make_shared<CCompareDatabasesPrivate>(currentDatabase, previousDatabase, callback_);

      FSDB_RETURN_IF_ERROR(previousDatabase->QuerySelectedFolders(previous.iterator));
      FSDB_RETURN_IF_ERROR(currentDatabase->QuerySelectedFolders(current.iterator));
      previous.Read();
      current.Read();
      // A folder on one side only: its files are compared and the walk goes on below it, or, when the
      // callback says so, its whole subtree is passed over.
      auto FinishOneSidedFolder = [this](FolderCursor& side, bool processFolder, bool previousSide) {
        if (!processFolder) {
          side.SkipSubtree(previousSide);
          return CYaError::Success();
        }
        CYaError result = previousSide ? worker_->CompareFolderItems(side.path, side.id, 0)
                                       : worker_->CompareFolderItems(side.path, 0, side.id);
        if (result.IsError())
          return result.Push(FX_LOCATION);
        side.Advance();
        return CYaError::Success();
      };

      while (!previous.AtEnd() || !current.AtEnd()) {
        // Written on every iteration while either index sits on a multiple of 10000, so a side without
        // selected folders keeps it coming: a cheap heartbeat that shows the walk is alive.
        if (current.index % 10000 == 0 || previous.index % 10000 == 0)
          LogProgress(current, previous);

        const int order = ComparePaths(previous.path, current.path, true);
        if ((order < 0 && !previous.AtEnd()) || current.AtEnd()) {
          FSDB_LOG(30, "Previous [Yes] Current [No] Folder [%s]", previous.path.c_str());
          bool processFolder = false;
          FSDB_RETURN_IF_ERROR(callback_->OnFolderInIndex1(previous.path, previous.item, processFolder));
          FSDB_RETURN_IF_ERROR(FinishOneSidedFolder(previous, processFolder, true));
        } else if (order > 0 || previous.AtEnd()) {
          FSDB_LOG(30, "Previous [No] Current [Yes] Folder [%s]", current.path.c_str());
          bool processFolder = true;
          FSDB_RETURN_IF_ERROR(callback_->OnFolderInIndex2(current.path, current.item, processFolder));
          FSDB_RETURN_IF_ERROR(FinishOneSidedFolder(current, processFolder, false));
        } else {
          bool processFolder = true;
          FSDB_RETURN_IF_ERROR(
              callback_->OnFolderInBothIndexes(current.path, previous.item, current.item, processFolder));
          if (processFolder) {
            FSDB_RETURN_IF_ERROR(worker_->CompareFolderItems(current.path, previous.id, current.id));
          }
          // A common folder's subfolders are always walked: they may differ even when its files are not
          // of interest.
          previous.Advance();
          current.Advance();
        }
      }
      LogProgress(current, previous);
      return CYaError::Success();
    });
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorOutOfMemory);
  }
}

}  // namespace FSDB
