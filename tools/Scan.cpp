#include "Scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "fsdb/DatabaseItem.h"
#include "fsdb/ScanDatabase.h"

namespace fsdbtool {

namespace fs = std::filesystem;
using FSDB::CDatabaseItem;
using FSDB::CDatabaseItemPtr;

namespace {

// Win32-style codes for failures of the walk itself (the library's errors pass through unchanged).
constexpr unsigned kErrorPathNotFound = 3;

// What one lstat-like call tells about an entry, in the units the database records.
struct EntryStatus {
  bool folder = false;
  int64_t inode = 0;
  int64_t size = 0;
  int64_t sizeOnDisk = 0;
  int64_t accessTime = 0;
  int64_t modificationTime = 0;
  int64_t changeTime = 0;
  int64_t creationTime = 0;  // 0 when the file system does not keep a birth time
  int mode = 0;
  int links = 0;
};

// Reads the status of `path` itself, never of a link's target. statx is preferred because it is the
// only call that reports the birth time; kernels or sandboxes without it fall back to lstat.
// Returns 0 or an errno value.
int ReadStatus(const std::string& path, EntryStatus& status) {
#ifdef STATX_BTIME
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    status.folder = S_ISDIR(sx.stx_mode);
    status.inode = static_cast<int64_t>(sx.stx_ino);
    status.size = static_cast<int64_t>(sx.stx_size);
    status.sizeOnDisk = static_cast<int64_t>(sx.stx_blocks) * 512;
    status.accessTime = sx.stx_atime.tv_sec;
    status.modificationTime = sx.stx_mtime.tv_sec;
    status.changeTime = sx.stx_ctime.tv_sec;
    status.creationTime = (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime.tv_sec : 0;
    status.mode = static_cast<int>(sx.stx_mode);
    status.links = static_cast<int>(sx.stx_nlink);
    return 0;
  }
  if (errno != ENOSYS && errno != EPERM)
    return errno;
#endif
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno;
  status.folder = S_ISDIR(st.st_mode);
  status.inode = static_cast<int64_t>(st.st_ino);
  status.size = static_cast<int64_t>(st.st_size);
  status.sizeOnDisk = static_cast<int64_t>(st.st_blocks) * 512;
  status.accessTime = st.st_atime;
  status.modificationTime = st.st_mtime;
  status.changeTime = st.st_ctime;
  status.creationTime = 0;
  status.mode = static_cast<int>(st.st_mode);
  status.links = static_cast<int>(st.st_nlink);
  return 0;
}

// An item ready to be added: the columns, the metadata document and the flags.
CYaError MakeItem(const fs::path& path, const EntryStatus& status, bool select, CDatabaseItemPtr& item) {
  item = boost::make_shared<CDatabaseItem>();
  item->SetFileName(path.filename().string());
  item->SetFullyQualifiedPath(path.string());
  item->SetFileId(status.inode);
  item->SetFileSize(status.size);
  item->SetAccessTime(status.accessTime);
  item->SetModificationTime(status.modificationTime);
  item->SetChangeTime(status.changeTime);
  item->SetAttributes(status.mode);
  item->SetLinks(status.links);
  item->SetFileSizeOnDisk(status.sizeOnDisk);
  item->SetCreationTime(status.creationTime);
  item->SetAsDirectory(status.folder);
  item->SetAsSelected(select);
  CYaError error = item->FormMetadata();
  if (error.IsError())
    return error.Push(FX_LOCATION, "FormMetadata failed for [%s]", path.c_str());
  return CYaError::Success();
}

void Warn(const fs::path& path, const std::string& reason) {
  std::cerr << "fsdb: warning: skipping " << path.string() << ": " << reason << '\n';
}

}  // namespace

CYaError ScanTree(const ScanOptions& options, ScanSummary& summary) {
  const auto start = std::chrono::steady_clock::now();

  std::error_code ec;
  const fs::path root = fs::canonical(options.folder, ec);
  if (ec) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorPathNotFound, "Cannot resolve [%s]: %s",
                                   options.folder.c_str(), ec.message().c_str());
  }
  EntryStatus rootStatus;
  if (int err = ReadStatus(root.string(), rootStatus); err != 0 || !rootStatus.folder) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorPathNotFound, "Cannot scan [%s]: %s", root.c_str(),
                                   err != 0 ? std::strerror(err) : "not a folder");
  }
  summary.root = root.string();

  // Bulk-insert mode writes files with a plain insert and rebuilds the unique index at Close, which
  // would fail on rows left by an earlier scan; an existing database is therefore updated row by row.
  const bool existed = fs::exists(options.database, ec);
  FSDB::CScanDatabase database(
      options.database, options.optimized ? FSDB::DATABASE_TYPE_OPTIMIZED : FSDB::DATABASE_TYPE_FULL_PATH);
  CYaError error = database.Open(false);
  if (error.IsError())
    return error.Push(FX_LOCATION, "Open failed for [%s]", options.database.c_str());
  if (!existed) {
    error = database.SetBulkInsertMode(true);
    if (error.IsError())
      return error.Push(FX_LOCATION);
  } else {
    std::cerr << "fsdb: warning: " << options.database
              << " already exists; its rows are updated and entries it holds that are gone are kept\n";
  }
  // A database kept inside the scanned tree changes while it is written; it and SQLite's companion
  // files are left out rather than recorded in a half-written state.
  std::vector<fs::path> ownFiles;
  std::error_code selfError;
  const fs::path self = fs::canonical(options.database, selfError);
  if (!selfError) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      ownFiles.emplace_back(self.string() + suffix);
  }

  // Depth first with an explicit stack, so deep trees cannot exhaust the call stack. Each folder is
  // added before its entries: a file whose folder is missing would make the library create that
  // folder with an empty (unselected) item.
  std::vector<std::pair<fs::path, EntryStatus>> pending;
  pending.emplace_back(root, rootStatus);
  while (!pending.empty()) {
    const fs::path folder = std::move(pending.back().first);
    const EntryStatus folderStatus = pending.back().second;
    pending.pop_back();

    CDatabaseItemPtr item;
    error = MakeItem(folder, folderStatus, options.select, item);
    if (error.IsError())
      return error.Push(FX_LOCATION);
    error = database.AddFolder(folder.string(), item);
    if (error.IsError())
      return error.Push(FX_LOCATION, "AddFolder failed for [%s]", folder.c_str());
    ++summary.folders;

    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path path = it->path();
      if (std::find(ownFiles.begin(), ownFiles.end(), path) != ownFiles.end())
        continue;
      EntryStatus status;
      if (int err = ReadStatus(path.string(), status); err != 0) {
        Warn(path, std::strerror(err));
        ++summary.skipped;
        continue;
      }
      if (status.folder) {
        pending.emplace_back(path, status);
        continue;
      }
      error = MakeItem(path, status, options.select, item);
      if (error.IsError())
        return error.Push(FX_LOCATION);
      error = database.AddFile(path.string(), item);
      if (error.IsError())
        return error.Push(FX_LOCATION, "AddFile failed for [%s]", path.c_str());
      ++summary.files;
    }
    // The folder itself is recorded; only what could not be listed in it is missing.
    if (ec) {
      Warn(folder, "cannot list its entries: " + ec.message());
      ++summary.skipped;
      ec.clear();
    }
  }

  // Close writes the queued files and rebuilds the index, so its failure is the scan's failure.
  error = database.Close();
  if (error.IsError())
    return error.Push(FX_LOCATION, "Close failed for [%s]", options.database.c_str());
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return CYaError::Success();
}

}  // namespace fsdbtool
