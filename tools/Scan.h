// `fsdb scan`: walks a folder tree and records it in a scan database that replaces the old one only
// when complete.
//
// The walk (TreeWalker) and the writing are apart: the walker only reads the file system and hands each
// entry to its sink. A scan walks on a thread of its own, whose sink forms the items and passes them on
// in batches to the one thread that drives the database.

#ifndef FSDB_TOOLS_SCAN_H_
#define FSDB_TOOLS_SCAN_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Digest.h"
#include "ToolDatabase.h"
#include "fsdb/ScanDatabase.h"

namespace fsdbtool {

struct ScanOptions {
  std::string root;      // the folder to walk, as given
  std::string as;        // the absolute path to record the root under; empty: its canonical path
  std::string database;  // the database file to write (replaced as a whole)
  FSDB::DatabaseType layout = FSDB::DATABASE_TYPE_FULL_PATH;
  std::vector<std::string> excludes;  // fnmatch patterns, against the relative path and the name
  bool oneFileSystem = false;
  bool select = true;
  bool progress = false;  // a progress line on stderr (the caller checks for a terminal)
  // Content digests of regular files: kNone records none.
  DigestAlgorithm hash = DigestAlgorithm::kNone;
  // An earlier scan whose digests are taken over for files whose inode, size, modification and change
  // time are all unchanged; empty reads every file.
  std::string reuse;
};

// One entry as the walk found it.
struct WalkEntry : FileStatus {
  std::string path;  // as recorded: under the root's recorded path
  std::string name;
  bool folder = false;
  // The open folder that holds the entry, or -1 (the root, and a folder reached on its own
  // descriptor). Valid during OnEntry, and for as long as a copy of `folderHold` is kept.
  int folderFd = -1;
  std::shared_ptr<const void> folderHold;
  // False for a regular file handed to a sink that examines regular files itself: then only `path`,
  // `name`, the folder and `mode` (S_IFREG, as the folder's listing says) are set.
  bool examined = true;
};

// Receives the walk. A folder arrives before everything beneath it.
class WalkSink {
 public:
  virtual ~WalkSink() = default;
  // A failure ends the walk with it.
  virtual ToolStatus OnEntry(const WalkEntry& entry) = 0;
  // A folder whose entries could not all be listed (recorded already when it could be examined).
  virtual void OnUnreadable(const std::string& path, const std::string& reason) = 0;
  // An entry that went away between being listed and being examined.
  virtual void OnVanished(const std::string& path) = 0;
  // True when the sink opens every regular file and examines it through its descriptor: the walk then
  // spares the status of each (one system call per file, most of what a walk costs), once it has
  // seen that the folder lets its entries be examined.
  virtual bool ExaminesRegularFiles() const { return false; }
};

// Walks without following symbolic links, through folder descriptors (openat/statx relative to the
// open folder, never a whole path resolved again). Not thread-safe; one Walk per object.
class TreeWalker {
 public:
  // `ownDatabases` name the databases being read or written: they, their temporary files and SQLite's
  // companion files are left out when they lie in the tree.
  TreeWalker(const ScanOptions& options, const std::vector<std::string>& ownDatabases, WalkSink& sink);
  // Fails only when the root cannot be walked or the sink fails; everything else is reported to the
  // sink and the walk goes on.
  ToolStatus Walk();
  // The recorded path of the root and the real path walked (set by Walk).
  const std::string& recordedRoot() const { return recordedRoot_; }
  const std::string& scannedRoot() const { return scannedRoot_; }

 private:
  struct Handle;   // an open folder, closed when the last pending child is opened
  struct Pending;  // a folder listed, not yet opened
  bool IsExcluded(const std::string& relative, const std::string& name) const;
  bool IsOwnFile(const WalkEntry& folder, const std::string& name) const;
  ToolStatus ListFolder(const std::shared_ptr<Handle>& handle, const WalkEntry& folder,
                        const std::string& relative, std::vector<Pending>& pending);

  const ScanOptions& options_;
  WalkSink& sink_;
  struct OwnDatabase {
    dev_t device;
    uint64_t folderInode;
    std::string name;
    std::string tempPrefix;  // of the temporary files of scans into it
  };
  std::vector<OwnDatabase> own_;
  // The names of the folder being listed, as getdents64 returns them (aligned for its records).
  std::vector<uint64_t> listing_ = std::vector<uint64_t>(4096);
  std::string recordedRoot_, scannedRoot_;
  dev_t rootDevice_ = 0;
};

// Scans `options.root` into `options.database`: written to a temporary file beside it, renamed over it
// only once complete and synced, removed on every failure. `info` receives what was recorded. Prints
// warnings (and the progress line) on stderr.
ToolStatus ScanToDatabase(const ScanOptions& options, ScanInfo& info);

// The same walk into `file`, an empty file already created (by TempDatabaseFile) that the caller keeps
// or removes; `options.database` only names what to leave out of the walk.
ToolStatus ScanIntoFile(const ScanOptions& options, const std::string& file, ScanInfo& info);

// The summary line of a finished scan: folders, files, skipped, seconds, entries per second, size, and
// for a scan with digests the files hashed and reused, the bytes read and the bytes hashed per second.
std::string SummaryLine(const ScanInfo& info, const std::string& databasePath);

}  // namespace fsdbtool

#endif  // FSDB_TOOLS_SCAN_H_
