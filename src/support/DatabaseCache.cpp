#include "support/DatabaseCache.h"

#include <cinttypes>

#include <iterator>
#include <new>

#include "platform/ErrorCodes.h"
#include "platform/FXString.h"
#include "platform/Log.h"

namespace FSDB {

namespace {

// The folder-id cache is filled only by PutFolderId: its loader never loads, so a miss always comes
// back as "not found" and the caller searches the Folders table instead.
CYaError NeverLoad(const std::string& path, int64_t& /*folderId*/) {
  return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorNotFound, "Cache Miss. Item [%s] not found.",
                                 path.c_str());
}

// Whether `key` is `folder` itself or lies beneath it. `folder` has no trailing separator (the root is
// the empty string), so "/a/b" matches "/a/b", "/a/b/" and "/a/b/c" but not its sibling "/a/bc".
bool IsSameOrBeneath(const std::string& key, const std::string& folder) {
  if (key.compare(0, folder.size(), folder) != 0)
    return false;
  return key.size() == folder.size() || key[folder.size()] == '/';
}

}  // namespace

CDatabaseCache::CDatabaseCache() : hits_(0), misses_(0) {
  // Without the cache the database still works, only slower: every lookup then fails with 13 and the
  // callers search the table. So an allocation failure here is logged, not thrown.
  try {
    cache_ = std::make_shared<LRUCache<std::string, int64_t>>(kFolderIdCacheCapacity, &NeverLoad);
  } catch (const std::bad_alloc&) {
    FSDB_LOG(0, "Unable to create folder id cache object");
  }
}

CDatabaseCache::~CDatabaseCache() {
  // No lock: nobody else can reach an object being destroyed. Queued files are only reported; writing
  // them is the flush's job, which the owner should have run before letting the cache go.
  if (queue_.empty())
    return;
  FSDB_LOG(0,
           "The File Queue is not empty. Some items may not be flushed to database. Number of Items : [%d]",
           static_cast<int>(queue_.size()));
  for (const FileQueueEntry& entry : queue_) {
    const CDatabaseItemPtr& item = std::get<2>(entry);
    FSDB_LOG(3, "Item : %s", item ? item->AsString().c_str() : "");
  }
}

CYaError CDatabaseCache::GetFolderId(const std::string& path, int64_t& folderId) {
  auto_lock lock(&cacheLock_, true);
  if (!cache_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData, FX::kMessageCacheNotCreated);
  CYaError error = cache_->Get(path, folderId);
  if (error.IsError()) {
    ++misses_;
    return error.Push(FX_LOCATION);
  }
  ++hits_;
  return CYaError::Success();
}

CYaError CDatabaseCache::PutFolderId(const std::string& path, int64_t folderId) {
  auto_lock lock(&cacheLock_, true);
  if (!cache_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData, FX::kMessageCacheNotCreated);
  FSDB_RETURN_IF_ERROR(cache_->Put(path, folderId));
  return CYaError::Success();
}

CYaError CDatabaseCache::RemoveFolderTree(const std::string& path) {
  auto_lock lock(&cacheLock_, true);
  if (!cache_)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, FX::kErrorInvalidData, FX::kMessageCacheNotCreated);
  if (path.empty())
    return CYaError::Success();
  // The layouts cache a folder under both "/a/b/" and "/a/b", so compare without trailing separators.
  std::string folder = path;
  while (!folder.empty() && folder.back() == '/')
    folder.pop_back();
  cache_->RemoveIf([&folder](const std::string& key) { return IsSameOrBeneath(key, folder); });
  return CYaError::Success();
}

void CDatabaseCache::ClearFolderIds() {
  auto_lock lock(&cacheLock_, true);
  if (cache_)
    cache_->Clear();
}

bool CDatabaseCache::IsFileQueueFull() {
  auto_lock lock(&queueLock_, true);
  return queue_.size() >= kFileQueueLimit;
}

size_t CDatabaseCache::GetFileQueueSize() {
  auto_lock lock(&queueLock_, true);
  return queue_.size();
}

CYaError CDatabaseCache::InsertIntoFileQueue(int64_t folderId, const std::string& name,
                                             const CDatabaseItemPtr& item, bool* full) {
  auto_lock lock(&queueLock_, true);
  // No bound here: the caller checks whether the queue is full after each insert and flushes.
  if (queue_.capacity() == 0)
    queue_.reserve(kFileQueueLimit);
  queue_.emplace_back(folderId, name, item);
  if (full != nullptr)
    *full = queue_.size() >= kFileQueueLimit;
  return CYaError::Success();
}

FileQueue CDatabaseCache::GetFileQueue() {
  auto_lock lock(&queueLock_, true);
  return queue_;
}

FileQueue CDatabaseCache::TakeFileQueue() {
  FileQueue batch;
  auto_lock lock(&queueLock_, true);
  batch.swap(queue_);
  return batch;
}

void CDatabaseCache::RestoreFileQueue(FileQueue&& batch) {
  auto_lock lock(&queueLock_, true);
  queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
  batch.clear();
}

void CDatabaseCache::MoveQueuedFiles(const std::unordered_map<int64_t, int64_t>& movedFolders) {
  auto_lock lock(&queueLock_, true);
  for (FileQueueEntry& entry : queue_) {
    const auto found = movedFolders.find(std::get<0>(entry));
    if (found != movedFolders.end())
      std::get<0>(entry) = found->second;
  }
}

CYaError CDatabaseCache::ClearFileQueue() {
  auto_lock lock(&queueLock_, true);
  queue_.clear();
  return CYaError::Success();
}

CYaError CDatabaseCache::GetCacheStatistics(std::string& text) {
  // One lock for both counts, so that a report from the logging thread shows a consistent pair.
  auto_lock lock(&cacheLock_, true);
  text = FXString::Format("Folder ID Cache Hit : [%" PRId64 "] - Miss : [%" PRId64 "]", hits_, misses_);
  return CYaError::Success();
}

int64_t CDatabaseCache::GetHitCount() {
  auto_lock lock(&cacheLock_, true);
  return hits_;
}

int64_t CDatabaseCache::GetMissCount() {
  auto_lock lock(&cacheLock_, true);
  return misses_;
}

}  // namespace FSDB
