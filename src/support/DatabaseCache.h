// The folder-id cache and the bulk-insert file queue of one path database.
//
// The cache maps folder paths (exactly as the layouts look them up) to FolderIds, least recently used
// first out, at most 2000 paths. The queue holds (FolderId, name, item) triples of files added in
// bulk-insert mode until they are flushed, in insertion order; it is "full" from 3000 entries on.
//
// Thread-safety: the cache and its hit/miss counts are guarded by cacheLock_; the queue by queueLock_.
// The two are never held together.

#ifndef FSDB_SUPPORT_DATABASECACHE_H_
#define FSDB_SUPPORT_DATABASECACHE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "fsdb/DatabaseItem.h"
#include "fsdb/Error.h"
#include "support/LRUCache.h"
#include "support/Locks.h"

namespace FSDB {

typedef std::tuple<int64_t, std::string, CDatabaseItemPtr> FileQueueEntry;
// A vector: a batch costs one allocation (its room for kFileQueueLimit entries), not one per file.
typedef std::vector<FileQueueEntry> FileQueue;

class CDatabaseCache {
 public:
  static constexpr uint64_t kFolderIdCacheCapacity = 2000;
  static constexpr size_t kFileQueueLimit = 3000;

  CDatabaseCache();
  // Logs (level 0) the number of files still queued, and each of them at level 3; writes nothing.
  virtual ~CDatabaseCache();

  // A hit sets folderId and counts a hit. A miss counts a miss and fails with 1168
  // "Cache Miss. Item [path] not found."; 13 when the cache was not created.
  CYaError GetFolderId(const std::string& path, int64_t& folderId);
  // Stores (or replaces) the id of `path`, which becomes the most recently used.
  CYaError PutFolderId(const std::string& path, int64_t folderId);
  // Drops `path` and every cached path beneath it (on component boundaries). Used after a folder was
  // deleted or renamed so that the cache never answers with a stale id.
  CYaError RemoveFolderTree(const std::string& path);
  // Drops every cached folder id (the counts stay).
  void ClearFolderIds();

  bool IsFileQueueFull();
  size_t GetFileQueueSize();
  // Appends a file; with `full`, also tells whether the queue is now full (one lock for both).
  CYaError InsertIntoFileQueue(int64_t folderId, const std::string& name, const CDatabaseItemPtr& item,
                               bool* full = nullptr);
  // A copy of the queue, in order.
  FileQueue GetFileQueue();
  // Takes every queued file out, in order, leaving the queue empty: the caller owns the batch and works
  // on it without the lock.
  FileQueue TakeFileQueue();
  // Puts a batch taken out by TakeFileQueue back in front of whatever was queued since, so that the
  // files keep their order (a batch that could not be written).
  void RestoreFileQueue(FileQueue&& batch);
  // Points the queued files of each folder id `old` in `movedFolders` at its new id.
  void MoveQueuedFiles(const std::unordered_map<int64_t, int64_t>& movedFolders);
  CYaError ClearFileQueue();

  // "Folder ID Cache Hit : [h] - Miss : [m]".
  CYaError GetCacheStatistics(std::string& text);
  int64_t GetHitCount();
  int64_t GetMissCount();

 private:
  int64_t hits_;                                           // guarded by cacheLock_
  int64_t misses_;                                         // guarded by cacheLock_
  std::shared_ptr<LRUCache<std::string, int64_t>> cache_;  // guarded by cacheLock_
  FileQueue queue_;                                        // guarded by queueLock_
  FXCriticalSection cacheLock_;
  FXCriticalSection queueLock_;
};

}  // namespace FSDB

#endif  // FSDB_SUPPORT_DATABASECACHE_H_
